// SPDX-License-Identifier: Apache-2.0
#include "log/MigrationLog.h"

#include "platform/Json.h"

namespace kivo {

namespace {

using json::requireBool;
using json::requireString;

int requireCount(const QJsonObject& o, const char* key)
{
    const qint64 v = json::requireInt(o, key);
    if (v < 0 || v > std::numeric_limits<int>::max())
        throw DecodingError(QStringLiteral("Invalid JSON: %1 is out of range").arg(QLatin1String(key)));
    return int(v);
}

double requireNumber(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble())
        throw DecodingError(QStringLiteral("Invalid JSON: %1 is not a number").arg(QLatin1String(key)));
    return v.toDouble();
}

template <typename T>
QJsonArray records(const QList<T>& list)
{
    QJsonArray out;
    for (const T& item : list)
        out.append(item.toJson());
    return out;
}

template <typename E>
E enumFrom(const QString& text, std::initializer_list<E> values, const char* key)
{
    for (E v : values)
        if (toString(v) == text)
            return v;
    throw DecodingError(QStringLiteral("Invalid JSON: unknown %1 \"%2\"").arg(QLatin1String(key), text));
}

} // namespace

QString toString(CategoryResult::Status status)
{
    switch (status) {
    case CategoryResult::Status::success: return QStringLiteral("success");
    case CategoryResult::Status::failed: return QStringLiteral("failed");
    case CategoryResult::Status::skipped: return QStringLiteral("skipped");
    case CategoryResult::Status::partial: return QStringLiteral("partial");
    }
    return {};
}

QString toString(MigrationLog::Status status)
{
    switch (status) {
    case MigrationLog::Status::inProgress: return QStringLiteral("inProgress");
    case MigrationLog::Status::completed: return QStringLiteral("completed");
    case MigrationLog::Status::failed: return QStringLiteral("failed");
    case MigrationLog::Status::cancelled: return QStringLiteral("cancelled");
    }
    return {};
}

QJsonObject CategoryResult::toJson() const
{
    return {{QStringLiteral("categoryID"), categoryID},
            {QStringLiteral("categoryName"), categoryName},
            {QStringLiteral("sizeBytes"), double(sizeBytes)},
            {QStringLiteral("filesCount"), filesCount},
            {QStringLiteral("status"), toString(status)}};
}

CategoryResult CategoryResult::fromJson(const QJsonObject& o)
{
    using S = Status;
    return {requireString(o, "categoryID"), requireString(o, "categoryName"), json::requireUInt64(o, "sizeBytes"),
            requireCount(o, "filesCount"),
            enumFrom(requireString(o, "status"), {S::success, S::failed, S::skipped, S::partial}, "status")};
}

QJsonObject PathRewriteLogEntry::toJson() const
{
    return {{QStringLiteral("filePath"), filePath},
            {QStringLiteral("originalValue"), originalValue},
            {QStringLiteral("rewrittenValue"), rewrittenValue}};
}

PathRewriteLogEntry PathRewriteLogEntry::fromJson(const QJsonObject& o)
{
    return {requireString(o, "filePath"), requireString(o, "originalValue"), requireString(o, "rewrittenValue")};
}

QJsonObject ConflictLogEntry::toJson() const
{
    return {{QStringLiteral("relativePath"), relativePath}, {QStringLiteral("resolution"), resolution}};
}

ConflictLogEntry ConflictLogEntry::fromJson(const QJsonObject& o)
{
    return {requireString(o, "relativePath"), requireString(o, "resolution")};
}

QJsonObject VersionManagerLogEntry::toJson() const
{
    return {{QStringLiteral("tool"), tool},
            {QStringLiteral("versionsManaged"), versionsManaged},
            {QStringLiteral("migrated"), migrated}};
}

VersionManagerLogEntry VersionManagerLogEntry::fromJson(const QJsonObject& o)
{
    return {requireString(o, "tool"), requireCount(o, "versionsManaged"), requireBool(o, "migrated")};
}

QJsonObject DevDirectoryLogEntry::toJson() const
{
    return {{QStringLiteral("path"), path},
            {QStringLiteral("sizeGB"), sizeGB},
            {QStringLiteral("gitRepoCount"), gitRepoCount},
            {QStringLiteral("migrated"), migrated}};
}

DevDirectoryLogEntry DevDirectoryLogEntry::fromJson(const QJsonObject& o)
{
    return {requireString(o, "path"), requireNumber(o, "sizeGB"), requireCount(o, "gitRepoCount"),
            requireBool(o, "migrated")};
}

