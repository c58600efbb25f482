#pragma once

#include "transfer/ResumeState.h"
#include "transfer/ThrottleBudget.h"
#include "transfer/TransferEngine.h"

#include <QHash>
#include <QSet>

#include <exception>
#include <functional>

namespace kivo {

// The sending side: the manifest, then per category each file as acknowledged
// chunks, then verification. Stop-and-wait: one request outstanding at a time.
class SourceTransfer : public TransferEngine {
    Q_OBJECT
public:
    static constexpr int kMaxChunkAttempts = 3;

    // `homeFolder` is where this side keeps its own records.
    SourceTransfer(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent = nullptr);
    ~SourceTransfer() override;

    DeviceRole role() const override { return DeviceRole::source; }
    QCoro::Task<void> run() override;

    void setManifest(TransferManifest manifest);
    void setBandwidthCap(std::optional<int> megabitsPerSecond);
    const std::optional<ThrottleBudget>& throttle() const { return m_throttle; }
    void setClock(std::shared_ptr<Clock> clock) override;

    // Holds the chunk loop between chunks and tells the destination.
    void setPaused(bool paused);
    bool isPaused() const { return m_isPaused; }

    // The destination's checkpoint from manifestAck, when it had one.
    const std::optional<ResumeState>& resumeState() const { return m_resumeState; }
    const QHash<QString, QString>& sourceFileHashes() const { return m_sourceFileHashes; }

private:
    struct PreparedFile;
    enum class Action { done, placeholder, unreadable, send };
    // The next file to send, read ahead while the current one is acknowledged.
    struct Prefetch {
        std::shared_ptr<PreparedFile> file;
        qsizetype position = -1;
    };

    QCoro::Task<void> runSource();
    void beginRun();
    QCoro::Task<void> exchangeManifest();
    void applyCheckpoint();
    QCoro::Task<void> finishRun();

    QCoro::Task<void> sendCategory(qsizetype categoryIndex, QString categoryID);
    QCoro::Task<void> beginCategory(qsizetype categoryIndex, QString categoryID);
    QCoro::Task<QList<Action>> planCategory(QString categoryID, QList<qsizetype> indices);
    QCoro::Task<void> sendPlannedFiles(QString categoryID, QList<qsizetype> indices, QList<Action> plan);
    QCoro::Task<void> skipPlaceholder(qsizetype itemIndex);
    QCoro::Task<void> skipUnreadable(qsizetype itemIndex, QString categoryID);
    QCoro::Task<void> sendFileSkip(QString relativePath, QString reason);
    // False when cancelled before the file was finished.
    QCoro::Task<bool> sendFile(qsizetype itemIndex, QString categoryID, std::shared_ptr<PreparedFile> prepared,
                               std::function<void()> whileAwaitingFileAck);
    // What the destination is told of the file given up, when it is to be told;
    // rethrows what ends the transfer.
    std::optional<QString> recordFileFailure(qsizetype itemIndex, const QString& categoryID, std::exception_ptr failure);
    QCoro::Task<void> endCategory(QString categoryID);

    std::shared_ptr<PreparedFile> prepareFile(qsizetype itemIndex);
    void beginFile(qsizetype itemIndex);
    void countResumedPrefix(const QString& categoryID, std::uint64_t size, std::uint32_t firstChunk);
    QCoro::Task<void> waitWhilePaused();
    QCoro::Task<void> sendChunk(QString relativePath, std::uint32_t index, std::uint32_t total, QByteArray bytes,
                                QString hash, bool hole = false);
    void countChunk(const QString& categoryID, std::uint64_t bytes);
    // Back to the plain idle limit after a reply that was allowed longer.
    void restoreIdleDeadline();
    QCoro::Task<void> completeFile(QString relativePath, QString wholeHash, std::function<void()> whileAwaitingFileAck);
    QCoro::Task<void> runVerification();
    void recordVerification(const QList<FileVerification>& hashes);

    std::optional<ResumeState> m_resumeState;
    QHash<QString, QString> m_sourceFileHashes;
    std::optional<ThrottleBudget> m_throttle;
    std::optional<int> m_capMegabits;
    bool m_isPaused = false;
    bool m_peerPaused = false;
    bool m_deadlineExtended = false;
    std::uint64_t m_bytesDone = 0;
    // The largest chunk the destination takes as a hole marker; 0: it takes none.
    std::uint32_t m_peerHoleSize = 0;
};

} // namespace kivo
