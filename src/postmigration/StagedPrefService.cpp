// SPDX-License-Identifier: Apache-2.0
#include "postmigration/StagedPrefService.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/Processes.h"
#include "postmigration/AppPrefMapper.h"
#include "postmigration/AppReinstaller.h"

#include <QFileInfo>

#include <map>

namespace kivo {

QString toString(PrefRestoreMode mode)
{
    switch (mode) {
    case PrefRestoreMode::immediate: return QStringLiteral("immediate");
    case PrefRestoreMode::staged: return QStringLiteral("staged");
    case PrefRestoreMode::manual: return QStringLiteral("manual");
    }
    return {};
}

std::optional<PrefRestoreMode> prefRestoreModeFromString(const QString& text)
{
    for (PrefRestoreMode m : {PrefRestoreMode::immediate, PrefRestoreMode::staged, PrefRestoreMode::manual}) {
        if (toString(m) == text)
            return m;
    }
    return std::nullopt;
}

StagedPrefService::StagedPrefService(std::unique_ptr<PrefStager> stager, std::unique_ptr<AppInstallWatcher> watcher,
                                     QObject* parent)
    : StagedPrefService(std::move(stager), std::move(watcher), std::make_unique<HomebrewWatcher>(), parent)
{
}

StagedPrefService::StagedPrefService(std::unique_ptr<PrefStager> stager, std::unique_ptr<AppInstallWatcher> watcher,
                                     std::unique_ptr<HomebrewWatcher> homebrew, QObject* parent)
    : QObject(parent), m_stager(std::move(stager)), m_watcher(std::move(watcher)), m_homebrew(std::move(homebrew))
{
    connect(m_homebrew.get(), &HomebrewWatcher::brewDetected, this, [this](const QString& path) {
        m_homebrewDetectedAt = path;
        Q_EMIT homebrewDetectedAtChanged();
    });
    connect(m_watcher.get(), &AppInstallWatcher::appAppeared, this,
            [this](const QString& id, const QString& path) { handleAppAppeared(id, path); });
}

StagedPrefService::~StagedPrefService() = default;

void StagedPrefService::refresh()
{
    QList<StagedPrefBundle> now = m_stager->listStaged();
    if (now == m_staged)
        return;
    m_staged = std::move(now);
    Q_EMIT stagedChanged();
}

void StagedPrefService::setRestoreMode(PrefRestoreMode mode)
{
    if (std::exchange(m_restoreMode, mode) != mode)
        Q_EMIT settingsChanged();
}

void StagedPrefService::setRestoreWindowDays(int days)
{
    if (std::exchange(m_restoreWindowDays, days) != days)
        Q_EMIT settingsChanged();
}

bool StagedPrefService::discard(const QString& bundleKey)
{
    if (!std::any_of(m_staged.cbegin(), m_staged.cend(), [&](const StagedPrefBundle& b) { return b.id == bundleKey; }))
        return false;
    try {
        m_stager->remove(bundleKey);
    } catch (const std::exception& e) {
        qCWarning(lcStagedPrefService).noquote() << "Discard of" << bundleKey << "failed:" << describe(e);
    }
    refresh();
    return true;
}

QVariantList StagedPrefService::stagedRows() const
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVariantList rows;
    for (const StagedPrefBundle& b : m_staged)
        rows.append(QVariantMap{{QStringLiteral("id"), b.id},
                                {QStringLiteral("displayName"), b.displayName},
                                {QStringLiteral("triggers"), b.triggers},
                                {QStringLiteral("fileCount"), int(b.entries.size())},
                                {QStringLiteral("stagedAt"), b.stagedAt},
                                {QStringLiteral("expiresAt"), b.expiresAt},
                                {QStringLiteral("expired"), b.expiresAt < now},
                                {QStringLiteral("originatedFromMDM"), b.originatedFromMDM}});
    return rows;
}

QVariantList StagedPrefService::incomingAppRows() const
{
    QVariantList rows;
    for (const MDMAppManifest::IncomingApp& app : m_mdmIncomingApps)
        rows.append(QVariantMap{{QStringLiteral("bundleID"), app.bundleID},
                                {QStringLiteral("displayName"), app.displayName.value_or(QString())},
                                {QStringLiteral("expectedAt"), app.expectedAt.value_or(QDateTime())}});
    return rows;
}

void StagedPrefService::start()
{
    const QStringList discarded = m_stager->discardExpired();
    if (!discarded.isEmpty())
        qCInfo(lcStagedPrefService, "Discarded %lld expired bundle(s) on startup", qlonglong(discarded.size()));
    refresh();
    m_watcher->start();
    m_homebrew->start();
}

void StagedPrefService::registerMDMManifest(const MDMAppManifest& manifest)
{
    m_mdmIncomingApps = manifest.apps;
    qCInfo(lcStagedPrefService, "MDM manifest registered: %lld incoming app(s)", qlonglong(manifest.apps.size()));
    Q_EMIT mdmIncomingAppsChanged();
}

