// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/ConflictPolicy.h"
#include "transfer/ConflictResolver.h"
#include "transfer/DestinationWriters.h"
#include "transfer/DurableCompletions.h"
#include "transfer/EarlyReadBack.h"
#include "transfer/FileBundle.h"
#include "transfer/FileHashScheme.h"
#include "transfer/FileHasher.h"
#include "transfer/HardLinkRequest.h"
#include "transfer/ItemsByPath.h"
#include "transfer/MDMSafetyChecker.h"
#include "transfer/RequestWindow.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "transfer/UserMapping.h"
#include "transfer/WirePath.h"
#include "transfer/WrittenFiles.h"

#include <QFuture>
#include <QHash>
#include <QSet>

#include <deque>
#include <exception>

#include <functional>
#include <memory>
#include <vector>

namespace kivo {

class AttributeRefusals;
class PartialFolders;
struct VerificationAnswer;
class DestinationWriter;
class Sha256;

// Gives received files to the destination account (the privileged helper's client implements it).
class OwnershipCorrector {
public:
    virtual ~OwnershipCorrector() = default;
    virtual QCoro::Task<void> correctOwnership(QString homeFolder, QString ownerUsername,
                                               WrittenFiles transferredPaths) = 0;
    // Through the helper; false when it is not available and the engine should do it itself.
    virtual QCoro::Task<bool> setFileMode(QString, std::uint16_t) { co_return false; }
    virtual QCoro::Task<bool> removeFile(QString) { co_return false; }
};

// Adapts a finished category's files to the destination account (the
// post-migration layer implements it). Failures are its own to log.
class AccountAdapter {
public:
    virtual ~AccountAdapter() = default;
    // `writtenFiles`: where each completed item of the category was written,
    // resolved as it is walked: an adapter with nothing to do need not walk it.
    virtual QCoro::Task<void> adaptCategory(QString categoryID, WrittenFiles writtenFiles) = 0;
};

// The receiving side: answers pre-flight questions, accepts the manifest,
// writes chunks beneath the home folder under the conflict policy, keeps the
// checkpoint, finishes each category and verifies on request.
class DestinationTransfer : public TransferEngine {
    Q_OBJECT
public:
    using CategoryFinalized = std::function<QCoro::Task<void>(QString, QList<TransferManifest::FileItem>)>;

    // `transferID` numbers the replies before the manifest; the manifest's id replaces it.
    DestinationTransfer(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent = nullptr);
    ~DestinationTransfer() override;

    DeviceRole role() const override { return DeviceRole::destination; }
    QCoro::Task<void> run() override;