// The many flags of the developer-tools entry, in one table for both directions.
#define KIVO_ENG_FLAGS(X)                                                                                                \
    X(detected) X(homebrewInstalled) X(architectureMismatch) X(shellConfigHardcodedPathsDetected) X(sshKeysPresent)     \
    X(sshKeysMigrated) X(awsConfigPresent) X(awsConfigMigrated) X(kubeConfigPresent) X(kubeConfigMigrated)              \
    X(dockerConfigPresent) X(dockerConfigMigrated) X(npmrcPresent) X(npmrcMigrated) X(xcodeInstalled) X(cltInstalled)  \
    X(simulatorDataMigrated) X(checklistGenerated)
#define KIVO_ENG_COUNTS(X)                                                                                               \
    X(homebrewFormulaeCount) X(homebrewCasksCount) X(homebrewOutdatedCount) X(npmGlobalsCount) X(pipPackagesCount)      \
    X(gemPackagesCount) X(cargoPackagesCount)
#define KIVO_ENG_OPTIONALS(X)                                                                                            \
    X(homebrewVersion) X(sourceArchitecture) X(destinationArchitecture) X(homebrewMigrationStrategy) X(xcodeVersion)

QJsonObject EngineeringToolsLogEntry::toJson() const
{
    QJsonObject o;
#define KIVO_PUT(name) o.insert(QStringLiteral(#name), name);
    KIVO_ENG_FLAGS(KIVO_PUT)
    KIVO_ENG_COUNTS(KIVO_PUT)
#undef KIVO_PUT
#define KIVO_PUT(name) json::put(o, #name, name);
    KIVO_ENG_OPTIONALS(KIVO_PUT)
#undef KIVO_PUT
    o.insert(QStringLiteral("shellConfigFilesFound"), json::toArray(shellConfigFilesFound));
    o.insert(QStringLiteral("versionManagers"), records(versionManagers));
    o.insert(QStringLiteral("devDirectories"), records(devDirectories));
    o.insert(QStringLiteral("simulatorDataSizeGB"), simulatorDataSizeGB);
    return o;
}

EngineeringToolsLogEntry EngineeringToolsLogEntry::fromJson(const QJsonObject& o)
{
    EngineeringToolsLogEntry e;
#define KIVO_GET(name) e.name = requireBool(o, #name);
    KIVO_ENG_FLAGS(KIVO_GET)
#undef KIVO_GET
#define KIVO_GET(name) e.name = requireCount(o, #name);
    KIVO_ENG_COUNTS(KIVO_GET)
#undef KIVO_GET
#define KIVO_GET(name) e.name = json::optionalString(o, #name);
    KIVO_ENG_OPTIONALS(KIVO_GET)
#undef KIVO_GET
    e.shellConfigFilesFound = json::requireStringList(o, "shellConfigFilesFound");
    e.versionManagers = json::requireRecords<VersionManagerLogEntry>(o, "versionManagers");
    e.devDirectories = json::requireRecords<DevDirectoryLogEntry>(o, "devDirectories");
    e.simulatorDataSizeGB = requireNumber(o, "simulatorDataSizeGB");
    return e;
}

QJsonObject IDEMigrationLogEntry::toJson() const
{
    return {{QStringLiteral("vscodeDetected"), vscodeDetected},
            {QStringLiteral("vscodeExtensions"), json::toArray(vscodeExtensions)},
            {QStringLiteral("cursorDetected"), cursorDetected},
            {QStringLiteral("cursorExtensions"), json::toArray(cursorExtensions)},
            {QStringLiteral("windsurfDetected"), windsurfDetected},
            {QStringLiteral("windsurfExtensions"), json::toArray(windsurfExtensions)},
            {QStringLiteral("jetbrainsProducts"), json::toArray(jetbrainsProducts)},
            {QStringLiteral("xcodeUserDataMigrated"), xcodeUserDataMigrated}};
}

IDEMigrationLogEntry IDEMigrationLogEntry::fromJson(const QJsonObject& o)
{
    return {requireBool(o, "vscodeDetected"),    json::requireStringList(o, "vscodeExtensions"),
            requireBool(o, "cursorDetected"),    json::requireStringList(o, "cursorExtensions"),
            requireBool(o, "windsurfDetected"),  json::requireStringList(o, "windsurfExtensions"),
            json::requireStringList(o, "jetbrainsProducts"), requireBool(o, "xcodeUserDataMigrated")};
}

