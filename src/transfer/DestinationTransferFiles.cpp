// SPDX-License-Identifier: Apache-2.0
// The destination's files: where each one goes, its chunks, and how it is
// finished, skipped or refused.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/ConflictResolver.h"
#include "transfer/PartialFolders.h"
#include "transfer/FileHasher.h"
#include "transfer/SparseChunks.h"
#include "transfer/TransferError.h"

namespace kivo {

namespace {

// Chunks up to this size are hashed and written on the calling thread.
constexpr qsizetype kInlineChunkBytes = 65536;

// What hashing and writing one chunk came to.
struct ChunkOutcome {
    bool hashMatches = true;
    bool diskFull = false;
    std::uint64_t available = 0;
    QString writeError;
};

// `actual` is the payload's hash when the receiver already computed it.
ChunkOutcome hashAndWrite(DestinationWriter& writer, const QByteArray& data, const QString& actual,
                          const QString& expected, const QString& destination, std::int64_t offset, bool write,
                          bool truncate, bool sparse)
{
    ChunkOutcome out;
    if ((actual.isEmpty() ? FileHasher::sha256Hex(data) : actual) != expected) {
        out.hashMatches = false;
        return out;
    }
    if (!write)
        return out;
    out.available = writer.freeSpace(std::uint64_t(data.size()));
    if (out.available < std::uint64_t(data.size())) {
        out.diskFull = true;
        return out;
    }
    try {
        // Chunk 0 starts the file afresh (unless it is the resend of a rejected
        // one, after which later chunks already landed); others land at their offsets.
        writer.write(destination, offset, data, truncate, sparse);
    } catch (const WriteFailure& e) {
        if (e.isDiskFull())
            out.diskFull = true;
        else
            out.writeError = e.description();
    }
    return out;
}

// Small chunks are hashed and written here: they cost less than the two thread
// switches a pool job would add to every round trip. Larger ones go to the pool.
QCoro::Task<ChunkOutcome> hashAndWriteChunk(std::shared_ptr<DestinationWriter> writer, QByteArray data, QString actual,
                                            QString expected, QString destination, std::int64_t offset, bool write,
                                            bool truncate, bool sparse)
{
    if (data.size() <= kInlineChunkBytes)
        co_return hashAndWrite(*writer, data, actual, expected, destination, offset, write, truncate, sparse);
    // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
    auto pending = startInBackground([writer, data, actual, expected, destination, offset, write, truncate, sparse] {
        return hashAndWrite(*writer, data, actual, expected, destination, offset, write, truncate, sparse);
    });
    co_return co_await finishInBackground(std::move(pending));
}

} // namespace

DestinationTransfer::Target DestinationTransfer::target(const QString& wirePath)
{
    Target t;
    t.itemIndex = indexOf(wirePath);
    if (t.itemIndex < 0) {
        t.pathRefusal = checkPath(wirePath).refusal;
        t.refusal = t.pathRefusal ? toString(*t.pathRefusal) : QStringLiteral("Unknown file");
        return t;
    }
    if (m_checkedItem != t.itemIndex) {
        m_checked = checkPath(wirePath);
        m_checkedItem = t.itemIndex;
        m_checkedPartial = m_checked.refusal ? QString() : partialPathFor(m_checked.destination, m_transferID, wirePath);
    }
    t.destination = m_checked.destination;
    t.partial = m_checkedPartial;
    t.pathRefusal = m_checked.refusal;
    if (t.pathRefusal)
        t.refusal = toString(*t.pathRefusal);
    return t;
}

void DestinationTransfer::logRefusal(const QString& wirePath, std::uint32_t chunkIndex, const Target& target) const
{
    const QByteArray path = forLog(wirePath);
    if (target.pathRefusal == PathRefusal::protectedPath)
        qCCritical(lcTransferEngine, "Blocked write to protected path: %s", path.constData());
    else if (target.pathRefusal == PathRefusal::outsideHome)
        qCCritical(lcTransferEngine, "Write outside home folder: %s", path.constData());
    else
        qCWarning(lcTransferEngine, "Refused chunk %u of %s: %s", chunkIndex, path.constData(),
                  qUtf8Printable(target.refusal));
}

// Why a chunk must not be written, or empty; fills in its target.
QString DestinationTransfer::chunkRefusal(const MessageHeader& header, const QByteArray& payload, Target* out)
{
    *out = target(header.filePath.value_or(QString()));
    if (!out->refusal.isEmpty())
        return out->refusal;
    if (!header.chunkIndex)
        return QStringLiteral("Missing chunk index");
    const std::uint64_t end = std::uint64_t(*header.chunkIndex) * FileHasher::kChunkSize + std::uint64_t(payload.size());
    if (payload.size() > FileHasher::kChunkSize || end > m_manifest->items[out->itemIndex].size)
        return QStringLiteral("Chunk beyond end of file");
    if (m_manifest->items[out->itemIndex].transferStatus != FileTransferStatus::pending)
        return QStringLiteral("File already finished");
    // Chunks come in order, resends of rejected ones aside: one far ahead would
    // leave a sparse file of the announced size behind if the session ended now.
    if (*header.chunkIndex > chunkFrontier(out->itemIndex))
        return QStringLiteral("Chunk out of order");
    return {};
}

std::uint32_t DestinationTransfer::chunkFrontier(qsizetype itemIndex) const
{
    // A file not seen yet in this run starts from its first chunk, or where the checkpoint said it stopped.
    return m_chunkFrontiers.value(itemIndex, 0);
}

// Follows the file whose chunks are arriving. Chunk 0 starts it afresh; any
// other first chunk continues bytes an earlier run wrote, which are read back
// once at the end. The running hash to feed, or null.
std::shared_ptr<Sha256> DestinationTransfer::trackIncoming(const Target& t, std::uint32_t chunkIndex, qsizetype size,
                                                           const QString& chunkHash)
{
    const std::uint64_t fileSize = m_manifest->items[t.itemIndex].size;
    if (chunkIndex == 0 && std::uint64_t(size) == fileSize)
        m_incoming = {t.itemIndex, 0, nullptr, {}, chunkHash, nullptr};
    else if (chunkIndex == 0 && m_fileHashScheme == FileHashScheme::chunkDigests)
        m_incoming = {t.itemIndex, 0, nullptr, {}, {}, std::make_shared<ChunkDigestHash>(fileSize)};
    else if (chunkIndex == 0)
        m_incoming = {t.itemIndex, 0, std::make_shared<Sha256>(), {}, {}, nullptr};
    else if (m_incoming.itemIndex != t.itemIndex)
        m_incoming = {t.itemIndex, chunkIndex, nullptr, {}, {}, nullptr};
    if (chunkIndex != m_incoming.nextChunk)
        m_incoming.chunkDigests.reset(); // a repeat or a gap, as below
    if (m_incoming.hash && chunkIndex == m_incoming.nextChunk)
        return m_incoming.hash;
    m_incoming.hash.reset(); // a repeat or a gap: the running hash no longer covers the file
    return nullptr;
}

// A rejected chunk is awaited again; a rejected first chunk still starts the
// file afresh, so the chunks after it land in a clean file.
void DestinationTransfer::noteRejectedChunk(const Target& t, std::uint32_t chunkIndex, bool write)
{
    if (chunkIndex == 0 && write && !m_gaps.contains(t.itemIndex)) {
        try {
            m_writer->write(t.partial, 0, {}, true);
        } catch (const WriteFailure&) {
            // Its resend tries again.
        }
    }
    noteMissing(t.itemIndex, chunkIndex);
}

QCoro::Task<void> DestinationTransfer::handleIncomingChunk(MessageHeader header, std::optional<QByteArray> payload)
{
    const QString path = header.filePath.value_or(QString());
    const std::uint32_t chunkIndex = header.chunkIndex.value_or(0);
    auto reply = [&](MessageType type, std::optional<QString> reason) {
        MessageHeader r = makeHeader(type);
        r.filePath = path;
        r.chunkIndex = chunkIndex;
        r.errorMessage = std::move(reason);
        return r;
    };
    // A chunk in a hole of a sparse file comes as its size alone; it reads as zeros.
    const bool hole = !payload && header.holeSize && *header.holeSize <= FileHasher::kChunkSize;
    // The payload's hash where it is already known; otherwise hashAndWriteChunk hashes it with the write.
    QString knownHash;
    if (hole) {
        payload = zeroBytes(*header.holeSize);
        knownHash = zeroBytesHash(*header.holeSize);
    }
    if (!payload) {
        // Only a chunk the file has is awaited again.
        if (const qsizetype i = indexOf(path);
            i >= 0 && header.chunkIndex && std::uint64_t(chunkIndex) * FileHasher::kChunkSize < m_manifest->items[i].size)
            noteMissing(i, chunkIndex);
        co_await answer(reply(MessageType::chunkNack, QStringLiteral("Missing chunk data")));
        co_return;
    }
    if (std::optional<MessageHeader> skip = handlerSkipFor(path)) {
        co_await answer(std::move(*skip));
        co_return;
    }
    Target t;
    if (const QString refusal = chunkRefusal(header, *payload, &t); !refusal.isEmpty()) {
        t.refusal = refusal;
        logRefusal(path, chunkIndex, t);
        failRefusedItem(t);
        co_await answer(reply(MessageType::chunkNack, refusal));
        co_return;
    }
    m_chunkFrontiers.insert(t.itemIndex, std::max(chunkFrontier(t.itemIndex), chunkIndex + 1));
    const bool write = shouldWrite(t);
    const QString expected = header.chunkHash.value_or(QString());
    const std::shared_ptr<Sha256> running = write ? trackIncoming(t, chunkIndex, payload->size(), expected) : nullptr;
    const std::int64_t offset = std::int64_t(chunkIndex) * FileHasher::kChunkSize;
    const bool sparse = hole || m_manifest->items[t.itemIndex].sparse;
    const bool truncate = offset == 0 && !m_gaps.contains(t.itemIndex);
    const ChunkOutcome outcome = co_await hashAndWriteChunk(m_writer, *payload, knownHash, expected, t.partial,
                                                            offset, write, truncate, sparse);
    const bool stored = outcome.hashMatches && !outcome.diskFull && outcome.writeError.isEmpty();
    co_await followIncomingHash(t.itemIndex, chunkIndex, running, *payload, expected, stored, write);
    if (!outcome.hashMatches)
        noteRejectedChunk(t, chunkIndex, write);
    if (!outcome.hashMatches) {
        co_await answer(reply(MessageType::chunkNack, QStringLiteral("Hash mismatch")));
    } else if (outcome.diskFull) {
        co_await answer(diskFullError(outcome.available), true);
        throw TransferError::insufficientDiskSpace(std::uint64_t(payload->size()), outcome.available);
    } else if (!outcome.writeError.isEmpty()) {
        qCCritical(lcTransferEngine, "Write failed: %s", qUtf8Printable(outcome.writeError));
        MessageHeader failed = reply(MessageType::chunkNack, failUnwritable(t, outcome.writeError));
        failed.errorCode = QString::fromLatin1(RequestWindow::kFileFailed);
        co_await answer(std::move(failed));
    } else {
        recordChunk(t, chunkIndex, std::uint64_t(payload->size()), write);
        co_await answer(reply(MessageType::chunkAck, std::nullopt));
    }
}

// The file's running hash after one of its chunks was stored, or not.
QCoro::Task<void> DestinationTransfer::followIncomingHash(qsizetype item, std::uint32_t chunkIndex,
                                                         std::shared_ptr<Sha256> running, QByteArray data,
                                                         QString expected, bool stored, bool write)
{
    if (running && stored) {
        // The whole-file hash takes this chunk while its ack travels; at most one
        // update is pending, so no more than one chunk waits in memory for it.
        if (!m_incoming.hashing.isFinished())
            co_await QFuture<void>(m_incoming.hashing);
        m_incoming.hashing = QtConcurrent::run([running, data = std::move(data)] { running->update(data); });
    }
    // Under the chunk-digest scheme the file's hash takes the chunk's checked hash, nothing more.
    const bool digested = m_incoming.chunkDigests && m_incoming.itemIndex == item && stored && write
                          && chunkIndex == m_incoming.nextChunk && m_incoming.chunkDigests->addHex(expected);
    if ((running || digested || !m_incoming.wholeHash.isEmpty()) && stored && m_incoming.itemIndex == item)
        m_incoming.nextChunk = chunkIndex + 1;
    if (!stored && m_incoming.itemIndex == item)
        m_incoming.wholeHash.clear();
}

// Whether this chunk's bytes go to disk: not for a file the conflict policy kept.
bool DestinationTransfer::shouldWrite(const Target& t)
{
    const QString& path = m_manifest->items[t.itemIndex].relativePath;
    if (m_conflictSkippedPaths.contains(path))
        return false;
    if (has(t.itemIndex, ItemFlag::admitted))
        return true;
    if (!admitFirstWrite(t.itemIndex, t.destination))
        return false;
    const auto& item = m_manifest->items[t.itemIndex];
    set(t.itemIndex, ItemFlag::admitted);
    if (m_bundleReplies || m_admittingBundle)
        m_journal->bundledFileStarted(path, {item.size, item.sourceModified}, m_clock->now());
    else
        m_journal->fileStarted(path, {item.size, item.sourceModified}, m_clock->now());
    // Listed before the copy exists: discarding the transfer finds it whatever happens next.
    try {
        m_partialFolders->note(t.partial.left(t.partial.lastIndexOf(u'/')));
    } catch (const SystemError& e) {
        // The transfer itself still sweeps it when it finishes; a full disk is the write's to report.
        qCWarning(lcTransferEngine).noquote() << "Could not list the folder of a partial copy:" << e.description();
    }
    return true;
}

bool DestinationTransfer::admitFirstWrite(qsizetype itemIndex, const QString& destinationPath)
{
    const auto& item = m_manifest->items[itemIndex];
    // Partial content left by an earlier run of this transfer is ours to continue.
    if (m_journal->wasStarted(item.relativePath))
        return true;
    const ConflictDecision decision = ConflictResolver::resolve(destinationPath, item.sourceModified, m_conflictPolicy,
                                                                item.sourceModifiedNanoseconds);
    if (decision.reason.isEmpty()) {
        set(itemIndex, ItemFlag::freshTarget);
        return true;
    }
    m_pendingConflicts.insert(itemIndex, decision);
    if (!decision.write)
        m_conflictSkippedPaths.insert(item.relativePath);
    return decision.write;
}

void DestinationTransfer::recordConflict(const TransferManifest::FileItem& item, const ConflictDecision& decision)
{
    qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(item.relativePath), qUtf8Printable(decision.reason));
    m_progress->addConflictOutcome({QUuid::createUuid(), item.relativePath,
                                    decision.write ? QStringLiteral("overwritten") : QStringLiteral("skipped"),
                                    m_clock->now()});
}

