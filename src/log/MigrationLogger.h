// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringToolsInventory.h"
#include "log/MigrationLog.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QUrl>
#include <QVariantMap>

#include <chrono>
#include <optional>

namespace kivo {

class TransferProgress;
struct CategoryProgress;

// How a category's progress at the end of a transfer reads in the log: begun but
// with nothing sent counts as skipped, not partial.
// `notTransferred`: the category's files and folders given up for an error;
// a category that lost any is not a success.
CategoryResult::Status categoryResultStatus(const CategoryProgress& progress, int notTransferred = 0);

// What the log copies from the configuration in force.
struct LogSettings {
    std::optional<QString> conflictPolicy;
    std::optional<int> maxTransferMbps;
};

// How one post ended, with the line that says so.
struct PostOutcome {
    bool posted = false;
    QString message;
};

// Who took part, for a new log.
struct LogParticipants {
    QString sourceSerial;
    QString sourceHostname;
    QString destinationSerial;
    QString destinationHostname;
    QString connectionType;
    bool profileApplied = false;
    std::optional<QString> profileIdentifier;
};

// Keeps the current migration's log and every earlier one, as files in one
// folder. Nothing here ever stops a migration: failures are logged and dropped.
// Main-thread object.
class MigrationLogger : public QObject {
    Q_OBJECT
    // The current record in its JSON shape; empty when there is none.
    Q_PROPERTY(QVariantMap currentLog READ currentLogView NOTIFY currentLogChanged)
public:
    // Loads what is in the folder; the first save creates it.
    explicit MigrationLogger(QString logsDirectory, QObject* parent = nullptr);

    // "<home>/.local/share/kivo/logs" (the application-support folder of that home).
    static QString logsDirectoryFor(const QString& homeFolder);
    // This machine's serial number, "Unknown" when there is none to read.
    static QString machineSerialNumber();
    // "migration_<id>.json".
    static QString fileNameFor(const QString& id);
    // Only ids that cannot name anything outside the folder are used as file names.
    static bool isSafeID(const QString& id);

    const QString& logsDirectory() const { return m_directory; }
    const std::optional<MigrationLog>& currentLog() const { return m_currentLog; }
    QVariantMap currentLogView() const { return m_currentLog ? m_currentLog->toJson().toVariantMap() : QVariantMap(); }
    // Newest first by start time.
    const QList<MigrationLog>& allLogs() const { return m_allLogs; }

    void startLog(const LogParticipants& participants);
    // The current log carries on an earlier attempt's: a resumed transfer is one
    // migration, under the id its safety snapshot and the rollback know it by.
    void continueLog(const QString& id);
    void addCategoryResult(const CategoryResult& result);
    void attachTelemetry(const TransferProgress& progress, const LogSettings& settings);
    void attachIDEs(const QList<IDEInfo>& ides);
    void attachEngineeringAudit(const EngineeringToolsLogEntry& audit);
    // The accounts the files were adapted between; applied when the homes differ.
    void attachUserMapping(const QString& sourceUsername, const QString& destinationUsername, bool applied);
    // Sets the end time and status, saves, and adds the log to allLogs.
    void completeLog(MigrationLog::Status status);
    // Writes the log atomically; false (and a log line) when it could not.
    bool saveLog(const MigrationLog& log);
    void loadExistingLogs();

    // The file a listed log was read from (or will be written to).
    QString pathOf(const QString& id) const;
    // A listed log by id, or the newest for "latest".
    std::optional<MigrationLog> find(const QString& idOrLatest) const;

    // Sends the current log, saved first; a failed post is remembered in the pending
    // list so nothing is lost. Never retried here, never throws.
    QCoro::Task<PostOutcome> postLog(QUrl url, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Sends a saved log's file as it is on disk; success takes it off the pending list,
    // failure puts it on.
    QCoro::Task<PostOutcome> postStoredLog(QString id, QUrl url,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // Logs whose post failed, oldest first; kept until a post succeeds.
    QStringList pendingPosts() const;
    void addPendingPost(const QString& id);
    void removePendingPost(const QString& id);

Q_SIGNALS:
    void currentLogChanged();
    void allLogsChanged();

private:
    void sortLogs();
    void writePending(const QStringList& ids);

    QString m_directory;
    QString m_home; // the home the logs folder lies in, when it is the usual place
    std::optional<MigrationLog> m_currentLog;
    QList<MigrationLog> m_allLogs;
    QHash<QString, QString> m_files;
};

} // namespace kivo
