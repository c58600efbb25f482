// SPDX-License-Identifier: Apache-2.0
// The session's migration log and developer items: opened when the transfer
// starts, closed with its results when it ends.
#include "app/AppState.h"
#include "app/DeveloperToolsPolicy.h"

#include <QPointer>

#include "managed/ConfigurationProfileManager.h"

#include "connection/ConnectionManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "log/EngineeringAuditEntry.h"
#include "log/MigrationLogger.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"


namespace kivo {

namespace {

const QString kNoSerial = QStringLiteral("—");

} // namespace

void AppState::startMigrationLog()
{
    const auto transport = m_connectionManager->activeTransport();
    const QString peerHost = m_selectedPeer ? m_selectedPeer->hostname : QStringLiteral("Unknown");
    const QString localHost = hostname();
    const QString localSerial = MigrationLogger::machineSerialNumber();
    LogParticipants p;
    p.connectionType = transport ? displayName(*transport) : QStringLiteral("Network");
    if (m_deviceRole == DeviceRole::source) {
        p.sourceSerial = localSerial;
        p.sourceHostname = localHost;
        p.destinationSerial = kNoSerial;
        p.destinationHostname = peerHost;
    } else {
        p.sourceSerial = kNoSerial;
        p.sourceHostname = peerHost;
        p.destinationSerial = localSerial;
        p.destinationHostname = localHost;
    }
    // The profile's word, when one is present, is what the log records it ran under.
    p.profileApplied = m_profileManager->isProfilePresent();
    if (p.profileApplied)
        p.profileIdentifier = m_profileManager->values().brandingName;
    m_migrationLogger->startLog(p);
}

std::optional<QUrl> AppState::logEndpoint() const
{
    if (const std::optional<QUrl>& fromProfile = m_profileManager->values().logMigrationsToEndpoint)
        return fromProfile;
    return m_logEndpoint;
}

void AppState::completeMigrationLog()
{
    if (!m_migrationLogger->currentLog() || m_migrationLogger->currentLog()->timestampEnd)
        return;
    const TransferProgress& progress = *m_transferProgress;
    for (const CategoryProgress& c : progress.categoryProgress())
        m_migrationLogger->addCategoryResult(
            {c.categoryID, c.categoryName, c.bytesTransferred, c.filesCompleted, categoryResultStatus(c)});
    LogSettings settings;
    settings.maxTransferMbps = m_maxTransferMbps;
    settings.conflictPolicy = m_profileManager->values().conflictPolicy;
    m_migrationLogger->attachTelemetry(progress, settings);
    m_migrationLogger->attachIDEs(m_engToolsDetector->inventory().ides);
    const bool developerToolsSent = progress.categoryProgress().contains(QStringLiteral("engineeringTools"));
    if (m_deviceRole == DeviceRole::source && developerToolsSent && m_profileManager->values().engineeringToolsAuditReportInLog)
        m_migrationLogger->attachEngineeringAudit(
            engineeringAuditEntry(m_engToolsDetector->inventory(), m_engToolsPlan->selection(), std::nullopt));
    if (m_confirmedUserMapping)
        m_migrationLogger->attachUserMapping(m_confirmedUserMapping->sourceUsername,
                                             m_confirmedUserMapping->destinationUsername,
                                             m_confirmedUserMapping->changesHomeFolder());
    MigrationLog::Status status = MigrationLog::Status::completed;
    if (progress.isCancelled())
        status = MigrationLog::Status::cancelled;
    else if (progress.error() || !progress.verificationMismatches().isEmpty())
        status = MigrationLog::Status::failed;
    m_migrationLogger->completeLog(status);
}

QCoro::Task<void> AppState::completeAndPostMigrationLog()
{
    const auto& open = m_migrationLogger->currentLog();
    // A demonstration writes nothing into the user's home, where the logs are kept.
    if (!open || open->timestampEnd || m_demoMode)
        co_return;
    completeMigrationLog();
    const std::optional<QUrl> endpoint = logEndpoint();
    if (!endpoint)
        co_return;
    QPointer<AppState> self(this);
    const PostOutcome posted = co_await m_migrationLogger->postLog(*endpoint);
    if (self && !posted.posted)
        qCWarning(lcApp).noquote() << "The migration log stays pending:" << posted.message;
}

void AppState::finishMigrationLog()
{
    // Runs on while the screen shows; the post has its own deadline.
    completeAndPostMigrationLog();
}

QString AppState::developerFilesFolder() const
{
    return UserFolders(m_environment.homeFolder).kivoSupport() + QStringLiteral("/outgoing-devtools/") + m_transferID;
}

std::function<QList<TransferManifest::FileItem>(const std::optional<UserMapping>&)> AppState::engineeringItems() const
{
    // Copies: the provider runs on a worker thread while the screens may change the plan.
    // The Desktop files are written inside the user's own folder, where no other
    // account can swap them before they are read (a shared temporary folder could).
    ManifestContext context{m_environment.homeFolder, developerFilesFolder(), QDate::currentDate()};
    const ProfileValues& profile = m_profileManager->values();
    const DeveloperToolsPolicy policy{m_engineeringToolsEnabled && profile.engineeringToolsEnabled,
                                      profile.engineeringToolsSensitiveOptInAllowed, profile.engineeringToolsDevDirectoriesAllowed};
    return [selection = allowedSelection(m_engToolsPlan->selection(), policy), inventory = m_engToolsDetector->inventory(),
            context = std::move(context)](const std::optional<UserMapping>&) {
        return buildManifestItems(selection, inventory, context);
    };
}

} // namespace kivo
