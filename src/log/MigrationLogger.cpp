// SPDX-License-Identifier: Apache-2.0
#include "log/MigrationLogger.h"

#include "platform/HomeBeneath.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/HttpClient.h"
#include "platform/MachineSerial.h"
#include "platform/SmallFiles.h"
#include "platform/UserFolders.h"
#include "transfer/TransferProgress.h"

#include <QDir>
#include <QPointer>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QUuid>

Q_LOGGING_CATEGORY(lcMigration, "com.kivo.app.Migration")

namespace kivo {

namespace {

// A log is a few kilobytes; far larger "logs" are not read.
constexpr qint64 kMaxLogBytes = 64 * 1024 * 1024;
const QString kPendingPosts = QStringLiteral("pending-posts");

} // namespace

CategoryResult::Status categoryResultStatus(const CategoryProgress& c, int notTransferred)
{
    switch (c.status) {
    case CategoryStatus::completed:
        if (notTransferred == 0)
            return CategoryResult::Status::success;
        return c.filesCompleted > 0 ? CategoryResult::Status::partial : CategoryResult::Status::failed;
    case CategoryStatus::failed: return CategoryResult::Status::failed;
    case CategoryStatus::inProgress:
        return c.bytesTransferred > 0 ? CategoryResult::Status::partial : CategoryResult::Status::skipped;
    case CategoryStatus::pending: break;
    }
    return CategoryResult::Status::skipped;
}

MigrationLogger::MigrationLogger(QString logsDirectory, QObject* parent)
    : QObject(parent), m_directory(QDir::cleanPath(std::move(logsDirectory)))
{
    // The folder is made by the first save, not here: a session over a home that
    // does not exist yet must not bring it into being.
    const QString suffix = QStringLiteral("/.local/share/kivo/logs");
    if (m_directory.endsWith(suffix))
        m_home = m_directory.chopped(suffix.size());
    loadExistingLogs();
}

QString MigrationLogger::logsDirectoryFor(const QString& homeFolder)
{
    return UserFolders(homeFolder).kivoSupport() + QStringLiteral("/logs");
}

QString MigrationLogger::machineSerialNumber() { return ::kivo::machineSerialNumber(); }

QString MigrationLogger::fileNameFor(const QString& id) { return QStringLiteral("migration_") + id + QStringLiteral(".json"); }

bool MigrationLogger::isSafeID(const QString& id)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9._-]{0,127}$"));
    return safe.match(id).hasMatch() && !id.contains(QLatin1String(".."));
}

void MigrationLogger::continueLog(const QString& id)
{
    if (!m_currentLog || !isSafeID(id) || m_currentLog->id == id)
        return;
    m_currentLog->id = id;
    Q_EMIT currentLogChanged();
}

void MigrationLogger::startLog(const LogParticipants& p)
{
    MigrationLog log;
    log.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    log.sourceSerialNumber = p.sourceSerial;
    log.sourceHostname = p.sourceHostname;
    log.destinationSerialNumber = p.destinationSerial;
    log.destinationHostname = p.destinationHostname;
    log.timestampStart = QDateTime::currentDateTimeUtc();
    log.connectionType = p.connectionType;
    log.profileApplied = p.profileApplied;
    log.profileIdentifier = p.profileIdentifier;
    m_currentLog = std::move(log);
    qCInfo(lcMigration).noquote() << QStringLiteral("Migration started: %1").arg(m_currentLog->id);
    Q_EMIT currentLogChanged();
}

void MigrationLogger::addCategoryResult(const CategoryResult& result)
{
    if (!m_currentLog)
        return;
    m_currentLog->categoriesTransferred.append(result);
    qCInfo(lcMigration).noquote() << QStringLiteral("Category %1: %2").arg(result.categoryID, toString(result.status));
    Q_EMIT currentLogChanged();
}

