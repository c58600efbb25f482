// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"

#include "categories/DataCategoryManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "app/ManagedModeCoordinator.h"
#include "managed/ConfigurationProfileManager.h"
#include "log/MigrationLogger.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"
#include "preflight/SpaceValidator.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

namespace kivo {

QObject* AppState::migrationLoggerObject() const { return m_migrationLogger.get(); }
QObject* AppState::profileManagerObject() const { return m_profileManager.get(); }
QObject* AppState::managedCoordinatorObject() const { return m_managedCoordinator; }

void AppState::setManagedCoordinator(ManagedModeCoordinator* coordinator)
{
    if (m_managedCoordinator == coordinator)
        return;
    m_managedCoordinator = coordinator;
    Q_EMIT managedCoordinatorChanged();
}
QObject* AppState::appCompatibilityObject() const { return m_appCompatibility.get(); }
QObject* AppState::engToolsDetectorObject() const { return m_engToolsDetector.get(); }
QObject* AppState::engToolsPlanObject() const { return m_engToolsPlan.get(); }
QObject* AppState::spaceValidatorObject() const { return m_spaceValidator.get(); }
QObject* AppState::preflightCheckerObject() const { return m_preflightChecker.get(); }
QObject* AppState::preFlightScannerObject() const { return m_preFlightScanRunning ? m_preFlightScanner.get() : nullptr; }

void AppState::validateSpace()
{
    // As kivo-cli preflight does: the destination home's volume, or the free bytes given for it.
    const QString volume = m_preflightSettings.destinationHome.value_or(m_environment.homeFolder);
    m_spaceValidator->validate(m_categoryManager->totalSelectedSize(), volume, m_preflightSettings.destinationFreeBytes);
}

PreflightInputs AppState::readinessInputs() const
{
    PreflightInputs inputs;
    inputs.manifestSize = m_categoryManager->totalSelectedSize();
    inputs.sourceHome = m_environment.homeFolder;
    inputs.destinationHome = m_preflightSettings.destinationHome.value_or(QString());
    inputs.destinationFreeBytes = m_preflightSettings.destinationFreeBytes;
    inputs.destinationIsLocal = m_preflightSettings.destinationIsLocal;
    inputs.includesKeychain = std::ranges::any_of(m_categoryManager->selectedCategories(), [](const DataCategory& c) {
        return c.id == QLatin1String("keychain");
    });
    inputs.layout = m_layout;
    return inputs;
}

QCoro::Task<void> AppState::runPreflightChecks()
{
    if (m_deviceRole == DeviceRole::destination)
        co_return;
    // Asked again while a run is out (the selection may have changed since): the run
    // out is followed by one more, so the result shown is never an earlier selection's.
    if (m_preflightChecker->isRunning()) {
        m_readinessStale = true;
        co_return;
    }
    QPointer<AppState> self(this);
    do {
        m_readinessStale = false;
        co_await m_preflightChecker->run(readinessInputs());
    } while (self && m_readinessStale);
}

QCoro::Task<void> AppState::reviewPreFlight()
{
    if (m_deviceRole == DeviceRole::destination)
        co_return;
    QPointer<AppState> self(this);
    ++m_reviewsRunning;
    std::exception_ptr failure;
    try {
        co_await runPreFlightScan();
        if (self)
            co_await mergeDestinationConflictsIntoReport();
    } catch (...) {
        failure = std::current_exception();
    }
    if (self && --m_reviewsRunning == 0)
        Q_EMIT preFlightReviewFinished();
    if (failure)
        std::rethrow_exception(failure);
}

QString AppState::exportFileFor(const QString& target, const QDateTime& generatedAt)
{
    if (!QFileInfo(target).isDir())
        return target;
    return target + QStringLiteral("/kivo-preflight-") + generatedAt.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss"))
         + QStringLiteral(".json");
}

QString AppState::suggestedSummaryFile() const
{
    const QString desktop = UserFolders(m_environment.homeFolder).desktop();
    const QString folder = QFileInfo(desktop).isDir() ? desktop : m_environment.homeFolder;
    return exportFileFor(folder, m_preFlightReport ? m_preFlightReport->generatedAt : QDateTime::currentDateTimeUtc());
}

QString AppState::exportPreFlightSummary(const QString& target)
{
    if (!m_preFlightReport || target.isEmpty())
        return {};
    const QString file = exportFileFor(target, m_preFlightReport->generatedAt);
    try {
        fs::writeFileAtomically(file, json::toFileBytes(m_preFlightReport->toJson()));
    } catch (const SystemError& e) {
        qCWarning(lcApp).noquote() << "Export failed:" << e.description();
        return {};
    }
    return file;
}

QVariantMap AppState::preFlightSummaryView() const
{
    if (!m_preFlightReport)
        return {};
    const PreFlightReport& r = *m_preFlightReport;
    QVariantList excluded;
    for (const ExclusionSummary& e : r.exclusions)
        excluded.append(QVariantMap{{QStringLiteral("path"), e.path},
                                    {QStringLiteral("rule"), e.rule},
                                    {QStringLiteral("fileCount"), qint64(e.fileCount)},
                                    {QStringLiteral("size"), formatFileSize(e.totalBytes)},
                                    {QStringLiteral("regenerationHint"), e.regenerationHint}});
    QVariantList staged;
    for (const StagedPrefSummary& s : r.stagedPrefs)
        staged.append(QVariantMap{{QStringLiteral("appName"), s.appName}, {QStringLiteral("fileCount"), qint64(s.fileCount)}});
    QVariantList ghosts;
    qint64 ghostCount = 0;
    for (const GhostFileSummary& g : r.ghostFiles) {
        ghosts.append(QVariantMap{{QStringLiteral("provider"), g.provider}, {QStringLiteral("count"), qint64(g.count)}});
        ghostCount += g.count;
    }
    return {{QStringLiteral("totalFiles"), qint64(r.totalFiles)},
            {QStringLiteral("totalSize"), formatFileSize(r.totalBytes)},
            {QStringLiteral("excludedFiles"), qint64(r.excludedFiles)},
            {QStringLiteral("excludedSize"), formatFileSize(r.excludedBytes)},
            {QStringLiteral("exclusions"), excluded},
            {QStringLiteral("stagedPrefs"), staged},
            {QStringLiteral("ghostFiles"), ghosts},
            {QStringLiteral("ghostCount"), ghostCount},
            {QStringLiteral("conflictCount"), qint64(r.conflicts.size())},
            {QStringLiteral("estimatedSeconds"), qint64(r.estimatedSeconds)}};
}

} // namespace kivo
