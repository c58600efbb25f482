// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferProgress.h"

#include "platform/Json.h"

#include <algorithm>
#include <utility>

namespace kivo {

namespace {

constexpr qint64 kSampleWindowMs = 60000;
constexpr qint64 kSpeedWindowMs = 30000;
// Closer samples replace the newest: hundreds of thousands of small files
// would otherwise leave one per file in the window.
constexpr qint64 kSampleSpacingMs = 50;

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

void TransferProgress::setTotalBytes(std::uint64_t value)
{
    assign(m_totalBytes, value, &TransferProgress::totalBytesChanged);
}
void TransferProgress::setBytesTransferred(std::uint64_t value)
{
    assign(m_bytesTransferred, value, &TransferProgress::bytesTransferredChanged);
}
void TransferProgress::setCurrentFile(QString value)
{
    assign(m_currentFile, std::move(value), &TransferProgress::currentFileChanged);
}
void TransferProgress::setCurrentFilePath(QString value)
{
    assign(m_currentFilePath, std::move(value), &TransferProgress::currentFilePathChanged);
}
void TransferProgress::setCurrentFileIndex(qsizetype value)
{
    assign(m_currentFileIndex, value, &TransferProgress::currentFileIndexChanged);
}
void TransferProgress::setCurrentFileBytesTransferred(std::uint64_t value)
{
    assign(m_currentFileBytesTransferred, value, &TransferProgress::currentFileBytesTransferredChanged);
}
void TransferProgress::setCurrentFileTotalBytes(std::uint64_t value)
{
    assign(m_currentFileTotalBytes, value, &TransferProgress::currentFileTotalBytesChanged);
}
void TransferProgress::setTotalFiles(qsizetype value)
{
    assign(m_totalFiles, value, &TransferProgress::totalFilesChanged);
}
void TransferProgress::setFilesCompleted(qsizetype value)
{
    assign(m_filesCompleted, value, &TransferProgress::filesCompletedChanged);
}
void TransferProgress::setIsTransferring(bool value)
{
    assign(m_isTransferring, value, &TransferProgress::isTransferringChanged);
}
void TransferProgress::setIsComplete(bool value) { assign(m_isComplete, value, &TransferProgress::isCompleteChanged); }
void TransferProgress::setStartedAt(std::optional<QDateTime> value)
{
    assign(m_startedAt, std::move(value), &TransferProgress::startedAtChanged);
}
void TransferProgress::setCompletedAt(std::optional<QDateTime> value)
{
    assign(m_completedAt, std::move(value), &TransferProgress::completedAtChanged);
}
void TransferProgress::setIsPaused(bool value) { assign(m_isPaused, value, &TransferProgress::isPausedChanged); }
void TransferProgress::setIsCancelled(bool value)
{
    assign(m_isCancelled, value, &TransferProgress::isCancelledChanged);
}
void TransferProgress::setError(std::optional<QString> value)
{
    assign(m_error, std::move(value), &TransferProgress::errorChanged);
}
void TransferProgress::setIsVerifying(bool value)
{
    assign(m_isVerifying, value, &TransferProgress::isVerifyingChanged);
}
void TransferProgress::setCurrentCategoryName(QString value)
{
    assign(m_currentCategoryName, std::move(value), &TransferProgress::currentCategoryNameChanged);
}
void TransferProgress::setCurrentCategoryIndex(qsizetype value)
{
    assign(m_currentCategoryIndex, value, &TransferProgress::currentCategoryIndexChanged);
}
void TransferProgress::setTotalCategories(qsizetype value)
{
    assign(m_totalCategories, value, &TransferProgress::totalCategoriesChanged);
}
void TransferProgress::setVerificationMismatches(QStringList value)
{
    assign(m_verificationMismatches, std::move(value), &TransferProgress::verificationMismatchesChanged);
}
void TransferProgress::setVerificationFilesChecked(qsizetype value)
{
    assign(m_verificationFilesChecked, value, &TransferProgress::verificationFilesCheckedChanged);
}
void TransferProgress::setVerificationFilesSkipped(qsizetype value)
{
    assign(m_verificationFilesSkipped, value, &TransferProgress::verificationFilesSkippedChanged);
}
void TransferProgress::setICloudStubsSkipped(qsizetype value)
{
    assign(m_iCloudStubsSkipped, value, &TransferProgress::iCloudStubsSkippedChanged);
}
void TransferProgress::setICloudStubsBytesSkipped(std::uint64_t value)
{
    assign(m_iCloudStubsBytesSkipped, value, &TransferProgress::iCloudStubsBytesSkippedChanged);
}
void TransferProgress::setCategoryProgress(QMap<QString, CategoryProgress> value)
{
    assign(m_categoryProgress, std::move(value), &TransferProgress::categoryProgressChanged);
}

TransferProgress::Batch::~Batch()
{
    if (--m_progress->m_batchDepth == 0 && std::exchange(m_progress->m_changePending, false))
        Q_EMIT m_progress->changed();
}

void TransferProgress::notify(Signal signal)
{
    Q_EMIT(this->*signal)();
    if (m_batchDepth > 0)
        m_changePending = true;
    else
        Q_EMIT changed();
}

void TransferProgress::addFileError(FileError error)
{
    m_fileErrors.append(std::move(error));
    notify(&TransferProgress::fileErrorsChanged);
}

void TransferProgress::addConflictOutcome(ConflictOutcome outcome)
{
    m_conflictsResolved.append(std::move(outcome));
    notify(&TransferProgress::conflictsResolvedChanged);
}

void TransferProgress::recordProgress(std::uint64_t bytes)
{
    setBytesTransferred(bytes);
    const QDateTime now = m_clock->now();
    const qsizetype n = m_speedSamples.size();
    if (n >= 2 && m_speedSamples[n - 2].timestamp.msecsTo(now) < kSampleSpacingMs)
        m_speedSamples.last() = {now, bytes};
    else
        m_speedSamples.append({now, bytes});
    const QDateTime cutoff = now.addMSecs(-kSampleWindowMs);
    while (!m_speedSamples.isEmpty() && m_speedSamples.first().timestamp < cutoff)
        m_speedSamples.removeFirst();
}

void TransferProgress::leaveOutOfTotals(const QString& categoryID, std::uint64_t bytes)
{
    Batch batch(this);
    setTotalBytes(m_totalBytes - std::min(bytes, m_totalBytes));
    updateCategory(categoryID, [bytes](CategoryProgress& p) { p.totalBytes -= std::min(bytes, p.totalBytes); });
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