void StagedPrefService::absorbCompletedFiles(const QString& categoryID, const QList<TransferManifest::FileItem>& items)
{
    if (categoryID != QLatin1String("applicationData"))
        return;
    if (m_restoreMode == PrefRestoreMode::immediate) {
        qCInfo(lcStagedPrefService, "Pref restore mode = immediate; %lld prefs left in place", qlonglong(items.size()));
        return;
    }
    struct Group {
        AppPrefMapper::Classification classification;
        QList<PrefStager::StageInput> inputs;
    };
    std::map<QString, Group> groups;
    const QString home = m_stager->homeFolder();
    for (const TransferManifest::FileItem& item : items) {
        if (item.transferStatus != FileTransferStatus::completed || !item.relativePath.startsWith(QLatin1String("~/")))
            continue;
        const QString absolute = home + item.relativePath.mid(1);
        if (isReinstallListPath(absolute)) // kivo's own list, not an application's settings
            continue;
        const auto there = fs::status(absolute, fs::Links::dontFollow);
        if (!there || !there->isRegular())
            continue;
        const std::optional<AppPrefMapper::Classification> classified =
            m_classifier ? m_classifier(item.relativePath) : std::optional(AppPrefMapper::classify(item.relativePath));
        if (!classified)
            continue;
        const AppPrefMapper::Classification& c = *classified;
        Group& g = groups[c.bundleKey];
        if (g.inputs.isEmpty())
            g.classification = c;
        g.inputs.append({absolute, item.relativePath, item.size, item.mode});
    }
    const std::chrono::seconds window(qint64(m_restoreWindowDays) * 24 * 3600);
    for (const auto& [key, group] : groups) {
        // A key that cannot be a folder name leaves its files where they are.
        if (!PrefStager::isSafeBundleKey(key)) {
            qCWarning(lcStagedPrefService, "Stage failed for %s: %s", qUtf8Printable(key), "not a safe bundle name");
            continue;
        }
        try {
            StagedPrefBundle bundle = m_stager->stage(key, group.classification.displayName,
                                                      group.classification.triggers, group.inputs, window, false);
            qCInfo(lcStagedPrefService, "Staged %lld files under %s", qlonglong(group.inputs.size()), qUtf8Printable(key));
            Q_EMIT bundleStaged(bundle);
        } catch (const std::exception& e) {
            qCWarning(lcStagedPrefService, "Stage failed for %s: %s", qUtf8Printable(key), e.what());
        }
    }
    refresh();
    // Applications already here get theirs back at once, though they were reported before.
    for (const InstalledApplication& app : m_watcher->installedNow())
        handleAppAppeared(app.bundleID, app.path);
}

void StagedPrefService::handleAppAppeared(const QString& bundleID, const QString& path)
{
    QList<StagedPrefBundle> matching;
    for (const StagedPrefBundle& b : std::as_const(m_staged)) {
        if (b.triggers.contains(bundleID))
            matching.append(b);
    }
    if (matching.isEmpty())
        return;
    qCInfo(lcStagedPrefService, "App appeared: %s — %lld bundle(s) match", qUtf8Printable(bundleID),
           qlonglong(matching.size()));
    if (m_restoreMode == PrefRestoreMode::manual) {
        refresh();
        return;
    }
    for (const StagedPrefBundle& b : std::as_const(matching)) {
        try {
            const QStringList restored = m_stager->apply(b.id, PrefStager::ApplyConflict::overwrite, m_placement ? m_placement() : PrefStager::Placement());
            Q_EMIT bundleApplied(b.id, restored);
            warnIfRunning(bundleID, path);
        } catch (const std::exception& e) {
            qCWarning(lcStagedPrefService, "Apply failed for %s: %s", qUtf8Printable(b.id), e.what());
        }
    }
    refresh();
}

bool StagedPrefService::applyManually(const QString& bundleKey)
{
    try {
        const QStringList restored = m_stager->apply(bundleKey, PrefStager::ApplyConflict::overwrite, m_placement ? m_placement() : PrefStager::Placement());
        Q_EMIT bundleApplied(bundleKey, restored);
        for (const StagedPrefBundle& b : std::as_const(m_staged)) {
            if (b.id == bundleKey)
                for (const QString& trigger : b.triggers)
                    warnIfRunning(trigger, {});
        }
    } catch (const std::exception& e) {
        qCWarning(lcStagedPrefService, "Manual apply of %s failed: %s", qUtf8Printable(bundleKey), e.what());
        const auto* error = dynamic_cast<const Error*>(&e);
        Q_EMIT warning(error ? error->description() : QString::fromUtf8(e.what()));
        refresh();
        return false;
    }
    refresh();
    return true;
}

void StagedPrefService::warnIfRunning(const QString& bundleID, const QString& appPath)
{
    const std::optional<unsigned> owner = ownerOf(m_stager->homeFolder());
    if (!owner)
        return;
    QStringList names;
    for (const InstalledApplication& app : m_watcher->installedNow()) {
        if (app.bundleID == bundleID && !app.executablePath.isEmpty())
            names.append(QFileInfo(app.executablePath).fileName());
    }
    if (!appPath.isEmpty() && appPath.endsWith(QLatin1String(".desktop")))
        names.append(QFileInfo(appPath).completeBaseName().section(u'.', -1));
    names.append(bundleID.section(u'.', -1));
    names.append(bundleID.section(u'.', -1).toLower());
    const QList<RunningProcess> running = runningProcesses(m_procRoot);
    for (const QString& name : std::as_const(names)) {
        if (!name.isEmpty() && isProcessRunning(running, *owner, name)) {
            Q_EMIT warning(QStringLiteral("%1 is running: restart it to use its restored settings").arg(name));
            return;
        }
    }
}

} // namespace kivo
