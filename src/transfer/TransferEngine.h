#pragma once

#include "transfer/CategoryTransferHandler.h"
#include "platform/Clock.h"
#include "transfer/DeviceRole.h"
#include "transfer/UserMapping.h"
#include "transfer/MDMSafetyChecker.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/MessageHeader.h"
#include "transfer/ResumeState.h"
#include "transfer/ThrottleBudget.h"
#include "transfer/TransferConnection.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferProgress.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>

#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kivo {

class DestinationWriter;

// Rewrites the old home folder inside received files (the account mapper implements it).
class AccountPathRewriter {
public:
    virtual ~AccountPathRewriter() = default;
    virtual std::optional<UserMapping> mapping() const = 0;
    virtual void rewritePlistPaths(const QString& path) = 0;
    virtual void rewriteTextFilePaths(const QString& path) = 0;
};

// Gives received files to the destination account (the privileged helper's client implements it).
class OwnershipCorrector {
public:
    virtual ~OwnershipCorrector() = default;
    virtual QCoro::Task<void> correctOwnership(QString homeFolder, QString ownerUsername,
                                               QStringList transferredPaths) = 0;
    // Through the helper; false when it is not available and the engine should do it itself.
    virtual QCoro::Task<bool> setFileMode(QString, std::uint16_t) { co_return false; }
    virtual QCoro::Task<bool> removeFile(QString) { co_return false; }
};

// Runs one transfer over one connection: start() on the source, receive() on
// the destination. Lives on the main thread; file I/O and hashing run on pool
// threads and every step resumes here.
class TransferEngine : public QObject {
    Q_OBJECT
public:
    using CategoryFinalized = std::function<QCoro::Task<void>(QString, QList<TransferManifest::FileItem>)>;
    // Builds the default handler for a category id (and the keychain handler from the session key);
    // may return null.
    using HandlerFactory =
        std::function<std::shared_ptr<CategoryTransferHandler>(const QString& categoryID, const QByteArray& sessionKey)>;

    static constexpr int kMaxChunkAttempts = 3;

    TransferEngine(DeviceRole role, TransferConnection* connection, QString transferID, QString homeFolder,
                   QObject* parent = nullptr);
    ~TransferEngine() override;

    TransferProgress* progress() const { return m_progress; }
    DeviceRole role() const { return m_role; }
    const QString& transferID() const { return m_transferID; }
    const QString& homeFolder() const { return m_home; }
    // Where checkpoints live for a home folder.
    static QString transfersDirectory(const QString& homeFolder);

    void setManifest(TransferManifest manifest);
    const std::optional<TransferManifest>& manifest() const { return m_manifest; }
    // Source: the destination's checkpoint from manifestAck. Destination: its own.
    const std::optional<ResumeState>& resumeState() const { return m_resumeState; }

    void setSessionKey(QByteArray key32);
    const std::optional<QByteArray>& sessionKey() const { return m_sessionKey; }
    void setBandwidthCap(std::optional<int> megabitsPerSecond);
    const std::optional<ThrottleBudget>& throttle() const { return m_throttle; }
    void setConflictPolicy(ConflictPolicy policy) { m_conflictPolicy = policy; }
    ConflictPolicy conflictPolicy() const { return m_conflictPolicy; }
    void setUserMapping(UserMapping mapping) { m_userMapping = std::move(mapping); }
    const std::optional<UserMapping>& userMapping() const { return m_userMapping; }
    void setAccountRewriter(std::shared_ptr<AccountPathRewriter> rewriter) { m_rewriter = std::move(rewriter); }
    void setOwnershipCorrector(std::shared_ptr<OwnershipCorrector> corrector) { m_corrector = std::move(corrector); }
    void setHandlerFactory(HandlerFactory factory) { m_handlerFactory = std::move(factory); }
    void registerHandler(std::shared_ptr<CategoryTransferHandler> handler);
    std::shared_ptr<CategoryTransferHandler> handler(const QString& categoryID) const;
    void setDestinationCategoryFinalized(CategoryFinalized callback) { m_categoryFinalized = std::move(callback); }
    // Destination: the account mapping for a received manifest, asked before any
    // of its paths is resolved (the source names its home in it).
    void setMappingForManifest(std::function<UserMapping(const TransferManifest&)> callback)
    {
        m_mappingForManifest = std::move(callback);
    }
    void setClock(std::shared_ptr<Clock> clock);
    void setSafetyChecker(MDMSafetyChecker checker) { m_safety = std::move(checker); }

    // Source: holds the chunk loop between chunks and tells the destination.
    void setPaused(bool paused);
    bool isPaused() const { return m_isPaused; }
    bool isCancelled() const { return m_isCancelled; }