    void setConflictPolicy(ConflictPolicy policy) { m_conflictPolicy = policy; }
    ConflictPolicy conflictPolicy() const { return m_conflictPolicy; }
    void setUserMapping(UserMapping mapping) { m_userMapping = std::move(mapping); }
    const std::optional<UserMapping>& userMapping() const { return m_userMapping; }
    void setOwnershipCorrector(std::shared_ptr<OwnershipCorrector> corrector) { m_corrector = std::move(corrector); }
    void setAccountAdapter(std::shared_ptr<AccountAdapter> adapter) { m_adapter = std::move(adapter); }
    void setCategoryFinalized(CategoryFinalized callback) { m_categoryFinalized = std::move(callback); }
    // The account mapping for a received manifest, asked before any of its
    // paths is resolved (the source names its home in it).
    void setMappingForManifest(std::function<UserMapping(const TransferManifest&)> callback)
    {
        m_mappingForManifest = std::move(callback);
    }
    // Where a "~/" path of a category lands here instead of where the source
    // had it (its folder of the same kind here, its app's folder in the format
    // installed here); the result is checked as any path from the wire is.
    using PathRelocation = std::function<QString(const QString& tildePath, const QString& categoryID)>;
    // The relocation for a received manifest, asked before any of its paths is resolved.
    void setRelocationForManifest(std::function<PathRelocation(const TransferManifest&)> callback)
    {
        m_relocationForManifest = std::move(callback);
    }
    void setSafetyChecker(MDMSafetyChecker checker) { m_safety = std::move(checker); }
    // A written file that adapting changed or moved on purpose: verification
    // answers for it with the hash it arrived with.
    void markAdapted(const QString& destinationPath) { m_adaptedPaths.insert(destinationPath); }
    // Awaited once the manifest is accepted, before anything is written, with the
    // transfer's id and a walk over every file's, link's and folder's destination and category (safe
    // from another thread while this waits); a throw ends the transfer with nothing written.
    using DestinationVisitor = std::function<void(const QString& destination, const QString& categoryID, bool isFolder)>;
    using EachDestination = std::function<void(const DestinationVisitor&)>;
    using BeforeFirstWrite = std::function<QCoro::Task<void>(QString, EachDestination)>;
    void setBeforeFirstWrite(BeforeFirstWrite callback) { m_beforeFirstWrite = std::move(callback); }
    // What manifestAck offers the source; nullopt offers nothing, and the
    // source then keeps one request in flight.
    void setAnnouncedWindow(std::optional<WindowLimits> window) { m_announcedWindow = window; }
    // The file hash scheme taken when the source offers it; none keeps to whole-file hashes.
    void setAcceptedHashScheme(std::optional<FileHashScheme> scheme) { m_acceptedHashScheme = scheme; }
    // What was agreed with the source (known once the manifest is acknowledged).
    FileHashScheme fileHashScheme() const { return m_fileHashScheme; }
    // Whether manifestAck offers to take whole small files several to a frame, when the source offers them; on by default.
    void setAcceptedFileBundles(bool accepted) { m_acceptedBundleBytes = accepted ? FileBundle::kMaxPayload : 0; }
    // What was agreed: true when small files arrive in bundles.
    bool takesFileBundles() const { return m_bundleBytes > 0; }
    // Whether manifestAck offers to take a file's further names as links; on by default.
    void setAnnouncedHardLinks(bool announced) { m_announceHardLinks = announced; }
    // How finished files are made durable before the checkpoint lists them
    // (by default one flush of the home folder's volume per group).
    void setDurableFlush(DurableCompletions::Flush flush, DurableCompletions::Limits limits = {})
    {
        m_durableFlush = std::move(flush);
        m_durableLimits = limits;
    }
    // What the checkpoint has cost so far: its writes and their bytes.
    ResumeJournal::Stats checkpointStats() const { return m_journal ? m_journal->stats() : ResumeJournal::Stats{}; }
    // What making received files durable has cost so far.
    DurableCompletions::Stats durableFlushStats() const
    {
        return m_durable ? m_durable->stats() : DurableCompletions::Stats{};
    }

    // Where a path from the wire is written, or why it is not (see checkWirePath).
    WirePathCheck checkPath(const QString& wirePath) const;
    // Where this run's files were written, in the order they were.
    QStringList writtenPaths() const;
    const QSet<QString>& conflictSkippedPaths() const { return m_conflictSkippedPaths; }
    // Where a file's bytes gather until it is complete and checked: a hidden
    // name beside its final one, the same for every run of the transfer.
    static QString partialPathFor(const QString& destination, const QString& transferID, const QString& relativePath);
    // Free bytes on the home folder's volume; 0 when unknown.
    std::uint64_t availableDiskSpace() const;
    // The bytes of the manifest still to land: what an earlier run's checkpoint
    // already has in place is not asked for again, or a disk that once filled
    // could never take the rest. With `linksTaken`, a file with several names
    // (one link group) lands once: its other names come as links.
    static std::uint64_t bytesStillToCome(const TransferManifest& manifest, const ItemsByPath& index,
                                          const std::optional<ResumeState>& earlier, bool linksTaken);

    // Cancels, closes the connection and deletes every file written. The checkpoint stays.
    QCoro::Task<void> cancelAndCleanup();

private:
    // The item a chunk or fileComplete names, where it goes, or why it is refused.
    struct Target {
        qsizetype itemIndex = -1;
        QString destination;
        QString partial;
        std::optional<PathRefusal> pathRefusal;
        QString refusal; // the nack text; empty when accepted
    };

