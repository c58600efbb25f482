// SPDX-License-Identifier: Apache-2.0
#include "transfer/SourceTransfer.h"

#include "platform/Error.h"
#include "platform/FreeMemory.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/SparseChunks.h"
#include "transfer/TransferError.h"
#include "transfer/Verification.h"

#include <QCoroSignal>
#include <QDir>
#include <QTemporaryFile>

namespace kivo {

namespace {

const QString kPlaceholderReason = QStringLiteral("iCloud Drive placeholder — download to local first");
const QString kPermissionDenied = QStringLiteral("Permission denied");

// A manifest text larger than this is sent from its file rather than held.
constexpr qint64 kSpooledManifestBytes = 8 * 1024 * 1024;

// Files up to this size are opened and read on the calling thread.
constexpr std::uint64_t kInlineReadBytes = 65536;

// The last path component, without the per-file QFileInfo a small file cannot afford.
QString fileNameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

bool isCloudPlaceholder(const TransferManifest::FileItem& item)
{
    return item.relativePath.endsWith(QLatin1String(".icloud"));
}

// What the first chunk read of a file hands back.
struct OpenedFile {
    std::shared_ptr<SourceFileReader> reader;
    std::optional<SourceFileReader::Chunk> firstChunk;
};

std::uint32_t chunkCount(std::uint64_t size)
{
    return static_cast<std::uint32_t>((size + FileHasher::kChunkSize - 1) / FileHasher::kChunkSize);
}

} // namespace

struct SourceTransfer::PreparedFile {
    std::uint32_t first = 0;
    std::uint32_t total = 0;
    QFuture<BackgroundOutcome<OpenedFile>> opened;
};

SourceTransfer::SourceTransfer(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent)
    : TransferEngine(connection, std::move(transferID), std::move(homeFolder), parent)
{
}

SourceTransfer::~SourceTransfer() = default;

void SourceTransfer::setManifest(TransferManifest manifest)
{
    // Every header carries the engine's id; the manifest must name the same transfer.
    manifest.transferID = m_transferID;
    m_manifest = std::move(manifest);
}

std::optional<Sha256Digest> SourceTransfer::sentHash(const QString& relativePath) const
{
    if (!m_manifest)
        return std::nullopt;
    const auto& items = m_manifest->items;
    for (qsizetype i = 0; i < std::min(items.size(), m_sentHashes.size()); ++i)
        if (items[i].relativePath == relativePath)
            return m_sentHashes[i];
    return std::nullopt;
}

void SourceTransfer::setBandwidthCap(std::optional<int> megabitsPerSecond)
{
    m_capMegabits = megabitsPerSecond;
    m_throttle = ThrottleBudget::forCap(megabitsPerSecond, m_clock->monotonic());
}

void SourceTransfer::setClock(std::shared_ptr<Clock> clock)
{
    TransferEngine::setClock(std::move(clock));
    if (m_throttle)
        m_throttle = ThrottleBudget::forCap(m_capMegabits, m_clock->monotonic());
}

void SourceTransfer::setPaused(bool paused)
{
    m_isPaused = paused;
    m_progress->setIsPaused(paused);
}

QCoro::Task<void> SourceTransfer::run()
{
    if (!m_manifest) {
        qCCritical(lcTransferEngine) << "Cannot start transfer: no manifest";
        Q_EMIT finished();
        co_return;
    }
    co_await runGuarded([this] { return runSource(); }, QStringLiteral("Transfer failed: %1"));
    Q_EMIT finished();
}

QCoro::Task<void> SourceTransfer::runSource()
{
    beginRun();
    co_await findLinkGroups();
    co_await exchangeManifest();
    for (qsizetype c = 0; c < m_manifest->categoryOrder.size(); ++c) {
        co_await sendCategory(c, m_manifest->categoryOrder[c]);
        if (m_isCancelled)
            break;
    }
    if (m_isCancelled) {
        // What is already on its way is still answered; a peer gone meanwhile changes nothing now.
        try {
            co_await drainWindow();
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "After cancelling:" << describe(e);
        }
        m_progress->setIsTransferring(false);
        co_return;
    }
    co_await runVerification();
    co_await finishRun();
}

void SourceTransfer::beginRun()
{
    m_isCancelled = false;
    m_isPaused = false;
    TransferProgress::Batch batch(m_progress);
    m_progress->setIsCancelled(false);
    m_progress->setIsPaused(false);
    initProgressFromManifest();
    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
    // Nothing of these is sent; the user hears which ones and why.
    for (const auto& folder : std::as_const(m_manifest->skippedFolders))
        addFileError(folder.relativePath, folder.categoryID, folder.text());
}

QCoro::Task<void> SourceTransfer::exchangeManifest()
{
    co_await sendManifest();

    const Message ack = co_await m_connection->receiveMessage();
    // The destination has no room for what is still to come; a kivo peer says how much it has.
    if (ack.header.type == MessageType::error && ack.header.errorCode == QLatin1String("disk_full"))
        throw TransferError::insufficientDiskSpace(ack.header.spaceNeeded.value_or(m_manifest->totalSize),
                                                   ack.header.spaceAvailable.value_or(0));
    if (ack.header.type != MessageType::manifestAck)
        throw TransferError::invalidMessage(QStringLiteral("Expected manifestAck, got ") + toString(ack.header.type));
    m_peerHoleSize = ack.header.holeSize.value_or(0);
    m_window = RequestWindow(WindowLimits::negotiate(m_ownWindow, ack.header));
    m_fileHashScheme = FileHashNegotiation::agreed(ack.header, m_offeredHashScheme);
    m_bundleBytes = FileBundle::agreed(ack.header, m_offeredBundleBytes);
    if (!m_window.limits().isStopAndWait())
        qCInfo(lcTransferEngine, "Keeping up to %u requests (%llu bytes) in flight", m_window.limits().requests,
               qulonglong(m_window.limits().bytes));
    const std::optional<QByteArray> checkpoint = documentOf(ack, &MessageHeader::resumeState);
    if (checkpoint && !checkpoint->isEmpty()) {
        try {
            m_resumeState = ResumeState::decode(*checkpoint);
        } catch (const DecodingError& e) {
            qCWarning(lcTransferEngine).noquote() << "Ignoring undecodable checkpoint:" << e.description();
        }
    }
    if (m_resumeState)
        co_await applyCheckpoint();
    agreeOnLinks(ack.header);
    // Listing the files and encoding the manifest left the heap with pages
    // free among the list's strings; the transfer would keep them resident to its end.
    returnFreeMemory();
}

QCoro::Task<void> SourceTransfer::sendManifest()
{
    // Encoding every item takes long enough to stall a window: a pool thread
    // does it, from a copy that shares the items until this side changes one.
    // The text goes to a temporary file, from which a large one is sent piece
    // by piece: with hundreds of thousands of files it outweighs everything else held.
    auto spool = std::make_shared<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/kivo-manifest-XXXXXX"));
    const bool spooling = spool->open();
    auto encoding = startInBackground([manifest = *m_manifest, spool, spooling]() -> std::optional<QByteArray> {
        if (spooling) {
            bool written = true;
            manifest.encodeInto([&](QByteArrayView piece) {
                written = written && spool->write(piece.data(), piece.size()) == piece.size();
            });
            if (written && spool->flush()) {
                if (spool->size() > kSpooledManifestBytes)
                    return std::nullopt;
                spool->seek(0);
                return spool->readAll();
            }
        }
        return manifest.encoded(); // no room for the file: held, as a small one is
    });
    std::optional<QByteArray> document = co_await finishInBackground(std::move(encoding));
    MessageHeader header = makeHeader(MessageType::manifest);
    if (m_offeredHashScheme)
        header.fileHashScheme = toString(*m_offeredHashScheme);
    if (m_offeredBundleBytes > 0)
        header.fileBundles = m_offeredBundleBytes;
    if (document) {
        spool.reset();
        std::optional<QByteArray> payload = placeDocument(header, &MessageHeader::manifestData, std::move(*document));
        co_await send(std::move(header), std::move(payload));
        co_return;
    }
    header.payloadSize = static_cast<std::uint32_t>(spool->size());
    spool->seek(0);
    co_await m_connection->sendMessageFrom(std::move(header), spool.get());
}

// Files the destination already finished count as done and are not sent again.
QCoro::Task<void> SourceTransfer::applyCheckpoint()
{
    // Matching every item against the checkpoint is a pass over both: a pool thread makes it.
    auto matching = startInBackground([items = m_manifest->items, state = *m_resumeState] {
        return matchCompleted(items, state);
    });
    const CompletedMatch done = co_await finishInBackground(std::move(matching));
    TransferProgress::Batch batch(m_progress);
    for (qsizetype i : done.indices)
        m_manifest->markFileCompleted(i);
    for (auto it = done.perCategory.cbegin(); it != done.perCategory.cend(); ++it) {
        m_bytesDone += it->bytes;
        m_progress->updateCategory(it.key(), [&](CategoryProgress& p) {
            p.filesCompleted += int(it->files);
            p.bytesTransferred += it->bytes;
        });
    }
    m_progress->setFilesCompleted(done.indices.size());
    m_progress->recordProgress(m_bytesDone);
    qCInfo(lcTransferEngine, "Resuming transfer from checkpoint: %ld files already done", long(done.indices.size()));
}

QCoro::Task<void> SourceTransfer::finishRun()
{
    co_await send(makeHeader(MessageType::transferComplete));
    TransferProgress::Batch batch(m_progress);
    m_progress->setIsComplete(true);
    m_progress->setCompletedAt(m_clock->now());
    m_progress->setIsTransferring(false);
}

QCoro::Task<void> SourceTransfer::sendCategory(qsizetype categoryIndex, QString categoryID)
{
    co_await beginCategory(categoryIndex, categoryID);
    const QList<qsizetype> indices = m_manifest->indicesForCategory(categoryID);
    QList<Action> plan = co_await planCategory(categoryID, indices);
    co_await sendPlannedFiles(categoryID, indices, std::move(plan));
    if (!m_isCancelled)
        co_await finishLinkCopies();
    if (!m_isCancelled)
        co_await endCategory(categoryID);
}

QCoro::Task<void> SourceTransfer::beginCategory(qsizetype categoryIndex, QString categoryID)
{
    {
        TransferProgress::Batch batch(m_progress);
        m_progress->setCurrentCategoryName(m_progress->categoryProgress().value(categoryID).categoryName);
        m_progress->setCurrentCategoryIndex(categoryIndex);
        m_progress->updateCategory(categoryID, [&](CategoryProgress& p) {
            p.categoryID = categoryID;
            p.status = CategoryStatus::inProgress;
        });
    }
    Q_EMIT categoryStarted(categoryID);
    MessageHeader start = makeHeader(MessageType::categoryStart);
    start.filePath = categoryID;
    co_await sendUnanswered(std::move(start));
}

// What to do with each file of the category, in manifest order.
QCoro::Task<QList<SourceTransfer::Action>> SourceTransfer::planCategory(QString categoryID, QList<qsizetype> indices)
{
    QSet<QString> unreadable;
    if (auto h = handler(categoryID)) {
        QList<TransferManifest::FileItem> items = std::as_const(*m_manifest).itemsForCategory(categoryID);
        const QStringList denied = co_await h->validateSourceAccess(std::move(items));
        unreadable = QSet<QString>(denied.begin(), denied.end());
    }
    QList<Action> plan;
    plan.reserve(indices.size());
    for (qsizetype i : indices) {
        const auto& item = m_manifest->items[i];
        if (item.transferStatus == FileTransferStatus::completed)
            plan.append(Action::done);
        else if (isCloudPlaceholder(item))
            plan.append(Action::placeholder);
        else if (!unreadable.isEmpty() && unreadable.contains(item.absolutePath()))
            plan.append(Action::unreadable);
        else
            plan.append(Action::send);
    }
    co_return plan;
}

QCoro::Task<void> SourceTransfer::sendPlannedFiles(QString categoryID, QList<qsizetype> indices, QList<Action> plan)
{
    // For each position, the next file that will actually be sent.
    QList<qsizetype> nextSend(plan.size(), -1);
    for (qsizetype k = plan.size() - 1, next = -1; k >= 0; --k) {
        nextSend[k] = next;
        if (plan[k] == Action::send)
            next = k;
    }
    Prefetch prefetch;
    for (qsizetype k = 0; k < plan.size() && !m_isCancelled; ++k) {
        const qsizetype index = indices[k];
        if (plan[k] == Action::placeholder)
            co_await skipPlaceholder(index);
        else if (plan[k] == Action::unreadable)
            co_await skipUnreadable(index, categoryID);
        if (plan[k] != Action::send)
            continue;
        if (co_await sendAsLink(index)) {
            co_await sendCopiesDue();
            continue;
        }
        if (travelsInBundle(index)) {
            k = co_await sendBundledRun(indices, plan, k) - 1;
            continue;
        }

        std::shared_ptr<PreparedFile> prepared =
            prefetch.position == k ? std::exchange(prefetch.file, nullptr) : prepareFile(index);
        prefetch.position = -1;
        const qsizetype next = nextSend[k];
        auto prefetchNext = [&, next] {
            if (next >= 0 && !m_isCancelled && m_links.linkTargetFor(indices[next]) < 0 && !travelsInBundle(indices[next]))
                prefetch = {prepareFile(indices[next]), next};
        };
        std::exception_ptr failure;
        try {
            if (!co_await sendFile(index, categoryID, prepared, prefetchNext))
                co_return;
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure)
            co_await giveUpFile(index, failure);
        co_await sendCopiesDue();
    }
}

// The destination lists the file as not received instead of waiting for it in silence.
QCoro::Task<void> SourceTransfer::giveUpFile(qsizetype itemIndex, std::exception_ptr failure)
{
    m_window.failFile(itemIndex);
    // One request at a time: the reply still due comes first (its file is given up, so it changes nothing).
    if (m_window.limits().isStopAndWait())
        co_await drainWindow();
    const auto& item = m_manifest->items[itemIndex];
    if (const std::optional<QString> told = recordFileFailure(itemIndex, item.categoryID, failure)) {
        MessageHeader skip = makeHeader(MessageType::fileSkip);
        skip.filePath = item.relativePath;
        skip.errorMessage = *told;
        // Not through the window: a reply being handled may have brought us here.
        co_await m_connection->queueMessage(std::move(skip), std::nullopt);
    }
}

QCoro::Task<void> SourceTransfer::skipPlaceholder(qsizetype itemIndex)
{
    const auto item = m_manifest->items[itemIndex];
    co_await sendFileSkip(item.relativePath, kPlaceholderReason);
    TransferProgress::Batch batch(m_progress);
    m_progress->setICloudStubsSkipped(m_progress->iCloudStubsSkipped() + 1);
    m_progress->setICloudStubsBytesSkipped(m_progress->iCloudStubsBytesSkipped() + item.size);
    m_manifest->markFileSkipped(itemIndex);
}

QCoro::Task<void> SourceTransfer::skipUnreadable(qsizetype itemIndex, QString categoryID)
{
    const auto item = m_manifest->items[itemIndex];
    co_await sendFileSkip(item.relativePath, kPermissionDenied);
    qCCritical(lcTransferEngine).noquote() << QStringLiteral("Permission denied: %1").arg(item.absolutePath());
    m_manifest->markFileSkipped(itemIndex);
    addFileError(item.relativePath, categoryID, kPermissionDenied);
}

QCoro::Task<void> SourceTransfer::sendFileSkip(QString relativePath, QString reason)
{
    MessageHeader skip = makeHeader(MessageType::fileSkip);
    skip.filePath = std::move(relativePath);
    skip.errorMessage = std::move(reason);
    co_await sendUnanswered(std::move(skip));
}

std::optional<QString> SourceTransfer::recordFileFailure(qsizetype itemIndex, const QString& categoryID,
                                                        std::exception_ptr failure)
{
    const QString path = m_manifest->items[itemIndex].relativePath;
    std::optional<QString> told;
    m_links.noteLost(itemIndex);
    try {
        std::rethrow_exception(failure);
    } catch (const TransferError& e) {
        switch (e.kind()) {
        case TransferError::Kind::insufficientDiskSpace:
        case TransferError::Kind::connectionCancelled:
        case TransferError::Kind::connectionLost:
            throw;
        case TransferError::Kind::maxRetriesExceeded:
            m_manifest->markFileFailed(itemIndex);
            told = QStringLiteral("Max retries exceeded");
            addFileError(path, categoryID, *told);
            break;
        case TransferError::Kind::permissionDenied:
            m_manifest->markFileSkipped(itemIndex);
            addFileError(path, categoryID, e.description());
            told = kPermissionDenied;
            break;
        case TransferError::Kind::categoryFailed:
            m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.status = CategoryStatus::failed; });
            break;
        default:
            if (!m_connection->isConnected())
                throw;
            m_manifest->markFileFailed(itemIndex);
            told = e.description();
            addFileError(path, categoryID, *told);
        }
    } catch (const SkippedByDestination& e) {
        // The destination refused it and needs no word back.
        m_manifest->markFileSkipped(itemIndex);
        addFileError(path, categoryID, e.reason);
    } catch (const FailedByDestination& e) {
        m_manifest->markFileFailed(itemIndex);
        addFileError(path, categoryID, e.reason);
    } catch (const SourceFileChanged& e) {
        qCCritical(lcTransferEngine).noquote() << e.description();
        m_manifest->markFileFailed(itemIndex);
        told = QString::fromUtf8(SourceFileChanged::kReason);
        addFileError(path, categoryID, *told);
    } catch (const std::exception& e) {
        // A broken connection fails every later file too: end here instead.
        if (!m_connection->isConnected())
            throw;
        m_manifest->markFileFailed(itemIndex);
        told = describe(e);
        addFileError(path, categoryID, *told);
    }
    return told;
}