void MigrationLogger::attachTelemetry(const TransferProgress& progress, const LogSettings& settings)
{
    if (!m_currentLog)
        return;
    MigrationLog& log = *m_currentLog;
    log.totalBytesTransferred = progress.bytesTransferred();
    log.filesCompleted = int(progress.filesCompleted());
    log.filesFailed = int(progress.fileErrors().size());
    log.filesSkipped = int(progress.iCloudStubsSkipped());
    log.iCloudStubsSkipped = int(progress.iCloudStubsSkipped());
    log.iCloudStubsBytesSkipped = progress.iCloudStubsBytesSkipped();
    log.conflictsResolved.clear();
    for (const ConflictOutcome& c : progress.conflictsResolved())
        log.conflictsResolved.append({c.relativePath, c.resolution});
    log.conflictPolicy = settings.conflictPolicy;
    log.maxTransferMbps = settings.maxTransferMbps;
    log.verificationFilesChecked = int(progress.verificationFilesChecked());
    log.verificationFilesSkipped = int(progress.verificationFilesSkipped());
    log.verificationMismatches = progress.verificationMismatches();
    Q_EMIT currentLogChanged();
}

void MigrationLogger::attachEngineeringAudit(const EngineeringToolsLogEntry& audit)
{
    if (!m_currentLog)
        return;
    m_currentLog->engineeringToolsAudit = audit;
    Q_EMIT currentLogChanged();
}

void MigrationLogger::attachUserMapping(const QString& sourceUsername, const QString& destinationUsername, bool applied)
{
    if (!m_currentLog)
        return;
    m_currentLog->sourceUsername = sourceUsername;
    m_currentLog->destinationUsername = destinationUsername;
    m_currentLog->userMappingApplied = applied;
    Q_EMIT currentLogChanged();
}

void MigrationLogger::attachIDEs(const QList<IDEInfo>& ides)
{
    if (!m_currentLog)
        return;
    IDEMigrationLogEntry entry;
    for (const IDEInfo& ide : ides) {
        if (ide.product == QLatin1String("VSCode")) {
            entry.vscodeDetected = true;
            entry.vscodeExtensions = ide.extensions;
        } else if (ide.product == QLatin1String("Cursor")) {
            entry.cursorDetected = true;
            entry.cursorExtensions = ide.extensions;
        } else if (ide.product == QLatin1String("Windsurf")) {
            entry.windsurfDetected = true;
            entry.windsurfExtensions = ide.extensions;
        } else if (ide.product == QLatin1String("Xcode")) {
            entry.xcodeUserDataMigrated = true;
        } else if (ide.product.startsWith(QLatin1String("JetBrains/"))) {
            entry.jetbrainsProducts << ide.product.mid(int(sizeof("JetBrains/") - 1));
        }
    }
    m_currentLog->ideMigration = entry;
    Q_EMIT currentLogChanged();
}

void MigrationLogger::completeLog(MigrationLog::Status status)
{
    if (!m_currentLog)
        return;
    m_currentLog->timestampEnd = QDateTime::currentDateTimeUtc();
    m_currentLog->overallStatus = status;
    qCInfo(lcMigration).noquote()
        << QStringLiteral("Migration %1 completed with status: %2").arg(m_currentLog->id, toString(status));
    saveLog(*m_currentLog);
    m_allLogs.append(*m_currentLog);
    sortLogs();
    Q_EMIT currentLogChanged();
    Q_EMIT allLogsChanged();
}

bool MigrationLogger::saveLog(const MigrationLog& log)
{
    try {
        if (!isSafeID(log.id))
            throw SystemError(QStringLiteral("the id \"%1\" cannot name a file").arg(log.id));
        const QString path = m_directory + u'/' + fileNameFor(log.id);
        fs::writeFileAtomically(path, log.encoded());
        if (!m_home.isEmpty())
            handToHomeOwner(m_home, path);
        m_files.insert(log.id, path);
        return true;
    } catch (const std::exception& e) {
        qCCritical(lcMigration).noquote() << QStringLiteral("Failed to save migration log: %1").arg(describe(e));
        return false;
    }
}

void MigrationLogger::loadExistingLogs()
{
    QList<MigrationLog> logs;
    m_files.clear();
    const QStringList names = QDir(m_directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (!name.endsWith(QLatin1String(".json")))
            continue;
        const QString path = m_directory + u'/' + name;
        // Only regular files are read, and without waiting: a FIFO here must not hang us.
        const auto bytes = fs::readRegularFile(path, kMaxLogBytes);
        if (!bytes)
            continue;
        try {
            MigrationLog log = MigrationLog::decode(*bytes);
            if (!isSafeID(log.id) || m_files.contains(log.id))
                continue;
            m_files.insert(log.id, path);
            logs.append(std::move(log));
        } catch (const DecodingError&) {
            // Not a log of ours.
        }
    }
    m_allLogs = std::move(logs);
    sortLogs();
    Q_EMIT allLogsChanged();
}