    const QHash<QString, QString>& sourceFileHashes() const { return m_sourceFileHashes; }
    const QStringList& writtenPaths() const { return m_writtenPaths; }
    const QSet<QString>& conflictSkippedPaths() const { return m_conflictSkippedPaths; }
    // Where the destination writes an item: mapped to the local account, "~" expanded.
    QString resolveDestinationPath(const QString& relativePath) const;
    // Free bytes on the home folder's volume; 0 when unknown.
    std::uint64_t availableDiskSpace() const;

    QCoro::Task<void> start();   // source; never throws
    QCoro::Task<void> receive(); // destination; never throws
    void cancel();
    // Destination: cancels, closes the connection and deletes every file written. The checkpoint stays.
    QCoro::Task<void> cancelAndCleanup();

Q_SIGNALS:
    void progressEmitted();
    void categoryStarted(QString categoryID);
    void categoryCompleted(QString categoryID);
    void fileFailed(kivo::FileError error);
    void verificationFinished();
    void finished();

private:
    struct PreparedFile;
    struct ChunkResult;

    void emitProgress() { Q_EMIT progressEmitted(); }
    MessageHeader makeHeader(MessageType type);
    QCoro::Task<void> send(MessageHeader header, std::optional<QByteArray> payload = std::nullopt);
    void addFileError(const QString& path, const QString& categoryID, const QString& error);
    void fail(const QString& logFormat, const QString& text);
    void initCategoryProgress();

    // Source
    QCoro::Task<void> runSource();
    QCoro::Task<void> sendManifest();
    QCoro::Task<void> sendCategory(qsizetype categoryIndex, QString categoryID);
    // False when cancelled before the file was finished.
    QCoro::Task<bool> transferFile(qsizetype itemIndex, QString categoryID, std::shared_ptr<PreparedFile> prepared,
                                   std::function<void()> whileAwaitingFileAck);
    std::shared_ptr<PreparedFile> prepareFile(qsizetype itemIndex);
    QCoro::Task<void> waitWhilePaused();
    QCoro::Task<void> runVerification();

    // Destination
    QCoro::Task<void> runDestination();
    void prepare(const TransferManifest& manifest);
    QCoro::Task<void> respondToPreFlightConflictRequest(MessageHeader header, QByteArray payload);
    QCoro::Task<void> handleIncomingChunk(MessageHeader header, std::optional<QByteArray> payload, QString receivedHash);
    QCoro::Task<void> handleFileComplete(MessageHeader header);
    QCoro::Task<void> handleCategoryStart(QString categoryID);
    QCoro::Task<void> handleCategoryComplete(QString categoryID);
    QCoro::Task<void> handleVerificationRequest();
    QCoro::Task<void> applyFileMode(QString path, std::uint16_t mode);
    QCoro::Task<void> adaptToAccount(QString categoryID);
    // Null when the conflict policy says no.
    bool admitFirstWrite(qsizetype itemIndex, const QString& destinationPath);
    void recordWritten(qsizetype itemIndex, const QString& destinationPath);
    QString validatedPath(const MessageHeader& header, qsizetype* itemIndex, QString* refusal) const;

    TransferProgress* m_progress;
    DeviceRole m_role;
    QString m_transferID;
    QString m_home;
    TransferConnection* m_connection;
    std::shared_ptr<Clock> m_clock = Clock::system();
    std::optional<TransferManifest> m_manifest;
    std::optional<ResumeState> m_resumeState;
    bool m_isCancelled = false;
    bool m_isPaused = false;
    bool m_peerPaused = false;
    std::uint64_t m_sequenceCounter = 0;
    std::optional<QByteArray> m_sessionKey;
    std::map<QString, std::shared_ptr<CategoryTransferHandler>> m_handlers;
    HandlerFactory m_handlerFactory;
    QHash<QString, QString> m_sourceFileHashes;
    std::optional<UserMapping> m_userMapping;
    std::shared_ptr<AccountPathRewriter> m_rewriter;
    std::shared_ptr<OwnershipCorrector> m_corrector;
    QStringList m_writtenPaths;
    QSet<QString> m_conflictSkippedPaths;
    ConflictPolicy m_conflictPolicy = ConflictPolicy::skip;
    CategoryFinalized m_categoryFinalized;
    std::function<UserMapping(const TransferManifest&)> m_mappingForManifest;
    std::optional<ThrottleBudget> m_throttle;
    std::optional<int> m_capMegabits;
    MDMSafetyChecker m_safety;

    // Destination bookkeeping
    QHash<QString, qsizetype> m_itemIndex;
    QSet<qsizetype> m_itemsWritten;
    QHash<QString, QStringList> m_writtenByCategory;
    std::unique_ptr<ResumeJournal> m_journal;
    std::shared_ptr<DestinationWriter> m_writer;
    std::uint64_t m_bytesDone = 0;
};

} // namespace kivo