    // A decoded manifest with the index of its items by path.
    struct ReceivedManifest {
        TransferManifest manifest;
        ItemsByPath itemIndex;
        FileHashScheme hashScheme = FileHashScheme::wholeFile;
    };

    QCoro::Task<void> runDestination();
    // The next frame; what ended the writing of bundles, once it has. Nothing when cancelled while waiting.
    QCoro::Task<std::optional<Message>> nextMessage();
    QCoro::Task<ReceivedManifest> awaitManifest();
    void prepare(TransferManifest manifest, ItemsByPath itemIndex);
    QCoro::Task<void> acceptManifest(ReceivedManifest received);
    QCoro::Task<void> respondToPreFlightConflictRequest(QByteArray payload);

    Target target(const QString& wirePath);
    void logRefusal(const QString& wirePath, std::uint32_t chunkIndex, const Target& target) const;
    QString chunkRefusal(const MessageHeader& header, const QByteArray& payload, Target* target);
    // The highest chunk a file may take now: one past any it has seen.
    std::uint32_t chunkFrontier(qsizetype itemIndex) const;
    void failRefusedItem(const Target& target);
    // Files of the manifest the source never sent before it said it was done:
    // each is a failure, listed up to a bound. Returns how many there were.
    qsizetype failNeverReceived();
    // A finished transfer leaves no partial copy behind: an earlier run may have
    // begun a file this one skipped or failed. Only names of this transfer's own go.
    void sweepPartials();
    std::shared_ptr<Sha256> trackIncoming(const Target& t, std::uint32_t chunkIndex, qsizetype size,
                                          const QString& chunkHash);
    QCoro::Task<void> handleIncomingChunk(MessageHeader header, std::optional<QByteArray> payload);
    QCoro::Task<void> followIncomingHash(qsizetype item, std::uint32_t chunkIndex, std::shared_ptr<Sha256> running,
                                         QByteArray data, QString expected, bool stored, bool write);
    bool shouldWrite(const Target& target);
    // False when the conflict policy keeps the file already there. The conflict
    // is recorded at fileComplete, unless the file there turns out to be this one.
    bool admitFirstWrite(qsizetype itemIndex, const QString& destinationPath);
    void recordConflict(const TransferManifest::FileItem& item, const ConflictDecision& decision);
    QCoro::Task<bool> holdsContent(QString path, QString sha256);
    void recordChunk(const Target& target, std::uint32_t chunkIndex, std::uint64_t size, bool written);
    // A chunk was rejected: the file waits for its resend before it can finish.
    void noteMissing(qsizetype itemIndex, std::uint32_t chunkIndex);
    void recordWritten(qsizetype itemIndex);
    QCoro::Task<void> handleFileComplete(MessageHeader header);
    // The reply to the chunk or completion being handled: sent, or kept when a bundle gathers them.
    // `now`: sent at once rather than queued.
    QCoro::Task<void> answer(MessageHeader reply, bool now = false);
    // Many whole small files in one frame (DestinationTransferBundles.cpp).
    QCoro::Task<void> handleFileBundle(Message message);
    // One file of a bundle as its chunk; the failure its reply gives, if any.
    QCoro::Task<std::optional<BundleFailure>> receiveBundledChunk(const FileBundle::Entry& entry, QByteArray bytes);
    QCoro::Task<std::optional<BundleFailure>> completeBundledFile(const FileBundle::Entry& entry);
    // A bundled file let in by the policies, as its chunk would be, before anything of the bundle is written.
    void admitBundled(const FileBundle::Entry& entry, const QByteArray& payload);
    // The partial copy of a bundled file that met a full disk goes, with its record.
    void dropPartial(const QString& path);
    // Bundles handed to the writer threads, settled and answered in the order
    // they came (DestinationTransferWriting.cpp).
    struct PendingBundle {
        QByteArray payload;
        QList<FileBundle::Entry> entries;
        // By entry: whether a writer thread places it, where, and how that went.
        struct File {
            bool onWriters = false;
            Target target;
            WholeFileOutcome outcome;
        };
        std::vector<File> files;
        std::shared_ptr<WorkCountdown> placed;
        // Reserved bytes no writer's job gives back: those of the files settled here.
        std::uint64_t unposted = 0;
        // False when a file of it waited for an earlier bundle before being let in.
        bool admittedAll = true;
    };
    // Whether a bundled file goes to a writer thread whole: one the policies let
    // in, with nothing about it (a conflict, a resend, an earlier copy still
    // being settled) that needs the connection's own steps.
    bool placesOnWriters(const FileBundle::Entry& entry, const QByteArray& payload, Target* t);
    void postToWriters(const std::shared_ptr<PendingBundle>& bundle, qsizetype entry, const Target& t);
    void startSettling();
    QCoro::Task<void> settleBundles();
    // After a failure (`ending`) nothing more is answered: what landed is recorded, the rest is left to a resume.
    QCoro::Task<void> settleBundle(PendingBundle& bundle, bool ending);
    // A file a writer thread placed, as its chunkData and fileComplete would have gone.
    std::optional<BundleFailure> settlePlaced(const FileBundle::Entry& entry, const Target& t,
                                              const WholeFileOutcome& out, bool ending);
    void settleCompletion(const Target& t, const FileBundle::Entry& entry, const WholeFileOutcome& out);
    // Until every bundle handed to the writers is settled and answered.
    QCoro::Task<void> awaitWriting();
    // A fileComplete naming another item whose file this one is (DestinationTransferLinks.cpp).
    QCoro::Task<void> handleLinkComplete(MessageHeader header);
    HardLinkRequest linkRequest(qsizetype itemIndex, const QString& targetPath, const std::optional<QString>& hash) const;
    // Gives the file at `targetDestination` the item's name: the failure text,
    // nullopt when placed (or kept by the conflict policy); `refused` when links cannot be made there.
    QCoro::Task<std::optional<QString>> placeLink(Target target, QString targetDestination, Sha256Digest content,
                                                  bool* refused);
    // Checks the received file against the source's whole-file hash and moves
    // it into place; the failure text, or nullopt (also when a conflict kept the file there).
    QCoro::Task<std::optional<QString>> finishFile(Target target, std::optional<QString> expectedHash);
    void noteRejectedChunk(const Target& t, std::uint32_t chunkIndex, bool write);
    // `sourceTold`: the source learns of the failure from the reply, so verification leaves the file out.
    void abandonFile(const Target& t, const QString& path, const QString& categoryID, const QString& failure,
                     bool sourceTold = false);
    // After a failed write (`error`): the file fails now, for a link or a file on its folder
    // path when one caused it, else for the error. Returns the reason, for the source too.
    QString failUnwritable(const Target& t, const QString& error);
    // `landed`: the file as a writer thread found it under its name, when one placed it.
    void recordFinishedFile(const Target& t, const QString& path, const QString& categoryID,
                            const std::optional<fs::FileStatus>* landed = nullptr);
    // Files of the checkpoint that cannot continue where it says start again.
    void reopenChangedFiles();
    // Files an interrupted run put in place but had not yet seen on disk:
    // after a flush, those whose content still matches count as received.
    QCoro::Task<void> confirmPlacedFiles();
    // Files an earlier run finished that are no longer what it left (removed,
    // rewritten, replaced) are received again.
    QCoro::Task<void> reopenDamagedFiles();
    // The checkpoint notes what the file in place holds, for a later run to compare.
    void recordContent(qsizetype itemIndex, const QString& destination);
    // Files adapting changed on purpose: what they hold now is what a later run expects.
    QCoro::Task<void> recordAdaptedContent(QString categoryID);
    // Files verification found changed since kivo wrote them: failed now, received again by a later run.
    void reopenDamaged(const QList<qsizetype>& items);
    DurableCompletions::Flush durableFlush() const;
    // The checkpoint this transfer continues or starts; true when one was stored.
    bool openCheckpoint(const TransferManifest& manifest, std::optional<ResumeState> stored);
    void takeEarlierRun(FileHashScheme recordedScheme);
    MessageHeader manifestAckHeader();
    // "disk_full" with the free bytes there were, and what was lacked room for when known.
    MessageHeader diskFullError(std::uint64_t available, std::optional<std::uint64_t> needed = std::nullopt);
    // After telling the source why the transfer ends: reads on until it hangs up, for a few
    // seconds at most. Closing with its frames unread would reset the connection, and the
    // reset takes the message with it before the source reads it.
    QCoro::Task<void> letTheSourceRead();
    // runDestination, with a failure on a volume that has filled told to the source as that.
    QCoro::Task<void> runAndSayWhy();
    void handleFileSkip(const MessageHeader& header);
    // The fileSkip answering a chunk or completion of an item its handler refused.
    std::optional<MessageHeader> handlerSkipFor(const QString& path);
    QCoro::Task<void> applyFileMode(QString path, std::uint16_t mode);
    QCoro::Task<void> handleCategoryStart(QString categoryID);
    QCoro::Task<void> handleCategoryComplete(QString categoryID);
    QCoro::Task<void> handleVerificationRequest(MessageHeader request);
    // `remainingAfter`: answers that follow these in later calls.
    QCoro::Task<void> sendInBatches(QList<VerificationAnswer> answers, qsizetype remainingAfter);
    QCoro::Task<void> finishTransfer();
    // The handler's postImport, given the category's files this run wrote when it takes them.
    QCoro::Task<void> importCategory(CategoryTransferHandler& handler, QString categoryID);
    DestinationResolver resolver() const;
    void endWithSourceError(const MessageHeader& header);

