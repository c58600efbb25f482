#include "transfer/TransferEngine.h"

#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/FileHasher.h"
#include "transfer/TransferError.h"
#include "transfer/WireFormat.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kivo {

namespace {

const QString kPlaceholderReason = QStringLiteral("iCloud Drive placeholder — download to local first");
const QString kPermissionDenied = QStringLiteral("Permission denied");

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

// A response with more entries than a header holds carries them as a JSON array payload.
std::optional<QList<FileVerification>> hashesFromPayload(const QByteArray& payload)
{
    const QJsonDocument doc = QJsonDocument::fromJson(payload);
    if (!doc.isArray())
        return std::nullopt;
    QList<FileVerification> out;
    try {
        for (const QJsonValue& v : doc.array())
            out.append(FileVerification::fromJson(v.toObject()));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
    return out;
}

} // namespace

// Files up to this size are opened and read on the calling thread.
constexpr std::uint64_t kInlineReadBytes = 65536;

struct TransferEngine::PreparedFile {
    std::uint32_t first = 0;
    std::uint32_t total = 0;
    QFuture<BackgroundOutcome<OpenedFile>> opened;
};

QCoro::Task<void> TransferEngine::start()
{
    if (!m_manifest) {
        qCCritical(lcTransferEngine) << "Cannot start transfer: no manifest";
        Q_EMIT finished();
        co_return;
    }
    try {
        co_await runSource();
    } catch (const std::exception& e) {
        fail(QStringLiteral("Transfer failed: %1"), describe(e));
    } catch (...) {
        fail(QStringLiteral("Transfer failed: %1"), QStringLiteral("Unknown error"));
    }
    Q_EMIT finished();
}

QCoro::Task<void> TransferEngine::runSource()
{
    m_isCancelled = false;
    m_isPaused = false;
    m_progress->setIsCancelled(false);
    m_progress->setIsPaused(false);
    m_progress->setTotalBytes(m_manifest->totalSize);
    m_progress->setTotalFiles(m_manifest->items.size());
    m_progress->setTotalCategories(m_manifest->categoryOrder.size());
    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
    initCategoryProgress();
    emitProgress();

    co_await sendManifest();
    const Message ack = co_await m_connection->receiveMessage();
    if (ack.header.type != MessageType::manifestAck)
        throw TransferError::invalidMessage(QStringLiteral("Expected manifestAck, got ") + toString(ack.header.type));

    // A checkpoint too large for a header travels as the payload.
    const std::optional<QByteArray> checkpoint = ack.header.resumeState ? ack.header.resumeState : ack.payload;
    if (checkpoint && !checkpoint->isEmpty()) {
        try {
            m_resumeState = ResumeState::decode(*checkpoint);
        } catch (const DecodingError& e) {
            qCWarning(lcTransferEngine).noquote() << "Ignoring undecodable checkpoint:" << e.description();
        }
    }
    if (m_resumeState) {
        const QSet<QString> done(m_resumeState->completedFiles.begin(), m_resumeState->completedFiles.end());
        qsizetype count = 0;
        for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
            const auto& item = m_manifest->items[i];
            if (!done.contains(item.relativePath))
                continue;
            m_manifest->markFileCompleted(i);
            m_bytesDone += item.size;
            ++count;
            m_progress->updateCategory(item.categoryID, [&](CategoryProgress& p) {
                p.filesCompleted += 1;
                p.bytesTransferred += item.size;
            });
        }
        m_progress->setFilesCompleted(count);
        m_progress->recordProgress(m_bytesDone);
        qCInfo(lcTransferEngine, "Resuming transfer from checkpoint: %ld files already done", long(count));
    }

    for (qsizetype c = 0; c < m_manifest->categoryOrder.size(); ++c) {
        co_await sendCategory(c, m_manifest->categoryOrder[c]);
        if (m_isCancelled)
            break;
    }
    if (m_isCancelled) {
        m_progress->setIsTransferring(false);
        emitProgress();
        co_return;
    }

    co_await runVerification();

    co_await send(makeHeader(MessageType::transferComplete));
    m_progress->setIsComplete(true);
    m_progress->setCompletedAt(m_clock->now());
    m_progress->setIsTransferring(false);
    emitProgress();
}

QCoro::Task<void> TransferEngine::sendManifest()
{
    MessageHeader header = makeHeader(MessageType::manifest);
    QByteArray encoded = m_manifest->encoded();
    // Base64 grows the document by a third; large manifests would break the header limit.
    const qint64 inHeader = (encoded.size() + 2) / 3 * 4 + 1024;
    if (inHeader <= WireFormat::kMaxHeaderLength) {
        header.manifestData = std::move(encoded);
        co_await send(std::move(header));
    } else {
        header.payloadSize = static_cast<std::uint32_t>(encoded.size());
        co_await send(std::move(header), std::move(encoded));
    }
}

