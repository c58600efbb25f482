// SPDX-License-Identifier: Apache-2.0
// The session's migration log and developer items: opened when the transfer
// starts, closed with its results when it ends.
#include "app/AppState.h"
#include "app/DeveloperToolsPolicy.h"

#include <QPointer>
#include <QTemporaryDir>

#include "managed/ConfigurationProfileManager.h"

#include "connection/ConnectionManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "log/EngineeringAuditEntry.h"
#include "log/MigrationLogger.h"
#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"


namespace kivo {

namespace {

const QString kNoSerial = QStringLiteral("—");

} // namespace

void AppState::startMigrationLog()
{
    const auto transport = m_connectionManager->activeTransport();
    const QString peerHost = peerName();
    const QString localHost = hostname();
    const QString localSerial = MigrationLogger::machineSerialNumber();
    LogParticipants p;
    p.connectionType = displayName(transport);
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
    // What the run's summary lists as not transferred, or as failed as a whole, is what failed it;
    // the log says the same.
    QHash<QString, int> notTransferred;
    QSet<QString> failedCategories;
    if (m_transferSummary) {
        for (const FileProblem& p : m_transferSummary->notTransferred)
            if (!p.neverCopied) // a pipe or a socket left behind by design fails nothing
                ++notTransferred[p.categoryID];
        for (const CategoryFailure& f : m_transferSummary->categoryFailures)
            failedCategories.insert(f.categoryID);
    }
    for (const CategoryProgress& c : progress.categoryProgress())
        m_migrationLogger->addCategoryResult({c.categoryID, c.categoryName, c.bytesTransferred, c.filesCompleted,
                                              failedCategories.contains(c.categoryID)
                                                  ? CategoryResult::Status::failed
                                                  : categoryResultStatus(c, notTransferred.value(c.categoryID))});
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
    else if (progress.error() || !progress.verificationMismatches().isEmpty() || !notTransferred.isEmpty()
             || !failedCategories.isEmpty())
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
    // Not in the home: run as root for another account, whatever landed there would be root's,
    // and a send that never finished would leave it behind.
    if (!m_outgoingFiles)
        m_outgoingFiles = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kivo-outgoing-XXXXXX"));
    if (!m_outgoingFiles->isValid())
        throw SystemError(QStringLiteral("Cannot create a temporary folder for the files to send: ")
                          + m_outgoingFiles->errorString());
    return m_outgoingFiles->path();
}

EngineeringItemsProvider AppState::engineeringItems() const
{
    if (m_engineeringPaths)
        return [paths = *m_engineeringPaths, home = m_environment.homeFolder](const std::optional<UserMapping>&) {
            files::Listing listing;
            files::appendCategoryItems(listing.items, paths, DataCategory::engineeringTools().id, UserFolders(home),
                                       &listing.skipped, &listing.entries);
            return listing;
        };
    // Copies: the provider runs on a worker thread while the screens may change the plan.
    // The Desktop files are written in a folder only this process's account can enter,
    // so no other account can swap them before they are read.
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