    // What a file carries besides its bytes, and the manifest's folders and links.
    QString heldPath(const QString& wirePath) const;
    void applyFileMetadata(const QString& path, qsizetype itemIndex);
    QCoro::Task<void> placeTreeEntries();
    QCoro::Task<QStringList> makeEntryFolders();
    QList<TransferManifest::Entry> relocatedEntries() const;
    std::shared_ptr<AttributeRefusals> m_attributeRefusals;

    ConflictPolicy m_conflictPolicy = ConflictPolicy::skip;
    std::optional<UserMapping> m_userMapping;
    std::shared_ptr<OwnershipCorrector> m_corrector;
    std::shared_ptr<AccountAdapter> m_adapter;
    CategoryFinalized m_categoryFinalized;
    std::function<UserMapping(const TransferManifest&)> m_mappingForManifest;
    std::function<PathRelocation(const TransferManifest&)> m_relocationForManifest;
    BeforeFirstWrite m_beforeFirstWrite;
    PathRelocation m_relocation;
    MDMSafetyChecker m_safety;

    ItemsByPath m_itemIndex;
    // The item with this path, or -1.
    qsizetype indexOf(const QString& path) const { return m_manifest ? m_itemIndex.find(m_manifest->items, path) : -1; }
    // The path check of the file whose chunks are arriving: once per file, not per chunk.
    qsizetype m_checkedItem = -1;
    WirePathCheck m_checked;
    QString m_checkedPartial;
    // The file whose chunks are arriving, with the hash of its chunks so far
    // while they come in order from the first.
    struct Incoming {
        qsizetype itemIndex = -1;
        std::uint32_t nextChunk = 0;
        std::shared_ptr<Sha256> hash;
        // The last chunk's update of `hash`, left running while its ack travels.
        QFuture<void> hashing;
        // A file of one chunk: that chunk's checked hash is the file's.
        QString wholeHash;
        // Under the chunk-digest scheme, in place of `hash`: fed each checked chunk hash.
        std::shared_ptr<ChunkDigestHash> chunkDigests;
    };
    Incoming m_incoming;
    // What this run knows of each item, a byte apiece (sets of indices cost
    // tens of bytes per file): whether its chunks may be written (conflict
    // decided), whether its final name was free then, whether it was moved into place.
    enum class ItemFlag : std::uint8_t { admitted = 1, freshTarget = 2, written = 4 };
    bool has(qsizetype item, ItemFlag flag) const { return m_itemFlags[std::size_t(item)] & std::uint8_t(flag); }
    void set(qsizetype item, ItemFlag flag, bool on = true)
    {
        auto& bits = m_itemFlags[std::size_t(item)];
        bits = on ? std::uint8_t(bits | std::uint8_t(flag)) : std::uint8_t(bits & ~std::uint8_t(flag));
    }
    std::vector<std::uint8_t> m_itemFlags;
    // By item: the whole-file hash each file moved into place in this run was checked against.
    QList<std::optional<Sha256Digest>> m_checkedHashes;
    // Conflicts decided but not yet recorded.
    QHash<qsizetype, ConflictDecision> m_pendingConflicts;
    // The source has been sent the reason this transfer fails.
    bool m_toldSourceWhy = false;
    bool m_awaitingMessage = false;
    // Files whose fileComplete did not hold up: verification reports them to the source.
    QList<qsizetype> m_failedAtCompletion;
    // Items this run wrote, in order, and those earlier runs of this transfer
    // wrote: indices, since a path per file would cost more than the file's record.
    QList<qsizetype> m_writtenItems;
    QList<qsizetype> m_writtenEarlierItems;
    // Items the category's handler said must not be written here, with the reason:
    // their first chunk (or an empty file's completion) is answered with fileSkip.
    QHash<qsizetype, QString> m_handlerRefusals;
    // Items whose file the category's handler took in and removed (an imported
    // export): verified by the hash they were checked against on arrival.
    QSet<qsizetype> m_consumedByHandler;
    QSet<QString> m_conflictSkippedPaths;
    // By item, for files an earlier run wrote: the hash they held when it left them.
    QHash<qsizetype, SchemedDigest> m_recordedEarlier;
    // Files verification found changed since they were written: the checkpoint
    // stays, so that a later run receives them again.
    qsizetype m_damagedAtVerification = 0;
    QSet<QString> m_adaptedPaths;
    // Files with rejected chunks not yet received again. The chunks after a
    // rejected one are written at their offsets meanwhile; the checkpoint
    // names only the prefix without holes.
    struct Gap {
        QSet<std::uint32_t> missing;
        std::optional<std::uint32_t> highestStored;
    };
    QHash<qsizetype, Gap> m_gaps;
    // By unfinished item: one past the highest chunk seen in this run, stored
    // or not; for the file an earlier run left unfinished, where it stopped.
    QHash<qsizetype, std::uint32_t> m_chunkFrontiers;
    std::optional<WindowLimits> m_announcedWindow = WindowLimits::ours();
    std::optional<FileHashScheme> m_acceptedHashScheme = FileHashScheme::chunkDigests;
    FileHashScheme m_fileHashScheme = FileHashScheme::wholeFile;
    bool m_announceHardLinks = true;
    std::uint32_t m_acceptedBundleBytes = FileBundle::kMaxPayload;
    std::uint32_t m_bundleBytes = 0;
    // While a bundle is handled: the replies its files' steps give, and whether
    // the checkpoint was already written once for all of them.
    QList<MessageHeader>* m_bundleReplies = nullptr;
    bool m_bundleRecorded = false;
    DurableCompletions::Flush m_durableFlush;
    DurableCompletions::Limits m_durableLimits;
    std::unique_ptr<DurableCompletions> m_durable;
    std::unique_ptr<ResumeJournal> m_journal;
    std::unique_ptr<PartialFolders> m_partialFolders;
    std::shared_ptr<DestinationWriter> m_writer;
    std::deque<std::shared_ptr<PendingBundle>> m_pendingBundles;
    // By item: how many of its files sit in bundles not yet settled.
    QHash<qsizetype, int> m_unsettled;
    bool m_settling = false;
    QFuture<void> m_settled;
    std::exception_ptr m_writingFailure;
    // While a bundle's files are let in: their begin is recorded with the bundle's.
    bool m_admittingBundle = false;
    // Its jobs hold only what they were given, never the engine.
    std::unique_ptr<DestinationWriters> m_writers;
    // Reads bundled files back while the transfer goes on; stopped when verification starts.
    std::shared_ptr<EarlyReadBack> m_readBack;
    std::uint64_t m_bytesDone = 0;
};

} // namespace kivo