QCoro::Task<void> SourceTransfer::endCategory(QString categoryID)
{
    // Every file of the category is answered before the destination finishes it.
    co_await drainWindow();
    MessageHeader complete = makeHeader(MessageType::categoryComplete);
    complete.filePath = categoryID;
    co_await send(std::move(complete));
    // The destination adapts the category before it reads on: the next reply may take longer.
    std::uint64_t bytes = 0;
    for (const auto& item : std::as_const(m_manifest->items))
        if (item.categoryID == categoryID)
            bytes += item.size;
    setIdleDeadline(m_timeouts.forWorkOver(bytes));
    m_deadlineExtended = true;
    m_progress->updateCategory(categoryID, [](CategoryProgress& p) {
        if (p.status != CategoryStatus::failed)
            p.status = CategoryStatus::completed;
    });
    Q_EMIT categoryCompleted(categoryID);
}

std::shared_ptr<SourceTransfer::PreparedFile> SourceTransfer::prepareFile(qsizetype itemIndex)
{
    const auto& item = m_manifest->items[itemIndex];
    auto prepared = std::make_shared<PreparedFile>();
    prepared->total = chunkCount(item.size);
    if (m_resumeState && m_resumeState->inProgressFile && m_resumeState->inProgressFile->relativePath == item.relativePath)
        prepared->first = std::min(m_resumeState->inProgressFile->lastAcknowledgedChunk + 1, prepared->total);
    auto open = [path = item.absolutePath(), size = item.size, first = prepared->first, total = prepared->total,
                 scheme = m_fileHashScheme] {
        OpenedFile opened;
        opened.reader = std::make_shared<SourceFileReader>(path, size, scheme);
        opened.reader->hashPrefix(first);
        if (first < total)
            opened.firstChunk = opened.reader->read(first);
        return opened;
    };
    if (item.size > kInlineReadBytes) {
        prepared->opened = startInBackground(std::move(open));
        return prepared;
    }
    // A small file reads faster than the pool round trip would take.
    BackgroundOutcome<OpenedFile> outcome;
    try {
        outcome.value = open();
    } catch (...) {
        outcome.error = std::current_exception();
    }
    prepared->opened = QtFuture::makeReadyFuture(std::move(outcome));
    return prepared;
}