QCoro::Task<bool> DestinationTransfer::holdsContent(QString path, QString sha256)
{
    // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
    auto hashing = startInBackground([writer = m_writer, path, scheme = m_fileHashScheme] {
        return FileHasher::hashOfDescriptor(writer->openForReading(path), scheme, path);
    });
    try {
        co_return co_await finishInBackground(std::move(hashing)) == sha256;
    } catch (const std::exception&) {
        co_return false;
    }
}

void DestinationTransfer::noteMissing(qsizetype itemIndex, std::uint32_t chunkIndex)
{
    m_gaps[itemIndex].missing.insert(chunkIndex);
}

void DestinationTransfer::recordChunk(const Target& t, std::uint32_t chunkIndex, std::uint64_t size, bool written)
{
    const auto& item = m_manifest->items[t.itemIndex];
    std::optional<std::uint32_t> prefixEnd = chunkIndex;
    if (const auto gap = m_gaps.find(t.itemIndex); gap != m_gaps.end()) {
        gap->missing.remove(chunkIndex);
        gap->highestStored = std::max(gap->highestStored.value_or(chunkIndex), chunkIndex);
        prefixEnd.reset();
        if (gap->missing.isEmpty()) {
            // The hole is filled: everything up to the highest chunk stored is there.
            prefixEnd = *gap->highestStored;
            m_gaps.erase(gap);
        }
    }
    if (written && prefixEnd && m_bundleReplies) {
        m_journal->bytesReceived(size); // a bundled file is begun and landed whole; nothing between
    } else if (written && prefixEnd) {
        const std::uint64_t prefixBytes =
            std::min<std::uint64_t>(item.size, (std::uint64_t(*prefixEnd) + 1) * FileHasher::kChunkSize);
        m_journal->chunkWritten(item.relativePath, item.categoryID, *prefixEnd, prefixBytes, size, m_clock->now());
    }
    m_bytesDone += size;
    TransferProgress::Batch batch(m_progress);
    const QString& path = item.relativePath;
    m_progress->setCurrentFile(path.mid(path.lastIndexOf(u'/') + 1));
    m_progress->setCurrentFilePath(path);
    m_progress->setCurrentFileIndex(t.itemIndex);
    m_progress->recordProgress(m_bytesDone);
    m_progress->updateCategory(item.categoryID, [size](CategoryProgress& p) { p.bytesTransferred += size; });
}

