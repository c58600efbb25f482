// SPDX-License-Identifier: Apache-2.0
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

// The observable state of one transfer, on the main thread. Every field is a
// property whose own signal fires when its value actually changes; changed()
// fires as well, once per Batch when edits are grouped, so a view that redraws
// everything needs only that one.
class TransferProgress : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::uint64_t totalBytes READ totalBytes WRITE setTotalBytes NOTIFY totalBytesChanged)
    Q_PROPERTY(std::uint64_t bytesTransferred READ bytesTransferred WRITE setBytesTransferred
                   NOTIFY bytesTransferredChanged)
    Q_PROPERTY(QString currentFile READ currentFile WRITE setCurrentFile NOTIFY currentFileChanged)
    Q_PROPERTY(QString currentFilePath READ currentFilePath WRITE setCurrentFilePath NOTIFY currentFilePathChanged)
    Q_PROPERTY(qsizetype currentFileIndex READ currentFileIndex WRITE setCurrentFileIndex
                   NOTIFY currentFileIndexChanged)
    Q_PROPERTY(std::uint64_t currentFileBytesTransferred READ currentFileBytesTransferred WRITE setCurrentFileBytesTransferred
                   NOTIFY currentFileBytesTransferredChanged)
    Q_PROPERTY(std::uint64_t currentFileTotalBytes READ currentFileTotalBytes WRITE setCurrentFileTotalBytes
                   NOTIFY currentFileTotalBytesChanged)
    Q_PROPERTY(qsizetype totalFiles READ totalFiles WRITE setTotalFiles NOTIFY totalFilesChanged)
    Q_PROPERTY(qsizetype filesCompleted READ filesCompleted WRITE setFilesCompleted NOTIFY filesCompletedChanged)
    Q_PROPERTY(bool isTransferring READ isTransferring WRITE setIsTransferring NOTIFY isTransferringChanged)
    Q_PROPERTY(bool isComplete READ isComplete WRITE setIsComplete NOTIFY isCompleteChanged)
    Q_PROPERTY(std::optional<QDateTime> startedAt READ startedAt WRITE setStartedAt NOTIFY startedAtChanged)
    Q_PROPERTY(std::optional<QDateTime> completedAt READ completedAt WRITE setCompletedAt NOTIFY completedAtChanged)
    Q_PROPERTY(bool isPaused READ isPaused WRITE setIsPaused NOTIFY isPausedChanged)
    Q_PROPERTY(bool isCancelled READ isCancelled WRITE setIsCancelled NOTIFY isCancelledChanged)
    Q_PROPERTY(std::optional<QString> error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(bool isVerifying READ isVerifying WRITE setIsVerifying NOTIFY isVerifyingChanged)
    Q_PROPERTY(QString currentCategoryName READ currentCategoryName WRITE setCurrentCategoryName
                   NOTIFY currentCategoryNameChanged)
    Q_PROPERTY(qsizetype currentCategoryIndex READ currentCategoryIndex WRITE setCurrentCategoryIndex
                   NOTIFY currentCategoryIndexChanged)
    Q_PROPERTY(qsizetype totalCategories READ totalCategories WRITE setTotalCategories NOTIFY totalCategoriesChanged)
    Q_PROPERTY(QStringList verificationMismatches READ verificationMismatches WRITE setVerificationMismatches
                   NOTIFY verificationMismatchesChanged)
    Q_PROPERTY(qsizetype verificationFilesChecked READ verificationFilesChecked WRITE setVerificationFilesChecked
                   NOTIFY verificationFilesCheckedChanged)
    Q_PROPERTY(qsizetype verificationFilesSkipped READ verificationFilesSkipped WRITE setVerificationFilesSkipped
                   NOTIFY verificationFilesSkippedChanged)
    Q_PROPERTY(qsizetype iCloudStubsSkipped READ iCloudStubsSkipped WRITE setICloudStubsSkipped
                   NOTIFY iCloudStubsSkippedChanged)
    Q_PROPERTY(std::uint64_t iCloudStubsBytesSkipped READ iCloudStubsBytesSkipped WRITE setICloudStubsBytesSkipped
                   NOTIFY iCloudStubsBytesSkippedChanged)
    Q_PROPERTY(QMap<QString, kivo::CategoryProgress> categoryProgress READ categoryProgress WRITE setCategoryProgress
                   NOTIFY categoryProgressChanged)
    Q_PROPERTY(QList<kivo::FileError> fileErrors READ fileErrors NOTIFY fileErrorsChanged)
    Q_PROPERTY(QList<kivo::ConflictOutcome> conflictsResolved READ conflictsResolved NOTIFY conflictsResolvedChanged)
    Q_PROPERTY(double overallProgress READ overallProgress NOTIFY changed)
    Q_PROPERTY(double speedBytesPerSecond READ speedBytesPerSecond NOTIFY changed)
public:
    explicit TransferProgress(std::shared_ptr<Clock> clock = Clock::system(), QObject* parent = nullptr);
    void setClock(std::shared_ptr<Clock> clock) { m_clock = std::move(clock); }

    // Holds changed() back until the outermost batch ends, then fires it once if anything changed.
    class Batch {
    public:
        explicit Batch(TransferProgress* progress) : m_progress(progress) { ++m_progress->m_batchDepth; }
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        TransferProgress* m_progress;
    };

    std::uint64_t totalBytes() const { return m_totalBytes; }
    std::uint64_t bytesTransferred() const { return m_bytesTransferred; }
    const QString& currentFile() const { return m_currentFile; }
    const QString& currentFilePath() const { return m_currentFilePath; }
    qsizetype currentFileIndex() const { return m_currentFileIndex; }
    std::uint64_t currentFileBytesTransferred() const { return m_currentFileBytesTransferred; }
    std::uint64_t currentFileTotalBytes() const { return m_currentFileTotalBytes; }
    qsizetype totalFiles() const { return m_totalFiles; }
    qsizetype filesCompleted() const { return m_filesCompleted; }
    bool isTransferring() const { return m_isTransferring; }
    bool isComplete() const { return m_isComplete; }
    const std::optional<QDateTime>& startedAt() const { return m_startedAt; }
    const std::optional<QDateTime>& completedAt() const { return m_completedAt; }
    bool isPaused() const { return m_isPaused; }
    bool isCancelled() const { return m_isCancelled; }
    const std::optional<QString>& error() const { return m_error; }
    bool isVerifying() const { return m_isVerifying; }
    const QString& currentCategoryName() const { return m_currentCategoryName; }
    qsizetype currentCategoryIndex() const { return m_currentCategoryIndex; }
    qsizetype totalCategories() const { return m_totalCategories; }
    const QStringList& verificationMismatches() const { return m_verificationMismatches; }
    qsizetype verificationFilesChecked() const { return m_verificationFilesChecked; }
    qsizetype verificationFilesSkipped() const { return m_verificationFilesSkipped; }
    qsizetype iCloudStubsSkipped() const { return m_iCloudStubsSkipped; }
    std::uint64_t iCloudStubsBytesSkipped() const { return m_iCloudStubsBytesSkipped; }

    void setTotalBytes(std::uint64_t value);
    void setBytesTransferred(std::uint64_t value);
    void setCurrentFile(QString value);
    void setCurrentFilePath(QString value);
    void setCurrentFileIndex(qsizetype value);
    void setCurrentFileBytesTransferred(std::uint64_t value);
    void setCurrentFileTotalBytes(std::uint64_t value);
    void setTotalFiles(qsizetype value);
    void setFilesCompleted(qsizetype value);
    void setIsTransferring(bool value);
    void setIsComplete(bool value);
    void setStartedAt(std::optional<QDateTime> value);
    void setCompletedAt(std::optional<QDateTime> value);
    void setIsPaused(bool value);
    void setIsCancelled(bool value);
    void setError(std::optional<QString> value);
    void setIsVerifying(bool value);
    void setCurrentCategoryName(QString value);
    void setCurrentCategoryIndex(qsizetype value);
    void setTotalCategories(qsizetype value);
    void setVerificationMismatches(QStringList value);
    void setVerificationFilesChecked(qsizetype value);
    void setVerificationFilesSkipped(qsizetype value);
    void setICloudStubsSkipped(qsizetype value);
    void setICloudStubsBytesSkipped(std::uint64_t value);

    const QMap<QString, CategoryProgress>& categoryProgress() const { return m_categoryProgress; }
    void setCategoryProgress(QMap<QString, CategoryProgress> value);
    // Edits one category's counters in place; creates it when missing.
    template <typename F>
    void updateCategory(const QString& categoryID, F edit)
    {
        CategoryProgress& entry = m_categoryProgress[categoryID];
        const CategoryProgress before = entry;
        edit(entry);
        if (!(before == entry))
            notify(&TransferProgress::categoryProgressChanged);
    }

    const QList<FileError>& fileErrors() const { return m_fileErrors; }
    void addFileError(FileError error);
    const QList<ConflictOutcome>& conflictsResolved() const { return m_conflictsResolved; }
    void addConflictOutcome(ConflictOutcome outcome);
    const QList<SpeedSample>& speedSamples() const { return m_speedSamples; }

    // Sets bytesTransferred and keeps the last minute of samples for the speed estimate.
    void recordProgress(std::uint64_t bytes);
    // A file that arrived as a link to another: its bytes never travel, so
    // they leave the totals instead of counting as transferred twice.
    void leaveOutOfTotals(const QString& categoryID, std::uint64_t bytes);

    double overallProgress() const;
    double speedBytesPerSecond() const;
    bool hasReliableSpeedSample() const;
    std::optional<double> estimatedTimeRemaining() const; // seconds
    std::optional<double> duration() const;               // seconds

Q_SIGNALS:
    void totalBytesChanged();
    void bytesTransferredChanged();
    void currentFileChanged();
    void currentFilePathChanged();
    void currentFileIndexChanged();
    void currentFileBytesTransferredChanged();
    void currentFileTotalBytesChanged();
    void totalFilesChanged();
    void filesCompletedChanged();
    void isTransferringChanged();
    void isCompleteChanged();
    void startedAtChanged();
    void completedAtChanged();
    void isPausedChanged();
    void isCancelledChanged();
    void errorChanged();
    void isVerifyingChanged();
    void currentCategoryNameChanged();
    void currentCategoryIndexChanged();
    void totalCategoriesChanged();
    void verificationMismatchesChanged();
    void verificationFilesCheckedChanged();
    void verificationFilesSkippedChanged();
    void iCloudStubsSkippedChanged();
    void iCloudStubsBytesSkippedChanged();
    void categoryProgressChanged();
    void fileErrorsChanged();
    void conflictsResolvedChanged();
    // Something changed; see Batch.
    void changed();

private:
    using Signal = void (TransferProgress::*)();
    template <typename T>
    void assign(T& field, T value, Signal signal)
    {
        if (field == value)
            return;
        field = std::move(value);
        notify(signal);
    }
    void notify(Signal signal);

    std::shared_ptr<Clock> m_clock;
    std::uint64_t m_totalBytes{};
    std::uint64_t m_bytesTransferred{};
    QString m_currentFile;
    QString m_currentFilePath;
    qsizetype m_currentFileIndex{};
    std::uint64_t m_currentFileBytesTransferred{};
    std::uint64_t m_currentFileTotalBytes{};
    qsizetype m_totalFiles{};
    qsizetype m_filesCompleted{};
    bool m_isTransferring{};
    bool m_isComplete{};
    std::optional<QDateTime> m_startedAt;
    std::optional<QDateTime> m_completedAt;
    bool m_isPaused{};
    bool m_isCancelled{};
    std::optional<QString> m_error;
    bool m_isVerifying{};
    QString m_currentCategoryName;
    qsizetype m_currentCategoryIndex{};
    qsizetype m_totalCategories{};
    QStringList m_verificationMismatches;
    qsizetype m_verificationFilesChecked{};
    qsizetype m_verificationFilesSkipped{};
    qsizetype m_iCloudStubsSkipped{};
    std::uint64_t m_iCloudStubsBytesSkipped{};
    QMap<QString, CategoryProgress> m_categoryProgress;
    QList<FileError> m_fileErrors;
    QList<ConflictOutcome> m_conflictsResolved;
    QList<SpeedSample> m_speedSamples;
    int m_batchDepth = 0;
    bool m_changePending = false;
};

} // namespace kivo

Q_DECLARE_METATYPE(kivo::FileError)
Q_DECLARE_METATYPE(kivo::CategoryProgress)
Q_DECLARE_METATYPE(kivo::ConflictOutcome)