void SourceTransfer::beginFile(qsizetype itemIndex)
{
    const auto& item = m_manifest->items[itemIndex];
    TransferProgress::Batch batch(m_progress);
    m_progress->setCurrentFile(fileNameOf(item.relativePath));
    m_progress->setCurrentFilePath(item.relativePath);
    m_progress->setCurrentFileIndex(itemIndex);
    m_progress->setCurrentFileTotalBytes(item.size);
    m_progress->setCurrentFileBytesTransferred(0);
}

// What an earlier run delivered of this file counts as done.
void SourceTransfer::countResumedPrefix(const QString& categoryID, std::uint64_t size, std::uint32_t firstChunk)
{
    const std::uint64_t resumed = std::min<std::uint64_t>(std::uint64_t(firstChunk) * FileHasher::kChunkSize, size);
    m_bytesDone += resumed;
    TransferProgress::Batch batch(m_progress);
    m_progress->setCurrentFileBytesTransferred(resumed);
    m_progress->updateCategory(categoryID, [resumed](CategoryProgress& p) { p.bytesTransferred += resumed; });
}

QCoro::Task<bool> SourceTransfer::sendFile(qsizetype itemIndex, QString categoryID, std::shared_ptr<PreparedFile> prepared,
                                           std::function<void()> whenAllSent)
{
    const auto item = m_manifest->items[itemIndex];
    beginFile(itemIndex);
    OpenedFile opened = co_await finishInBackground(prepared->opened);
    if (prepared->first > 0)
        countResumedPrefix(categoryID, item.size, prepared->first);
    const std::shared_ptr<SourceFileReader> reader = opened.reader;
    std::optional<SourceFileReader::Chunk> current = std::move(opened.firstChunk);
    // Chunks wholly in a hole go as a marker, to a destination that takes them.
    const HoleMap holes = item.sparse && m_peerHoleSize > 0 ? HoleMap::read(item.absolutePath(), std::int64_t(item.size))
                                                            : HoleMap();

    using Request = RequestWindow::Request;
    for (std::uint32_t c = prepared->first; c < prepared->total; ++c) {
        if (m_isPaused || m_peerPaused)
            co_await waitWhilePaused();
        if (m_isCancelled)
            co_return false;
        if (m_window.hasFailed(itemIndex))
            co_return true;
        SourceFileReader::Chunk chunk = std::move(*current);
        current.reset();
        // The next chunk is read and hashed while this one is on the wire.
        QFuture<BackgroundOutcome<SourceFileReader::Chunk>> next;
        if (c + 1 < prepared->total)
            next = startInBackground([reader, c] { return reader->read(c + 1); });
        const bool hole = chunk.bytes.size() <= qsizetype(m_peerHoleSize)
                          && holes.isHole(std::int64_t(c) * FileHasher::kChunkSize, chunk.bytes.size())
                          && isAllZero(chunk.bytes);
        // Named first: g++ 12 mishandles temporaries built inside co_await.
        Request request{Request::Kind::chunk, itemIndex, item.relativePath, c, prepared->total,
                        std::move(chunk.bytes), std::move(chunk.hash), 0, hole};
        co_await sendRequest(std::move(request));
        if (c + 1 < prepared->total)
            current = co_await finishInBackground(std::move(next));
    }
    if (m_isCancelled)
        co_return false; // its last chunk may not have gone
    if (m_window.hasFailed(itemIndex))
        co_return true;
    // Every byte is read: the copy is whole only if nobody wrote the file meanwhile.
    reader->checkUnchanged();
    const QString wholeHash = reader->finishHex();
    if (const std::optional<Sha256Digest> digest = Sha256Digest::fromHex(wholeHash)) {
        if (m_sentHashes.size() <= itemIndex)
            m_sentHashes.resize(m_manifest->items.size());
        m_sentHashCount += !m_sentHashes[itemIndex];
        m_sentHashes[itemIndex] = *digest;
    }
    Request complete{Request::Kind::fileComplete, itemIndex, item.relativePath, 0, prepared->total, {}, wholeHash, 0};
    co_await sendRequest(std::move(complete));
    noteSentWhole(itemIndex);
    // The next file is read while the destination finishes this one.
    if (whenAllSent)
        whenAllSent();
    co_return true;
}

} // namespace kivo
