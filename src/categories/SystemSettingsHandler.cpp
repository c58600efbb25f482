// SPDX-License-Identifier: Apache-2.0
#include "categories/SystemSettingsHandler.h"

#include "categories/FileEnumeration.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/Background.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

struct ExportRun {
    QList<TransferManifest::FileItem> items;
    QList<SystemSettingsHandler::DomainExport> domains;
};

ExportRun exportAll(PreferenceDomains& preferences, const QString& folder, const QString& categoryID)
{
    ExportRun run;
    for (const QString& domain : SystemSettingsHandler::domains()) {
        const QString file = folder + u'/' + domain + QStringLiteral(".plist");
        const std::optional<QString> problem = preferences.exportDomain(domain, file);
        const auto status = fs::status(file, fs::Links::dontFollow);
        if (problem || !status || !status->isRegular()) {
            QFile::remove(file);
            run.domains.append({domain, false, problem.value_or(QStringLiteral("nothing exported"))});
            continue;
        }
        TransferManifest::FileItem item = files::makeItem(
            file, SystemSettingsHandler::receivedFolder() + domain + QStringLiteral(".plist"), *status, categoryID);
        item.mode.reset();
        run.items.append(std::move(item));
        run.domains.append({domain, true, {}});
    }
    return run;
}

} // namespace

const QStringList& SystemSettingsHandler::domains()
{
    static const QStringList list = {
        QStringLiteral("com.apple.dock"),           QStringLiteral("com.apple.finder"),
        QStringLiteral(".GlobalPreferences"),       QStringLiteral("com.apple.universalaccess"),
        QStringLiteral("com.apple.menuextra.clock"), QStringLiteral("com.apple.menuextra.battery"),
        QStringLiteral("com.apple.screensaver"),    QStringLiteral("com.apple.screencapture"),
        QStringLiteral("com.apple.desktopservices"), QStringLiteral("com.apple.spaces"),
        QStringLiteral("com.apple.keyboard"),       QStringLiteral("NSGlobalDomain"),
    };
    return list;
}

const QStringList& SystemSettingsHandler::neverImportedPrefixes()
{
    static const QStringList list = {QStringLiteral("com.apple.security"), QStringLiteral("com.apple.mdm"),
                                     QStringLiteral("com.apple.configurationprofiles"),
                                     QStringLiteral("com.apple.ManagedClient"), QStringLiteral("com.apple.loginwindow")};
    return list;
}

const QString& SystemSettingsHandler::receivedFolder()
{
    static const QString folder = QStringLiteral("~/Library/Preferences/_kivo_settings/");
    return folder;
}

SystemSettingsHandler::SystemSettingsHandler(QString homeFolder, std::shared_ptr<PreferenceDomains> preferences)
    : CategoryHandlerBase(QStringLiteral("systemSettings"), std::move(homeFolder)), m_preferences(std::move(preferences))
{
}

SystemSettingsHandler::~SystemSettingsHandler() = default;

QCoro::Task<QList<CategoryTransferHandler::Item>> SystemSettingsHandler::enumerateFiles(QStringList)
{
    // A fresh private folder (owner-only) for each export; the last one goes with it.
    const QString path = m_exportFolder.renew(QStringLiteral("kivo-settings-XXXXXX"), QStringLiteral("the settings export"));
    auto running = startInBackground(
        [preferences = m_preferences, path, id = categoryID()] { return exportAll(*preferences, path, id); });
    ExportRun run = co_await finishInBackground(std::move(running));
    {
        std::lock_guard lock(m_mutex);
        m_lastExports = run.domains;
    }
    co_return run.items;
}

QList<SystemSettingsHandler::DomainExport> SystemSettingsHandler::lastExports() const
{
    std::lock_guard lock(m_mutex);
    return m_lastExports;
}

void SystemSettingsHandler::discardExports()
{
    m_exportFolder.discard();
}

std::optional<QString> SystemSettingsHandler::importableDomain(const QString& receivedPath, const QString& homeFolder)
{
    const QString folder = UserFolders(homeFolder).expandTilde(receivedFolder());
    const QString path = UserFolders(homeFolder).expandTilde(receivedPath);
    if (!path.startsWith(folder))
        return std::nullopt;
    const QString name = path.mid(folder.size());
    // Only files directly in the folder, named after their domain.
    if (name.contains(u'/') || !name.endsWith(QLatin1String(".plist")) || name.size() <= 6)
        return std::nullopt;
    const QString domain = name.chopped(6);
    for (const QString& prefix : neverImportedPrefixes())
        if (domain.startsWith(prefix))
            return std::nullopt;
    return domain;
}

QCoro::Task<std::optional<CategoryTransferHandler::ImportCounts>> SystemSettingsHandler::postImport(QStringList receivedFiles)
{
    auto importing = startInBackground([preferences = m_preferences, receivedFiles,
                                                         home = home()] {
        ImportCounts counts;
        for (const QString& received : receivedFiles) {
            const std::optional<QString> domain = importableDomain(received, home.home());
            if (!domain)
                continue;
            const QString path = home.expandTilde(received);
            if (!fs::status(path, fs::Links::dontFollow))
                continue;
            bool replaced = false;
            if (const std::optional<QString> problem = preferences->importDomain(*domain, path, &replaced)) {
                qCWarning(lcCategories).noquote() << "Settings of" << *domain << "not imported:" << *problem;
                ++counts.failed;
                continue;
            }
            QFile::remove(path);
            ++(replaced ? counts.updated : counts.imported);
        }
        return counts;
    });
    co_return co_await finishInBackground(std::move(importing));
}

} // namespace kivo
