#pragma once

#include "platform/Clock.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <cstdint>
#include <memory>
#include <optional>

namespace kivo {

enum class CategoryStatus { pending, inProgress, completed, failed };
QString toString(CategoryStatus status);

struct CategoryProgress {
    QString categoryID;
    QString categoryName;
    std::uint64_t totalBytes = 0;
    std::uint64_t bytesTransferred = 0;
    int totalFiles = 0;
    int filesCompleted = 0;
    CategoryStatus status = CategoryStatus::pending;

    QJsonObject toJson() const;
    bool operator==(const CategoryProgress&) const = default;
};

struct FileError {
    QUuid id;
    QString filePath;
    QString categoryID;
    QString error;
    QDateTime timestamp;

    QJsonObject toJson() const;
    bool operator==(const FileError&) const = default;
};

struct ConflictOutcome {
    QUuid id;
    QString relativePath;
    QString resolution; // "skipped" or "overwritten"
    QDateTime timestamp;

    QJsonObject toJson() const;
    bool operator==(const ConflictOutcome&) const = default;
};

struct SpeedSample {
    QDateTime timestamp;
    std::uint64_t bytes = 0;
    bool operator==(const SpeedSample&) const = default;
};

// The observable state of one transfer. Main thread only; changed() fires
// whenever any field actually changes.
class TransferProgress : public QObject {
    Q_OBJECT
public:
    explicit TransferProgress(std::shared_ptr<Clock> clock = Clock::system(), QObject* parent = nullptr);
    void setClock(std::shared_ptr<Clock> clock) { m_clock = std::move(clock); }

#define KIVO_PROGRESS_FIELD(Type, name, Setter)                 \
public:                                                         \
    const Type& name() const { return m_##name; }               \
    void Setter(Type value) { assign(m_##name, std::move(value)); } \
                                                                \
private:                                                        \
    Type m_##name{};

    KIVO_PROGRESS_FIELD(std::uint64_t, totalBytes, setTotalBytes)
    KIVO_PROGRESS_FIELD(std::uint64_t, bytesTransferred, setBytesTransferred)
    KIVO_PROGRESS_FIELD(QString, currentFile, setCurrentFile)
    KIVO_PROGRESS_FIELD(QString, currentFilePath, setCurrentFilePath)
    KIVO_PROGRESS_FIELD(qsizetype, currentFileIndex, setCurrentFileIndex)
    KIVO_PROGRESS_FIELD(std::uint64_t, currentFileBytesTransferred, setCurrentFileBytesTransferred)
    KIVO_PROGRESS_FIELD(std::uint64_t, currentFileTotalBytes, setCurrentFileTotalBytes)
    KIVO_PROGRESS_FIELD(qsizetype, totalFiles, setTotalFiles)
    KIVO_PROGRESS_FIELD(qsizetype, filesCompleted, setFilesCompleted)
    KIVO_PROGRESS_FIELD(bool, isTransferring, setIsTransferring)
    KIVO_PROGRESS_FIELD(bool, isComplete, setIsComplete)
    KIVO_PROGRESS_FIELD(std::optional<QDateTime>, startedAt, setStartedAt)
    KIVO_PROGRESS_FIELD(std::optional<QDateTime>, completedAt, setCompletedAt)
    KIVO_PROGRESS_FIELD(bool, isPaused, setIsPaused)
    KIVO_PROGRESS_FIELD(bool, isCancelled, setIsCancelled)
    KIVO_PROGRESS_FIELD(std::optional<QString>, error, setError)
    KIVO_PROGRESS_FIELD(bool, isVerifying, setIsVerifying)
    KIVO_PROGRESS_FIELD(QString, currentCategoryName, setCurrentCategoryName)
    KIVO_PROGRESS_FIELD(qsizetype, currentCategoryIndex, setCurrentCategoryIndex)
    KIVO_PROGRESS_FIELD(qsizetype, totalCategories, setTotalCategories)
    KIVO_PROGRESS_FIELD(QStringList, verificationMismatches, setVerificationMismatches)
    KIVO_PROGRESS_FIELD(qsizetype, verificationFilesChecked, setVerificationFilesChecked)
    KIVO_PROGRESS_FIELD(qsizetype, verificationFilesSkipped, setVerificationFilesSkipped)
    KIVO_PROGRESS_FIELD(qsizetype, iCloudStubsSkipped, setICloudStubsSkipped)
    KIVO_PROGRESS_FIELD(std::uint64_t, iCloudStubsBytesSkipped, setICloudStubsBytesSkipped)
#undef KIVO_PROGRESS_FIELD

public:
    const QMap<QString, CategoryProgress>& categoryProgress() const { return m_categoryProgress; }
    void setCategoryProgress(QMap<QString, CategoryProgress> value) { assign(m_categoryProgress, std::move(value)); }
    // Edits one category's counters in place; creates it when missing.
    template <typename F>
    void updateCategory(const QString& categoryID, F edit)
    {
        CategoryProgress& entry = m_categoryProgress[categoryID];
        const CategoryProgress before = entry;
        edit(entry);
        if (!(before == entry))
            Q_EMIT changed();
    }

    const QList<FileError>& fileErrors() const { return m_fileErrors; }
    void addFileError(FileError error);
    const QList<ConflictOutcome>& conflictsResolved() const { return m_conflictsResolved; }
    void addConflictOutcome(ConflictOutcome outcome);
    const QList<SpeedSample>& speedSamples() const { return m_speedSamples; }

    // Sets bytesTransferred and keeps the last minute of samples for the speed estimate.
    void recordProgress(std::uint64_t bytes);

    double overallProgress() const;
    double speedBytesPerSecond() const;
    bool hasReliableSpeedSample() const;
    std::optional<double> estimatedTimeRemaining() const; // seconds
    std::optional<double> duration() const;               // seconds

Q_SIGNALS:
    void changed();

private:
    template <typename T>
    void assign(T& field, T value)
    {
        if (field == value)
            return;
        field = std::move(value);
        Q_EMIT changed();
    }

    std::shared_ptr<Clock> m_clock;
    QMap<QString, CategoryProgress> m_categoryProgress;
    QList<FileError> m_fileErrors;
    QList<ConflictOutcome> m_conflictsResolved;
    QList<SpeedSample> m_speedSamples;
};

} // namespace kivo

Q_DECLARE_METATYPE(kivo::FileError)
