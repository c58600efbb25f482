// SPDX-License-Identifier: Apache-2.0
#include "devtools/EngineeringToolsInventory.h"

#include "platform/Json.h"

#include <QJsonArray>
#include <QSysInfo>

namespace kivo {

namespace {

double number(std::uint64_t v) { return static_cast<double>(v); }

template <typename T>
QJsonArray records(const QList<T>& list)
{
    QJsonArray out;
    for (const T& item : list)
        out.append(item.toJson());
    return out;
}

} // namespace

QJsonObject HomebrewInfo::toJson() const
{
    return {{QStringLiteral("installed"), installed},
            {QStringLiteral("version"), version},
            {QStringLiteral("brewPath"), brewPath},
            {QStringLiteral("isAppleSilicon"), isAppleSilicon},
            {QStringLiteral("formulaeCount"), formulaeCount},
            {QStringLiteral("casksCount"), casksCount},
            {QStringLiteral("brewfileContents"), brewfileContents},
            {QStringLiteral("outdatedPackages"), json::toArray(outdatedPackages)},
            {QStringLiteral("installSizeEstimate"), number(installSizeEstimate)}};
}

QJsonObject ShellConfigFile::toJson() const
{
    QJsonObject o{{QStringLiteral("filename"), filename},
                  {QStringLiteral("path"), path},
                  {QStringLiteral("size"), number(size)},
                  {QStringLiteral("hardcodedPathCount"), hardcodedPathCount},
                  {QStringLiteral("pathExportCount"), pathExportCount}};
    json::put(o, "lastModified", lastModified);
    return o;
}

QJsonObject DotfileEntry::toJson() const
{
    QJsonObject o{{QStringLiteral("name"), name},
                  {QStringLiteral("path"), path},
                  {QStringLiteral("size"), number(size)},
                  {QStringLiteral("exists"), exists},
                  {QStringLiteral("isSensitive"), isSensitive},
                  {QStringLiteral("requiresOptIn"), requiresOptIn},
                  {QStringLiteral("description"), description}};
    json::put(o, "sensitivityReason", sensitivityReason);
    return o;
}

QJsonObject GitRepo::toJson() const
{
    return {{QStringLiteral("name"), name}, {QStringLiteral("path"), path}, {QStringLiteral("sizeBytes"), number(sizeBytes)}};
}

QJsonObject DevDirectory::toJson() const
{
    return {{QStringLiteral("name"), name},
            {QStringLiteral("path"), path},
            {QStringLiteral("totalSize"), number(totalSize)},
            {QStringLiteral("fileCount"), fileCount},
            {QStringLiteral("gitRepoCount"), gitRepoCount},
            {QStringLiteral("gitRepos"), records(gitRepos)}};
}

QJsonObject VersionManagerInfo::toJson() const
{
    return {{QStringLiteral("tool"), tool},
            {QStringLiteral("configPath"), configPath},
            {QStringLiteral("managedVersions"), json::toArray(managedVersions)}};
}

QJsonObject GlobalPackages::toJson() const
{
    return {{QStringLiteral("npmGlobalsCount"), npmGlobalsCount},
            {QStringLiteral("pipPackagesCount"), pipPackagesCount},
            {QStringLiteral("gemPackagesCount"), gemPackagesCount},
            {QStringLiteral("cargoPackagesCount"), cargoPackagesCount}};
}

QJsonObject XcodeInfo::toJson() const
{
    QJsonObject o{{QStringLiteral("installed"), installed}, {QStringLiteral("simulatorDataSize"), number(simulatorDataSize)}};
    json::put(o, "version", version);
    json::put(o, "commandLineToolsPath", commandLineToolsPath);
    return o;
}

QJsonObject IDEInfo::toJson() const
{
    return {{QStringLiteral("product"), product},
            {QStringLiteral("displayName"), displayName},
            {QStringLiteral("userDataPath"), userDataPath},
            {QStringLiteral("extensionsPath"), extensionsPath},
            {QStringLiteral("extensions"), json::toArray(extensions)},
            {QStringLiteral("userDataSizeBytes"), number(userDataSizeBytes)}};
}

QJsonObject SystemPackages::toJson() const
{
    return {{QStringLiteral("manager"), manager}, {QStringLiteral("manualPackages"), json::toArray(manualPackages)}};
}

bool EngineeringToolsInventory::isEmpty() const
{
    return !homebrew && shellConfigs.isEmpty() && dotfiles.isEmpty() && devDirectories.isEmpty()
        && versionManagers.isEmpty() && (!globalPackages || globalPackages->isEmpty()) && !xcode && ides.isEmpty()
        && (!systemPackages || systemPackages->manualPackages.isEmpty());
}

QJsonObject EngineeringToolsInventory::toJson() const
{
    QJsonObject o{{QStringLiteral("shellConfigs"), records(shellConfigs)},
                  {QStringLiteral("dotfiles"), records(dotfiles)},
                  {QStringLiteral("devDirectories"), records(devDirectories)},
                  {QStringLiteral("versionManagers"), records(versionManagers)},
                  {QStringLiteral("ides"), records(ides)},
                  {QStringLiteral("sourceArchitecture"), sourceArchitecture}};
    if (homebrew)
        o.insert(QStringLiteral("homebrew"), homebrew->toJson());
    if (globalPackages)
        o.insert(QStringLiteral("globalPackages"), globalPackages->toJson());
    if (xcode)
        o.insert(QStringLiteral("xcode"), xcode->toJson());
    if (systemPackages)
        o.insert(QStringLiteral("systemPackages"), systemPackages->toJson());
    return o;
}

QString currentArchitecture()
{
    return QSysInfo::buildCpuArchitecture();
}

} // namespace kivo