QCoro::Task<void> TransferEngine::sendCategory(qsizetype categoryIndex, QString categoryID)
{
    m_progress->setCurrentCategoryName(m_progress->categoryProgress().value(categoryID).categoryName);
    m_progress->setCurrentCategoryIndex(categoryIndex);
    m_progress->updateCategory(categoryID, [&](CategoryProgress& p) {
        p.categoryID = categoryID;
        p.status = CategoryStatus::inProgress;
    });
    Q_EMIT categoryStarted(categoryID);
    emitProgress();

    MessageHeader start = makeHeader(MessageType::categoryStart);
    start.filePath = categoryID;
    co_await send(std::move(start));

    const QList<qsizetype> indices = m_manifest->indicesForCategory(categoryID);
    QSet<QString> unreadable;
    if (auto h = handler(categoryID)) {
        QList<TransferManifest::FileItem> items;
        items.reserve(indices.size());
        for (qsizetype i : indices)
            items.append(m_manifest->items[i]);
        const QStringList denied = co_await h->validateSourceAccess(std::move(items));
        unreadable = QSet<QString>(denied.begin(), denied.end());
    }

    enum class Action { done, placeholder, unreadable, send };
    QList<Action> plan;
    plan.reserve(indices.size());
    for (qsizetype i : indices) {
        const auto& item = m_manifest->items[i];
        if (item.transferStatus == FileTransferStatus::completed)
            plan.append(Action::done);
        else if (isCloudPlaceholder(item))
            plan.append(Action::placeholder);
        else if (unreadable.contains(item.absolutePath))
            plan.append(Action::unreadable);
        else
            plan.append(Action::send);
    }
    // For each position, the next file that will actually be sent: its first
    // chunk is read while the current file's completion is acknowledged.
    QList<qsizetype> nextSend(plan.size(), -1);
    for (qsizetype k = plan.size() - 1, next = -1; k >= 0; --k) {
        nextSend[k] = next;
        if (plan[k] == Action::send)
            next = k;
    }

    std::shared_ptr<PreparedFile> prefetched;
    qsizetype prefetchedPosition = -1;
    for (qsizetype k = 0; k < plan.size(); ++k) {
        const qsizetype index = indices[k];
        if (plan[k] == Action::done)
            continue;
        if (m_isCancelled)
            break;
        const auto item = m_manifest->items[index];
        if (plan[k] == Action::placeholder) {
            MessageHeader skip = makeHeader(MessageType::fileSkip);
            skip.filePath = item.relativePath;
            skip.errorMessage = kPlaceholderReason;
            co_await send(std::move(skip));
            m_progress->setICloudStubsSkipped(m_progress->iCloudStubsSkipped() + 1);
            m_progress->setICloudStubsBytesSkipped(m_progress->iCloudStubsBytesSkipped() + item.size);
            m_manifest->markFileSkipped(index);
            continue;
        }
        if (plan[k] == Action::unreadable) {
            MessageHeader skip = makeHeader(MessageType::fileSkip);
            skip.filePath = item.relativePath;
            skip.errorMessage = kPermissionDenied;
            co_await send(std::move(skip));
            qCCritical(lcTransferEngine).noquote() << QStringLiteral("Permission denied: %1").arg(item.absolutePath);
            m_manifest->markFileSkipped(index);
            addFileError(item.relativePath, categoryID, kPermissionDenied);
            continue;
        }

        std::shared_ptr<PreparedFile> prepared =
            prefetchedPosition == k ? std::exchange(prefetched, nullptr) : prepareFile(index);
        prefetchedPosition = -1;
        const qsizetype next = nextSend[k];
        auto prefetchNext = [&, next] {
            if (next >= 0 && !m_isCancelled) {
                prefetched = prepareFile(indices[next]);
                prefetchedPosition = next;
            }
        };

        bool tellSkipped = false;
        try {
            const bool finished = co_await transferFile(index, categoryID, prepared, prefetchNext);
            if (!finished)
                break;
            m_manifest->markFileCompleted(index);
            m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
            m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.filesCompleted += 1; });
            emitProgress();
        } catch (const TransferError& e) {
            switch (e.kind()) {
            case TransferError::Kind::insufficientDiskSpace:
            case TransferError::Kind::connectionCancelled:
            case TransferError::Kind::connectionLost:
                throw;
            case TransferError::Kind::maxRetriesExceeded:
                m_manifest->markFileFailed(index);
                addFileError(item.relativePath, categoryID, QStringLiteral("Max retries exceeded"));
                break;
            case TransferError::Kind::permissionDenied:
                m_manifest->markFileSkipped(index);
                addFileError(item.relativePath, categoryID, e.description());
                tellSkipped = true;
                break;
            case TransferError::Kind::categoryFailed:
                m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.status = CategoryStatus::failed; });
                break;
            default:
                if (!m_connection->isConnected())
                    throw;
                m_manifest->markFileFailed(index);
                addFileError(item.relativePath, categoryID, e.description());
            }
            emitProgress();
        } catch (const std::exception& e) {
            // A broken connection fails every later file too: end here instead.
            if (!m_connection->isConnected())
                throw;
            m_manifest->markFileFailed(index);
            addFileError(item.relativePath, categoryID, describe(e));
            emitProgress();
        }
        if (tellSkipped) {
            MessageHeader skip = makeHeader(MessageType::fileSkip);
            skip.filePath = item.relativePath;
            skip.errorMessage = kPermissionDenied;
            co_await send(std::move(skip));
        }
    }
    if (m_isCancelled)
        co_return;

    MessageHeader complete = makeHeader(MessageType::categoryComplete);
    complete.filePath = categoryID;
    co_await send(std::move(complete));
    m_progress->updateCategory(categoryID, [](CategoryProgress& p) {
        if (p.status != CategoryStatus::failed)
            p.status = CategoryStatus::completed;
    });
    Q_EMIT categoryCompleted(categoryID);
    emitProgress();
}