void DestinationTransfer::recordWritten(qsizetype itemIndex)
{
    if (has(itemIndex, ItemFlag::written))
        return;
    set(itemIndex, ItemFlag::written);
    m_writtenItems.append(itemIndex);
}

std::optional<MessageHeader> DestinationTransfer::handlerSkipFor(const QString& path)
{
    if (m_handlerRefusals.isEmpty())
        return std::nullopt;
    const auto refusal = m_handlerRefusals.constFind(indexOf(path));
    if (refusal == m_handlerRefusals.cend())
        return std::nullopt;
    // Recorded as a file error when the category started; nothing of it is written.
    if (m_manifest->items[refusal.key()].transferStatus == FileTransferStatus::pending)
        m_manifest->markFileSkipped(refusal.key());
    MessageHeader skip = makeHeader(MessageType::fileSkip);
    skip.filePath = path;
    skip.errorMessage = *refusal;
    return skip;
}

QCoro::Task<void> DestinationTransfer::handleFileComplete(MessageHeader header)
{
    if (header.linkTarget) {
        co_await handleLinkComplete(std::move(header));
        co_return;
    }
    const QString path = header.filePath.value_or(QString());
    if (std::optional<MessageHeader> skip = handlerSkipFor(path)) {
        co_await answer(std::move(*skip));
        co_return;
    }
    const Target t = target(path);
    if (!t.refusal.isEmpty()) {
        qCWarning(lcTransferEngine, "fileComplete for %s refused: %s", forLog(path).constData(),
                  qUtf8Printable(t.refusal));
        failRefusedItem(t);
        co_await answer(makeHeader(MessageType::fileAck));
        co_return;
    }
    const auto item = m_manifest->items[t.itemIndex];
    // A repeated fileComplete changes nothing.
    if (item.transferStatus != FileTransferStatus::pending) {
        MessageHeader ack = makeHeader(MessageType::fileAck);
        ack.filePath = path;
        co_await answer(std::move(ack));
        co_return;
    }
    // A chunk of it was rejected and its resend is still on the way: another
    // fileComplete follows that resend, and this one finishes nothing.
    if (m_gaps.contains(t.itemIndex)) {
        MessageHeader ack = makeHeader(MessageType::fileAck);
        ack.filePath = path;
        ack.errorCode = QString::fromLatin1(RequestWindow::kChunksPending);
        ack.errorMessage = QStringLiteral("Chunks still missing");
        co_await answer(std::move(ack));
        co_return;
    }
    std::optional<QString> failure;
    // An empty file has no chunk to create it, so the conflict policy is asked here.
    if (item.size == 0 && !m_conflictSkippedPaths.contains(path))
        shouldWrite(t);
    bool alreadyThere = false;
    if (const auto pending = m_pendingConflicts.constFind(t.itemIndex); pending != m_pendingConflicts.cend()) {
        const ConflictDecision decision = *pending;
        m_pendingConflicts.erase(pending);
        // The same file already in place (an earlier run of this migration put it
        // there) is no conflict: kept as it is, it counts as received.
        if (header.chunkHash && co_await holdsContent(t.destination, *header.chunkHash)) {
            alreadyThere = !decision.write;
            m_conflictSkippedPaths.remove(path);
        } else {
            recordConflict(item, decision);
        }
    }
    if (!m_conflictSkippedPaths.contains(path) && !alreadyThere)
        failure = co_await finishFile(t, header.chunkHash);
    m_incoming = {};
    m_chunkFrontiers.remove(t.itemIndex);
    if (failure)
        abandonFile(t, path, item.categoryID, *failure);
    else
        recordFinishedFile(t, item.relativePath, item.categoryID); // the manifest's string, shared by the checkpoint
    m_writer->closeCurrent();
    MessageHeader ack = makeHeader(MessageType::fileAck);
    ack.filePath = path;
    co_await answer(std::move(ack));
}

