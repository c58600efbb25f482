// SPDX-License-Identifier: Apache-2.0
#include "categories/PreferenceDomains.h"

#include "platform/CommandRunner.h"
#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/PropertyList.h"

#include <QFile>

namespace kivo {

namespace {

// The bytes of a property list file holding a dictionary, or the reason it is not one.
std::optional<QByteArray> readDictionary(const QString& path, QString* reason)
{
    const auto status = fs::status(path, fs::Links::dontFollow);
    if (!status || !status->isRegular()) {
        *reason = QStringLiteral("no settings file");
        return std::nullopt;
    }
    if (status->size > std::uint64_t(plist::maxDocumentBytes)) {
        *reason = QStringLiteral("settings file too large");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.read(plist::maxDocumentBytes + 1);
    QString error;
    const auto document = plist::parse(bytes, &error);
    if (!document) {
        *reason = QStringLiteral("unreadable property list: ") + error;
        return std::nullopt;
    }
    if (document->root.typeId() != QMetaType::QVariantMap) {
        *reason = QStringLiteral("not a dictionary");
        return std::nullopt;
    }
    return bytes;
}

} // namespace

PreferenceFiles::PreferenceFiles(QString homeFolder) : m_home(std::move(homeFolder)) {}

QString PreferenceFiles::fileFor(const QString& homeFolder, const QString& domain)
{
    const QString name = domain == QLatin1String("NSGlobalDomain") ? QStringLiteral(".GlobalPreferences") : domain;
    return homeFolder + QStringLiteral("/Library/Preferences/") + name + QStringLiteral(".plist");
}

std::optional<QString> PreferenceFiles::exportDomain(const QString& domain, const QString& toFile)
{
    QString reason;
    const std::optional<QByteArray> bytes = readDictionary(fileFor(m_home, domain), &reason);
    if (!bytes)
        return reason;
    try {
        const UniqueFd out = fs::openForAppend(toFile, true);
        fs::writeAll(out.get(), *bytes, toFile);
    } catch (const std::exception& e) {
        return describe(e);
    }
    return std::nullopt;
}

std::optional<QString> PreferenceFiles::importDomain(const QString& domain, const QString& fromFile, bool* replaced)
{
    QString reason;
    const std::optional<QByteArray> bytes = readDictionary(fromFile, &reason);
    if (!bytes)
        return reason;
    const QString target = fileFor(m_home, domain);
    const QString partial = target + QStringLiteral(".kivo-import");
    try {
        DestinationWriter writer(m_home);
        *replaced = writer.regularFileSize(target).has_value();
        writer.write(partial, 0, *bytes, true);
        writer.closeCurrent();
        writer.setMode(partial, 0600);
        writer.commit(partial, target, true);
    } catch (const std::exception& e) {
        return describe(e);
    }
    return std::nullopt;
}

DefaultsTool::DefaultsTool(QString program, QString homeFolder)
    : m_program(std::move(program)), m_home(std::move(homeFolder))
{
}

std::optional<QString> DefaultsTool::exportDomain(const QString& domain, const QString& toFile)
{
    CommandOptions options;
    options.environment.insert(QStringLiteral("HOME"), m_home);
    const CommandResult result = runCommandDetailed(m_program, {QStringLiteral("export"), domain, toFile}, options);
    if (!result.succeeded())
        return result.started ? QStringLiteral("defaults export exited with %1").arg(result.exitCode)
                              : QStringLiteral("defaults could not be run");
    return std::nullopt;
}

std::optional<QString> DefaultsTool::importDomain(const QString& domain, const QString& fromFile, bool* replaced)
{
    CommandOptions options;
    options.environment.insert(QStringLiteral("HOME"), m_home);
    *replaced = fs::status(PreferenceFiles::fileFor(m_home, domain), fs::Links::follow).has_value();
    const CommandResult result = runCommandDetailed(m_program, {QStringLiteral("import"), domain, fromFile}, options);
    if (!result.succeeded())
        return result.started ? QStringLiteral("defaults import exited with %1").arg(result.exitCode)
                              : QStringLiteral("defaults could not be run");
    return std::nullopt;
}

std::shared_ptr<PreferenceDomains> preferenceDomainsFor(const QString& homeFolder)
{
    const QString tool = qEnvironmentVariable("KIVO_DEFAULTS_TOOL");
    if (!tool.isEmpty())
        return std::make_shared<DefaultsTool>(tool, homeFolder);
#ifdef Q_OS_MACOS
    return std::make_shared<DefaultsTool>(QStringLiteral("/usr/bin/defaults"), homeFolder);
#else
    return std::make_shared<PreferenceFiles>(homeFolder);
#endif
}

} // namespace kivo