void MigrationLogger::sortLogs()
{
    std::stable_sort(m_allLogs.begin(), m_allLogs.end(), [](const MigrationLog& a, const MigrationLog& b) {
        return a.timestampStart > b.timestampStart;
    });
}

QString MigrationLogger::pathOf(const QString& id) const
{
    return m_files.value(id, m_directory + u'/' + fileNameFor(id));
}

std::optional<MigrationLog> MigrationLogger::find(const QString& idOrLatest) const
{
    if (idOrLatest == QLatin1String("latest"))
        return m_allLogs.isEmpty() ? std::nullopt : std::optional(m_allLogs.first());
    for (const MigrationLog& log : m_allLogs)
        if (log.id.compare(idOrLatest, Qt::CaseInsensitive) == 0)
            return log;
    return std::nullopt;
}

QCoro::Task<PostOutcome> MigrationLogger::postLog(QUrl url, std::chrono::milliseconds timeout)
{
    if (!m_currentLog)
        co_return PostOutcome{false, QStringLiteral("Failed to post migration log: no migration log is open")};
    saveLog(*m_currentLog);
    co_return co_await postStoredLog(m_currentLog->id, std::move(url), timeout);
}

QCoro::Task<PostOutcome> MigrationLogger::postStoredLog(QString id, QUrl url, std::chrono::milliseconds timeout)
{
    QPointer<MigrationLogger> self(this);
    const auto failed = [&](QString message) {
        // A warning, not critical: front ends show the failure line themselves.
        qCWarning(lcMigration).noquote() << message;
        if (self && isSafeID(id))
            self->addPendingPost(id);
        return PostOutcome{false, std::move(message)};
    };
    const auto body = fs::readRegularFile(pathOf(id), kMaxLogBytes);
    if (!body)
        co_return failed(QStringLiteral("Failed to post migration log: %1 cannot be read").arg(pathOf(id)));
    HttpRequest request;
    request.url = url;
    request.method = "POST";
    request.body = *body;
    request.contentType = "application/json";
    request.timeout = timeout;
    request.statusOnly = true; // what the endpoint says back is not ours to keep
    const HttpResponse response = co_await sendHttpRequest(std::move(request));
    if (!response.hasStatus())
        co_return failed(QStringLiteral("Failed to post migration log: %1").arg(response.error));
    if (response.status < 200 || response.status > 299)
        co_return failed(QStringLiteral("Failed to post log, status: %1").arg(response.status));
    const QString message = QStringLiteral("Migration log posted successfully to %1").arg(url.toDisplayString());
    qCInfo(lcMigration).noquote() << message;
    if (self)
        self->removePendingPost(id);
    co_return PostOutcome{true, message};
}

QStringList MigrationLogger::pendingPosts() const
{
    const auto bytes = fs::readRegularFile(m_directory + u'/' + kPendingPosts, kMaxLogBytes);
    QStringList ids;
    if (!bytes)
        return ids;
    for (const QString& line : QString::fromUtf8(*bytes).split(u'\n')) {
        const QString id = line.trimmed();
        if (isSafeID(id) && !ids.contains(id))
            ids << id;
    }
    return ids;
}

void MigrationLogger::addPendingPost(const QString& id)
{
    QStringList ids = pendingPosts();
    if (!ids.contains(id))
        writePending(ids << id);
}

void MigrationLogger::removePendingPost(const QString& id)
{
    QStringList ids = pendingPosts();
    if (ids.removeAll(id) > 0)
        writePending(ids);
}

void MigrationLogger::writePending(const QStringList& ids)
{
    try {
        const QString pending = m_directory + u'/' + kPendingPosts;
        fs::writeFileAtomically(pending, ids.isEmpty() ? QByteArray() : (ids.join(u'\n') + u'\n').toUtf8());
        if (!m_home.isEmpty())
            handToHomeOwner(m_home, pending);
    } catch (const std::exception& e) {
        qCCritical(lcMigration).noquote() << "Cannot record the logs still to post:" << describe(e);
    }
}

} // namespace kivo
