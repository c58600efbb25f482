// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "app/AppDataSelection.h"
#include "app/PreflightCheckList.h"
#include "app/ReinstallListSending.h"

#include "managed/ConfigurationProfileManager.h"

#include "categories/ApplicationDataHandler.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "categories/HomeLayout.h"
#include "categories/LinuxSettingsHandler.h"
#include "connection/ConnectionManager.h"
#include "platform/Logging.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/ManifestExclusions.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"

#include <QCoroFuture>
#include <QPointer>
#include <QtConcurrent/QtConcurrentRun>
#include <QVariantMap>

#include <algorithm>

namespace kivo {

namespace {

// Missing applications' data goes as chosen on the selection screen; elsewhere as the category lists it.
AppDataSelection chosenAppData(bool choicesOffered, const AppCompatibilityManager& apps)
{
    return choicesOffered ? appDataSelection(apps.entries(), apps.choices(), apps.transfersMissingByDefault())
                          : AppDataSelection{};
}

// The keychain's line, under the name the home gives it.
CheckLine keychainLine(const QString& categoryName, const PreflightResult& result)
{
    const bool failed = !result.keychainBlocker.isEmpty();
    return {QStringLiteral("%1 can be read").arg(categoryName), failed ? CheckOutcome::failed : CheckOutcome::passed, {},
            failed ? QStringList{result.keychainBlocker} : QStringList{}};
}

} // namespace

void AppState::forwardCheckSignals()
{
    connect(m_preflightChecker.get(), &PreflightChecker::resultChanged, this, &AppState::preflightChecksChanged);
    connect(m_preflightChecker.get(), &PreflightChecker::isRunningChanged, this, &AppState::preflightChecksChanged);
    connect(m_preflightChecker.get(), &PreflightChecker::hasRunChanged, this, &AppState::preflightChecksChanged);
}

QVariantList AppState::preflightCheckRows() const
{
    if (!m_preflightChecker->hasRun() || m_preflightChecker->isRunning())
        return {};
    const PreflightResult& result = m_preflightChecker->result();
    QList<CheckLine> lines = checkLines(result, macShapedHome());
    const QString keychain = QStringLiteral("keychain");
    const QString keychainName = HomeLayout::of(m_layout).displayNameFor(keychain);
    // With the other checks that can stop the migration: after the home and the free space.
    const qsizetype keychainAt = std::min<qsizetype>(2, lines.size());
    if (result.keychainChecked)
        lines.insert(keychainAt, keychainLine(keychainName, result));
    QVariantList rows = checkLineRows(lines);
    for (qsizetype i = 0; i < rows.size(); ++i) {
        // Leaving the keychain out is the one way past its check from this screen.
        const bool leavable = result.keychainChecked && i == keychainAt && lines[i].outcome == CheckOutcome::failed;
        QVariantMap row = rows[i].toMap();
        row.insert(QStringLiteral("leaveOut"), leavable ? keychain : QString());
        row.insert(QStringLiteral("leaveOutText"), leavable ? QStringLiteral("Leave %1 Out").arg(keychainName) : QString());
        rows[i] = row;
    }
    return rows;
}

void AppState::clearPreFlightReport()
{
    // Dropping the scanner abandons a scan still running; its result is discarded.
    m_preFlightScanner.reset();
    m_askedManifest.reset();
    if (m_preFlightReport) {
        m_preFlightReport.reset();
        Q_EMIT preFlightReportChanged();
    }
}

QCoro::Task<void> AppState::runPreFlightScan(std::optional<QStringList> userFilesPaths)
{
    if (m_deviceRole == DeviceRole::destination || m_preFlightScanRunning)
        co_return;
    QPointer<AppState> self(this);
    m_preFlightScanRunning = true;
    Q_EMIT preFlightScanRunningChanged();

    ScanRequest request;
    request.categories = m_categoryManager->selectedCategories();
    if (std::ranges::any_of(request.categories, [](const DataCategory& c) { return c.id == QLatin1String("applicationData"); }))
        startReinstallListing();
    request.userFilesSelectedPaths = userFilesPaths.value_or(m_homeFolderScanner->selectedPaths());
    request.stagedBundles = stagedPrefSummaries(m_environment.homeFolder);
    for (const AppCompatibilityEntry& e : m_appCompatibility->entries())
        request.applicationNames << e.appName;
    request.includeDerived = m_preflightSettings.includeDerived;
    request.neverSent = HomeLayout::of(m_layout).neverSent;

    m_preFlightScanner = std::make_unique<PreFlightScanner>(m_environment.homeFolder, m_preflightSettings.connectionType,
                                                            m_preflightSettings.thunderboltAvailable);
    QPointer<PreFlightScanner> scanner = m_preFlightScanner.get();
    connect(scanner, &PreFlightScanner::progress, this, &AppState::preFlightScanProgress);
    // The application data is counted where the send will list it, which may be far less than its folders.
    if (auto handler = std::dynamic_pointer_cast<ApplicationDataHandler>(
            m_categoryManager->handlers().value(QStringLiteral("applicationData")))) {
        handler->setMissingAppDataSent(chosenAppData(m_appChoicesOffered, *m_appCompatibility).sent);
        for (DataCategory& category : request.categories)
            if (category.id == QLatin1String("applicationData"))
                category.paths = co_await handler->pathsToSend(category.paths);
        if (!self)
            co_return;
    }
    // The settings database travels as an exported text: counted as that text.
    if (auto handler = std::dynamic_pointer_cast<LinuxSettingsHandler>(
            m_categoryManager->handlers().value(QStringLiteral("systemSettings")))) {
        for (DataCategory& category : request.categories)
            if (category.id == QLatin1String("systemSettings"))
                category.paths = co_await handler->pathsToSend(category.paths);
        if (!self)
            co_return;
    }
    std::optional<PreFlightReport> report;
    if (scanner)
        report = co_await scanner->scan(std::move(request));
    if (!self)
        co_return;
    // Only the scanner still kept may deliver: one dropped by going back is abandoned.
    if (report && scanner && scanner == m_preFlightScanner.get()) {
        m_askedManifest.reset();
        m_preFlightReport = std::move(report);
        Q_EMIT preFlightReportChanged();
    }
    m_preFlightScanRunning = false;
    Q_EMIT preFlightScanRunningChanged();
}

// The package tools are slow (apt alone takes most of a second): they are asked while the scan walks.
void AppState::startReinstallListing()
{
    // One still running is as fresh as a new one would be.
    if (m_reinstallListing && !m_reinstallListing->isFinished())
        return;
    m_reinstallListing = QtConcurrent::run(outgoingReinstallList, m_environment.homeFolder);
}

QCoro::Task<TransferManifest> AppState::buildIntendedManifest()
{
    // Built once after the question: the answer was about exactly these files.
    if (m_askedManifest)
        co_return *m_askedManifest;
    QPointer<AppState> self(this);
    const AppDataSelection apps = chosenAppData(m_appChoicesOffered, *m_appCompatibility);
    if (auto* handler = dynamic_cast<ApplicationDataHandler*>(
            m_categoryManager->handlers().value(QStringLiteral("applicationData")).get()))
        handler->setMissingAppDataSent(apps.sent);
    TransferManifest manifest = co_await m_categoryManager->buildManifest(m_transferID, engineeringItems(), m_confirmedUserMapping,
                                                                          // Ticked, and allowed by the organisation.
                                                                          m_engineeringToolsEnabled
                                                                              && m_profileManager->values().engineeringToolsEnabled,
                                                                          m_homeFolderScanner.get());
    if (!self)
        co_return manifest;
    // With the application data goes the list of applications to install again.
    if (manifest.categoryIDs.contains(QStringLiteral("applicationData"))) {
        if (!m_reinstallListing)
            startReinstallListing();
        QFuture<ReinstallList> listing = *std::exchange(m_reinstallListing, std::nullopt);
        const ReinstallList installed = co_await listing;
        if (!self)
            co_return manifest;
        // Written only now, for the transfer: a pre-flight scan leaves the home as it was.
        if (std::optional<TransferManifest::FileItem> list = reinstallListItem(installed, developerFilesFolder())) {
            manifest.totalSize += list->size;
            manifest.items.append(std::move(*list));
        }
    }
    leaveOutAppData(manifest, apps.leftOut);
    // What the report left out does not travel (without a report, nothing is left out).
    if (m_preFlightReport)
        leaveOutExclusions(manifest, *m_preFlightReport, m_environment.homeFolder);
    if (m_confirmedUserMapping)
        manifest.applyUserMapping(*m_confirmedUserMapping);
    co_return manifest;
}

QCoro::Task<void> AppState::mergeDestinationConflictsIntoReport()
{
    if (m_deviceRole == DeviceRole::destination || !m_preFlightReport)
        co_return;
    QPointer<AppState> self(this);
    const TransferManifest manifest = co_await buildIntendedManifest();
    if (!self)
        co_return;
    m_askedManifest = std::make_shared<const TransferManifest>(manifest);
    QList<ConflictSummary> conflicts;
    try {
        for (PreFlightConflictRequest& request : intendedWriteRequests(manifest)) {
            conflicts += co_await m_connectionManager->requestPreFlightConflicts(std::move(request));
            if (!self)
                co_return;
        }
    } catch (const std::exception& e) {
        qCWarning(lcPreFlightScanner).noquote() << "Conflict request failed:" << describe(e);
        co_return;
    }
    if (!self || !m_preFlightReport)
        co_return;
    mergeConflicts(*m_preFlightReport, std::move(conflicts), sourceFactsOf(manifest));
    Q_EMIT preFlightReportChanged();
}

} // namespace kivo