std::shared_ptr<TransferEngine::PreparedFile> TransferEngine::prepareFile(qsizetype itemIndex)
{
    const auto& item = m_manifest->items[itemIndex];
    auto prepared = std::make_shared<PreparedFile>();
    prepared->total = static_cast<std::uint32_t>((item.size + FileHasher::kChunkSize - 1) / FileHasher::kChunkSize);
    if (m_resumeState && m_resumeState->inProgressFile && m_resumeState->inProgressFile->relativePath == item.relativePath)
        prepared->first = std::min(m_resumeState->inProgressFile->lastAcknowledgedChunk + 1, prepared->total);
    const QString path = item.absolutePath;
    const std::uint64_t size = item.size;
    const std::uint32_t first = prepared->first;
    const std::uint32_t total = prepared->total;
    auto open = [path, size, first, total] {
        OpenedFile opened;
        opened.reader = std::make_shared<SourceFileReader>(path, size);
        opened.reader->hashPrefix(first);
        if (first < total)
            opened.firstChunk = opened.reader->read(first);
        return opened;
    };
    if (size > kInlineReadBytes) {
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

QCoro::Task<void> TransferEngine::waitWhilePaused()
{
    if (m_isPaused && !m_peerPaused) {
        co_await send(makeHeader(MessageType::pause));
        m_peerPaused = true;
    }
    while (m_isPaused && !m_isCancelled)
        co_await m_clock->sleepFor(std::chrono::milliseconds(200));
    if (m_peerPaused && !m_isPaused) {
        co_await send(makeHeader(MessageType::resume));
        m_peerPaused = false;
    }
}

QCoro::Task<bool> TransferEngine::transferFile(qsizetype itemIndex, QString categoryID,
                                               std::shared_ptr<PreparedFile> prepared,
                                               std::function<void()> whileAwaitingFileAck)
{
    const auto item = m_manifest->items[itemIndex];
    m_progress->setCurrentFile(fileNameOf(item.relativePath));
    m_progress->setCurrentFilePath(item.relativePath);
    m_progress->setCurrentFileIndex(itemIndex);
    m_progress->setCurrentFileTotalBytes(item.size);
    m_progress->setCurrentFileBytesTransferred(0);
    emitProgress();

    OpenedFile opened = co_await finishInBackground(prepared->opened);
    if (prepared->first > 0) {
        // What the earlier run delivered of this file counts as done.
        const std::uint64_t resumed = std::min<std::uint64_t>(std::uint64_t(prepared->first) * FileHasher::kChunkSize, item.size);
        m_bytesDone += resumed;
        m_progress->setCurrentFileBytesTransferred(resumed);
        m_progress->updateCategory(categoryID, [resumed](CategoryProgress& p) { p.bytesTransferred += resumed; });
    }
    const std::shared_ptr<SourceFileReader> reader = opened.reader;
    std::optional<SourceFileReader::Chunk> current = std::move(opened.firstChunk);

    for (std::uint32_t c = prepared->first; c < prepared->total; ++c) {
        if (m_isCancelled)
            co_return false;
        co_await waitWhilePaused();
        if (m_isCancelled)
            co_return false;

        const SourceFileReader::Chunk chunk = std::move(*current);
        current.reset();
        // The next chunk is read and hashed while this one is on the wire.
        QFuture<BackgroundOutcome<SourceFileReader::Chunk>> next;
        if (c + 1 < prepared->total)
            next = startInBackground([reader, c] { return reader->read(c + 1); });

        const auto bytes = static_cast<std::uint64_t>(chunk.bytes.size());
        bool acknowledged = false;
        for (int attempt = 0; attempt < kMaxChunkAttempts && !acknowledged; ++attempt) {
            if (m_throttle) {
                const auto delay = m_throttle->reserve(bytes, m_clock->monotonic());
                if (delay.count() > 0)
                    co_await m_clock->sleepFor(delay);
            }
            MessageHeader header = makeHeader(MessageType::chunkData);
            header.filePath = item.relativePath;
            header.chunkIndex = c;
            header.totalChunks = prepared->total;
            header.chunkHash = chunk.hash;
            header.payloadSize = static_cast<std::uint32_t>(bytes);
            co_await send(std::move(header), chunk.bytes);

            const Message reply = co_await m_connection->receiveMessage();
            switch (reply.header.type) {
            case MessageType::chunkAck:
                acknowledged = true;
                break;
            case MessageType::chunkNack:
                qCCritical(lcTransferEngine, "Chunk %u of %s rejected (attempt %ld/%ld)", c,
                           qUtf8Printable(item.relativePath), long(attempt + 1), long(kMaxChunkAttempts));
                if (reply.header.errorCode == QLatin1String("disk_full"))
                    throw TransferError::insufficientDiskSpace(m_progress->totalBytes() - m_bytesDone, 0);
                break;
            case MessageType::error:
                if (reply.header.errorCode == QLatin1String("disk_full"))
                    throw TransferError::insufficientDiskSpace(m_progress->totalBytes() - m_bytesDone, 0);
                throw TransferError::invalidMessage(
                    reply.header.errorMessage.value_or(QStringLiteral("Unexpected error during chunk transfer")));
            default:
                break;
            }
        }
        if (!acknowledged)
            throw TransferError::maxRetriesExceeded(item.relativePath, c);

        m_bytesDone += bytes;
        m_progress->setCurrentFileBytesTransferred(m_progress->currentFileBytesTransferred() + bytes);
        m_progress->recordProgress(m_bytesDone);
        m_progress->updateCategory(categoryID, [bytes](CategoryProgress& p) { p.bytesTransferred += bytes; });
        emitProgress();

        if (c + 1 < prepared->total)
            current = co_await finishInBackground(std::move(next));
    }

    const QString wholeHash = reader->finishHex();
    m_sourceFileHashes.insert(item.relativePath, wholeHash);

    MessageHeader complete = makeHeader(MessageType::fileComplete);
    complete.filePath = item.relativePath;
    complete.chunkHash = wholeHash;
    co_await send(std::move(complete));
    // The next file is read while the destination finishes this one.
    if (whileAwaitingFileAck)
        whileAwaitingFileAck();
    const Message reply = co_await m_connection->receiveMessage();
    if (reply.header.type != MessageType::fileAck)
        throw TransferError::invalidMessage(QStringLiteral("Expected fileAck, got ") + toString(reply.header.type));
    co_return true;
}

QCoro::Task<void> TransferEngine::runVerification()
{
    m_progress->setIsVerifying(true);
    emitProgress();
    qCInfo(lcTransferEngine, "Asking the destination to verify %lld file(s)", qlonglong(m_sourceFileHashes.size()));
    co_await send(makeHeader(MessageType::verificationRequest));
    const Message reply = co_await m_connection->receiveMessage();
    std::optional<QList<FileVerification>> hashes = reply.header.fileHashes;
    if (!hashes && reply.header.type == MessageType::verificationResponse && reply.payload)
        hashes = hashesFromPayload(*reply.payload);
    if (reply.header.type != MessageType::verificationResponse || !hashes) {
        qCCritical(lcTransferEngine) << "No verification response received";
        m_progress->setIsVerifying(false);
        emitProgress();
        Q_EMIT verificationFinished();
        co_return;
    }
    QStringList mismatches;
    for (const FileVerification& v : *hashes) {
        const auto it = m_sourceFileHashes.constFind(v.filePath);
        if (it == m_sourceFileHashes.constEnd())
            continue;
        if (*it != v.sha256Hash) {
            mismatches.append(v.filePath);
            qCCritical(lcTransferEngine, "Verification mismatch: %s", qUtf8Printable(v.filePath));
        }
    }
    m_progress->setVerificationMismatches(mismatches);
    m_progress->setVerificationFilesChecked(hashes->size());
    m_progress->setIsVerifying(false);
    if (!mismatches.isEmpty())
        qCCritical(lcTransferEngine, "%ld file(s) failed verification", long(mismatches.size()));
    else
        qCInfo(lcTransferEngine) << "All files verified successfully";
    emitProgress();
    Q_EMIT verificationFinished();
}

} // namespace kivo