// A file in place (or kept by the conflict policy): counted, and recorded in the checkpoint.
void DestinationTransfer::recordFinishedFile(const Target& t, const QString& path, const QString& categoryID,
                                             const std::optional<fs::FileStatus>* landed)
{
    if (m_conflictSkippedPaths.contains(path)) {
        m_manifest->markFileSkipped(t.itemIndex);
    } else {
        m_manifest->markFileCompleted(t.itemIndex);
        TransferProgress::Batch batch(m_progress);
        m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
        m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.filesCompleted += 1; });
    }
    if (has(t.itemIndex, ItemFlag::written) && m_checkedHashes[t.itemIndex]) {
        // Listed in the checkpoint with its group, once on disk; until then
        // a later run confirms it by its hash.
        if (m_bundleReplies) {
            const std::optional<fs::FileStatus> status =
                landed ? *landed : fs::status(t.destination, fs::Links::dontFollow);
            m_journal->bundledFileLanded(path, m_checkedHashes[t.itemIndex]->toHex(),
                                         status && status->isRegular()
                                             ? std::optional(CompletedContent::of(*m_checkedHashes[t.itemIndex], *status))
                                             : std::nullopt,
                                         m_clock->now());
        } else {
            recordContent(t.itemIndex, t.destination);
            m_journal->fileInPlace(path, m_checkedHashes[t.itemIndex]->toHex(), m_clock->now());
        }
        m_durable->fileFinished(path);
    } else {
        m_journal->fileCompleted(path, m_clock->now());
    }
}

