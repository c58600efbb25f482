#include "transfer/TransferProgress.h"

#include "platform/Json.h"

namespace kivo {

namespace {

constexpr qint64 kSampleWindowMs = 60000;
constexpr qint64 kSpeedWindowMs = 30000;

} // namespace

QString toString(CategoryStatus status)
{
    switch (status) {
    case CategoryStatus::pending:
        return QStringLiteral("pending");
    case CategoryStatus::inProgress:
        return QStringLiteral("inProgress");
    case CategoryStatus::completed:
        return QStringLiteral("completed");
    case CategoryStatus::failed:
        return QStringLiteral("failed");
    }
    return {};
}

QJsonObject CategoryProgress::toJson() const
{
    return QJsonObject{{QStringLiteral("categoryID"), categoryID},
                       {QStringLiteral("categoryName"), categoryName},
                       {QStringLiteral("totalBytes"), static_cast<double>(totalBytes)},
                       {QStringLiteral("bytesTransferred"), static_cast<double>(bytesTransferred)},
                       {QStringLiteral("totalFiles"), totalFiles},
                       {QStringLiteral("filesCompleted"), filesCompleted},
                       {QStringLiteral("status"), toString(status)}};
}

QJsonObject FileError::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper()},
                       {QStringLiteral("filePath"), filePath},
                       {QStringLiteral("categoryID"), categoryID},
                       {QStringLiteral("error"), error},
                       {QStringLiteral("timestamp"), json::formatDate(timestamp)}};
}

QJsonObject ConflictOutcome::toJson() const
{
    return QJsonObject{{QStringLiteral("id"), id.toString(QUuid::WithoutBraces).toUpper()},
                       {QStringLiteral("relativePath"), relativePath},
                       {QStringLiteral("resolution"), resolution},
                       {QStringLiteral("timestamp"), json::formatDate(timestamp)}};
}

TransferProgress::TransferProgress(std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent), m_clock(std::move(clock))
{
}

void TransferProgress::addFileError(FileError error)
{
    m_fileErrors.append(std::move(error));
    Q_EMIT changed();
}

void TransferProgress::addConflictOutcome(ConflictOutcome outcome)
{
    m_conflictsResolved.append(std::move(outcome));
    Q_EMIT changed();
}

void TransferProgress::recordProgress(std::uint64_t bytes)
{
    setBytesTransferred(bytes);
    const QDateTime now = m_clock->now();
    m_speedSamples.append({now, bytes});
    const QDateTime cutoff = now.addMSecs(-kSampleWindowMs);
    while (!m_speedSamples.isEmpty() && m_speedSamples.first().timestamp < cutoff)
        m_speedSamples.removeFirst();
}

double TransferProgress::overallProgress() const
{
    if (m_totalBytes == 0)
        return 0.0;
    return static_cast<double>(m_bytesTransferred) / static_cast<double>(m_totalBytes);
}

double TransferProgress::speedBytesPerSecond() const
{
    if (m_speedSamples.size() < 2)
        return 0.0;
    const QDateTime cutoff = m_clock->now().addMSecs(-kSpeedWindowMs);
    qsizetype first = 0;
    while (first < m_speedSamples.size() && m_speedSamples[first].timestamp < cutoff)
        ++first;
    if (m_speedSamples.size() - first < 2)
        return 0.0;
    const SpeedSample& a = m_speedSamples[first];
    const SpeedSample& b = m_speedSamples.last();
    const qint64 ms = a.timestamp.msecsTo(b.timestamp);
    if (ms <= 0)
        return 0.0;
    const double delta = static_cast<double>(b.bytes) - static_cast<double>(a.bytes);
    return std::max(0.0, delta / (static_cast<double>(ms) / 1000.0));
}

bool TransferProgress::hasReliableSpeedSample() const
{
    if (m_speedSamples.isEmpty())
        return false;
    return m_speedSamples.first().timestamp.msecsTo(m_speedSamples.last().timestamp) >= kSpeedWindowMs;
}

std::optional<double> TransferProgress::estimatedTimeRemaining() const
{
    const double speed = speedBytesPerSecond();
    if (speed <= 0 || m_bytesTransferred >= m_totalBytes || !hasReliableSpeedSample())
        return std::nullopt;
    return static_cast<double>(m_totalBytes - m_bytesTransferred) / speed;
}

std::optional<double> TransferProgress::duration() const
{
    if (!m_startedAt)
        return std::nullopt;
    const QDateTime end = m_completedAt.value_or(m_clock->now());
    return static_cast<double>(m_startedAt->msecsTo(end)) / 1000.0;
}

} // namespace kivo