QJsonObject MigrationLog::toJson() const
{
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("sourceSerialNumber"), sourceSerialNumber},
                  {QStringLiteral("sourceHostname"), sourceHostname},
                  {QStringLiteral("destinationSerialNumber"), destinationSerialNumber},
                  {QStringLiteral("destinationHostname"), destinationHostname},
                  {QStringLiteral("timestampStart"), json::formatDate(timestampStart)},
                  {QStringLiteral("categoriesTransferred"), records(categoriesTransferred)},
                  {QStringLiteral("connectionType"), connectionType},
                  {QStringLiteral("profileApplied"), profileApplied},
                  {QStringLiteral("overallStatus"), toString(overallStatus)},
                  {QStringLiteral("userMappingApplied"), userMappingApplied},
                  {QStringLiteral("pathRewrites"), records(pathRewrites)},
                  {QStringLiteral("totalBytesTransferred"), double(totalBytesTransferred)},
                  {QStringLiteral("filesCompleted"), filesCompleted},
                  {QStringLiteral("filesFailed"), filesFailed},
                  {QStringLiteral("filesSkipped"), filesSkipped},
                  {QStringLiteral("iCloudStubsSkipped"), iCloudStubsSkipped},
                  {QStringLiteral("iCloudStubsBytesSkipped"), double(iCloudStubsBytesSkipped)},
                  {QStringLiteral("conflictsResolved"), records(conflictsResolved)},
                  {QStringLiteral("verificationFilesChecked"), verificationFilesChecked},
                  {QStringLiteral("verificationFilesSkipped"), verificationFilesSkipped},
                  {QStringLiteral("verificationMismatches"), json::toArray(verificationMismatches)}};
    json::put(o, "timestampEnd", timestampEnd);
    json::put(o, "profileIdentifier", profileIdentifier);
    json::put(o, "sourceUsername", sourceUsername);
    json::put(o, "destinationUsername", destinationUsername);
    json::put(o, "conflictPolicy", conflictPolicy);
    if (engineeringToolsAudit)
        o.insert(QStringLiteral("engineeringToolsAudit"), engineeringToolsAudit->toJson());
    if (ideMigration)
        o.insert(QStringLiteral("ideMigration"), ideMigration->toJson());
    if (maxTransferMbps)
        o.insert(QStringLiteral("maxTransferMbps"), *maxTransferMbps);
    return o;
}

MigrationLog MigrationLog::fromJson(const QJsonObject& o)
{
    using S = Status;
    MigrationLog log;
    log.id = requireString(o, "id");
    log.sourceSerialNumber = requireString(o, "sourceSerialNumber");
    log.sourceHostname = requireString(o, "sourceHostname");
    log.destinationSerialNumber = requireString(o, "destinationSerialNumber");
    log.destinationHostname = requireString(o, "destinationHostname");
    log.timestampStart = json::requireDate(o, "timestampStart");
    log.timestampEnd = json::optionalDate(o, "timestampEnd");
    log.categoriesTransferred = json::requireRecords<CategoryResult>(o, "categoriesTransferred");
    log.connectionType = requireString(o, "connectionType");
    log.profileApplied = requireBool(o, "profileApplied");
    log.profileIdentifier = json::optionalString(o, "profileIdentifier");
    log.overallStatus = enumFrom(requireString(o, "overallStatus"),
                                 {S::inProgress, S::completed, S::failed, S::cancelled}, "overallStatus");
    log.userMappingApplied = requireBool(o, "userMappingApplied");
    log.sourceUsername = json::optionalString(o, "sourceUsername");
    log.destinationUsername = json::optionalString(o, "destinationUsername");
    log.pathRewrites = json::requireRecords<PathRewriteLogEntry>(o, "pathRewrites");
    if (o.contains(QLatin1String("engineeringToolsAudit")))
        log.engineeringToolsAudit = EngineeringToolsLogEntry::fromJson(json::requireObject(o, "engineeringToolsAudit"));
    log.totalBytesTransferred = json::requireUInt64(o, "totalBytesTransferred");
    log.filesCompleted = requireCount(o, "filesCompleted");
    log.filesFailed = requireCount(o, "filesFailed");
    log.filesSkipped = requireCount(o, "filesSkipped");
    log.iCloudStubsSkipped = requireCount(o, "iCloudStubsSkipped");
    log.iCloudStubsBytesSkipped = json::requireUInt64(o, "iCloudStubsBytesSkipped");
    log.conflictsResolved = json::requireRecords<ConflictLogEntry>(o, "conflictsResolved");
    log.conflictPolicy = json::optionalString(o, "conflictPolicy");
    log.verificationFilesChecked = requireCount(o, "verificationFilesChecked");
    log.verificationFilesSkipped = requireCount(o, "verificationFilesSkipped");
    log.verificationMismatches = json::requireStringList(o, "verificationMismatches");
    if (o.contains(QLatin1String("ideMigration")))
        log.ideMigration = IDEMigrationLogEntry::fromJson(json::requireObject(o, "ideMigration"));
    if (o.contains(QLatin1String("maxTransferMbps")))
        log.maxTransferMbps = requireCount(o, "maxTransferMbps");
    return log;
}

QByteArray MigrationLog::encoded() const { return json::toFileBytes(toJson()); }

MigrationLog MigrationLog::decode(const QByteArray& bytes) { return fromJson(json::parseObject(bytes)); }

} // namespace kivo