QCoro::Task<std::optional<QString>> DestinationTransfer::finishFile(Target t, std::optional<QString> expectedHash)
{
    const auto& item = m_manifest->items[t.itemIndex];
    if (!expectedHash)
        co_return QStringLiteral("No file hash from the source");
    QString actual;
    if (item.size == 0) {
        try {
            m_writer->write(t.partial, 0, {}, true);
        } catch (const WriteFailure& e) {
            co_return e.description();
        }
        actual = FileHasher::sha256Hex({});
    } else if (m_incoming.itemIndex == t.itemIndex && !m_incoming.wholeHash.isEmpty() && m_incoming.nextChunk == 1) {
        actual = m_incoming.wholeHash;
    } else if (m_incoming.itemIndex == t.itemIndex && m_incoming.hash
               && std::uint64_t(m_incoming.nextChunk) * FileHasher::kChunkSize >= item.size) {
        // Every chunk arrived in order in this run: the running hash covers the whole file.
        const std::shared_ptr<Sha256> hash = m_incoming.hash;
        if (!m_incoming.hashing.isFinished())
            co_await QFuture<void>(m_incoming.hashing);
        actual = hash->finishHex();
    } else if (m_incoming.itemIndex == t.itemIndex && m_incoming.chunkDigests
               && std::uint64_t(m_incoming.nextChunk) * FileHasher::kChunkSize >= item.size) {
        actual = m_incoming.chunkDigests->finishHex();
    } else {
        if (!has(t.itemIndex, ItemFlag::admitted) && !m_journal->wasStarted(item.relativePath))
            co_return QStringLiteral("File data never arrived");
        // Bytes from an earlier run, or chunks out of order: read the file back once.
        if (m_writer->regularFileSize(t.partial) != item.size)
            co_return QStringLiteral("File data incomplete");
        // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
        auto hashing = startInBackground([writer = m_writer, partial = t.partial, scheme = m_fileHashScheme] {
            return FileHasher::hashOfDescriptor(writer->openForReading(partial), scheme, partial);
        });
        try {
            actual = co_await finishInBackground(std::move(hashing));
        } catch (const std::exception& e) {
            co_return describe(e);
        }
    }
    if (actual != *expectedHash)
        co_return QStringLiteral("File hash mismatch");
    applyFileMetadata(t.partial, t.itemIndex);
    if (item.mode)
        co_await applyFileMode(t.partial, *item.mode);
    // A bundle's files were recorded together, before the first of them took its name.
    if (!m_bundleRecorded)
        m_journal->flush();
    try {
        if (!m_writer->commit(t.partial, t.destination, !has(t.itemIndex, ItemFlag::freshTarget))) {
            m_writer->remove(t.partial);
            // A link planted at the name is no one's file to keep: the file failed.
            if (m_writer->linkTarget(t.destination))
                co_return QStringLiteral("A link stands where the file belongs; it was not written through it");
            // Someone else's file took the name while this one arrived: theirs stays.
            qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(item.relativePath),
                   "destination appeared during transfer");
            m_progress->addConflictOutcome({QUuid::createUuid(), item.relativePath, QStringLiteral("skipped"), m_clock->now()});
            m_conflictSkippedPaths.insert(item.relativePath);
            co_return std::nullopt;
        }
    } catch (const WriteFailure& e) {
        co_return e.description();
    }
    recordWritten(t.itemIndex);
    m_checkedHashes[t.itemIndex] = Sha256Digest::fromHex(actual);
    co_return std::nullopt;
}

QCoro::Task<void> DestinationTransfer::applyFileMode(QString path, std::uint16_t mode)
{
    if (m_corrector && m_userMapping && m_userMapping->sourceUsername != m_userMapping->destinationUsername) {
        if (co_await m_corrector->setFileMode(path, mode))
            co_return;
    }
    try {
        m_writer->setMode(path, mode);
    } catch (const WriteFailure& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not set mode:" << e.description();
    }
}

} // namespace kivo
