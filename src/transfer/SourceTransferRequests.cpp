// SPDX-License-Identifier: Apache-2.0
// The source's requests in the window: sending each once there is room, and
// what each reply does to the transfer.
#include "transfer/SourceTransfer.h"

#include "platform/Logging.h"
#include "transfer/TransferError.h"

#include <QCoroSignal>

#include <algorithm>

namespace kivo {

QCoro::Task<void> SourceTransfer::sendRequest(RequestWindow::Request request)
{
    while (!m_window.hasRoom(request.bytes.size()))
        co_await absorbReply();
    // A reply taken meanwhile may have given the file up.
    if (!m_window.hasFailed(request.item))
        co_await transmit(std::move(request));
}

QCoro::Task<void> SourceTransfer::transmit(RequestWindow::Request request)
{
    MessageHeader header;
    std::optional<QByteArray> payload;
    // A hole costs the link nothing worth pacing.
    const bool paced = m_throttle && (request.kind == RequestWindow::Request::Kind::bundle
                                      || (request.kind == RequestWindow::Request::Kind::chunk && !request.hole));
    // Nothing more goes out once cancelled: the transfer is ending.
    if (paced && !co_await pace(std::uint64_t(request.bytes.size())))
        co_return;
    if (request.kind == RequestWindow::Request::Kind::bundle) {
        header = makeHeader(MessageType::fileBundle);
        QList<FileVerification> files;
        files.reserve(request.files.size());
        for (const RequestWindow::BundledFile& f : std::as_const(request.files))
            files.append({f.path, f.hash, std::uint64_t(f.size)});
        header.fileHashes = std::move(files);
        header.payloadSize = static_cast<std::uint32_t>(request.bytes.size());
        if (!request.bytes.isEmpty())
            payload = request.bytes;
    } else if (request.kind == RequestWindow::Request::Kind::chunk) {
        header = makeHeader(MessageType::chunkData);
        header.filePath = request.path;
        header.chunkIndex = request.chunkIndex;
        header.totalChunks = request.totalChunks;
        header.chunkHash = request.hash;
        if (request.hole) {
            header.holeSize = static_cast<std::uint32_t>(request.bytes.size());
        } else {
            header.payloadSize = static_cast<std::uint32_t>(request.bytes.size());
            payload = request.bytes;
        }
    } else {
        header = makeHeader(MessageType::fileComplete);
        header.filePath = request.path;
        if (!request.hash.isEmpty() || request.kind != RequestWindow::Request::Kind::link)
            header.chunkHash = request.hash;
        if (request.kind == RequestWindow::Request::Kind::link)
            header.linkTarget = request.linkTarget;
    }
    m_window.sent(std::move(request));
    co_await m_connection->queueMessage(std::move(header), std::move(payload));
}

QCoro::Task<bool> SourceTransfer::pace(std::uint64_t bytes)
{
    // Slept in short slices: a cancel, a pause or a peer gone ends the wait at
    // once instead of after a whole chunk's delay at a low cap. A chunk sent early
    // for a pause keeps its place in the budget, so the ones after still wait for it.
    constexpr std::chrono::nanoseconds kSlice = std::chrono::milliseconds(50);
    const std::chrono::nanoseconds now = m_clock->monotonic();
    const std::chrono::nanoseconds due = now + m_throttle->reserve(bytes, now);
    for (auto left = due - m_clock->monotonic(); left.count() > 0; left = due - m_clock->monotonic()) {
        if (m_isCancelled || m_isPaused || !m_connection->isConnected())
            break;
        co_await m_clock->sleepFor(std::min(left, kSlice));
    }
    co_return !m_isCancelled;
}

QCoro::Task<void> SourceTransfer::waitWhilePaused()
{
    if (m_isPaused && !m_peerPaused) {
        // The chunks already on their way are answered first.
        co_await drainWindow();
        co_await send(makeHeader(MessageType::pause));
        m_peerPaused = true;
    }
    // Pausing and cancelling both show in the progress record; its signal wakes us.
    while (m_isPaused && !m_isCancelled)
        co_await qCoro(m_progress, &TransferProgress::changed);
    if (m_peerPaused && !m_isPaused) {
        co_await send(makeHeader(MessageType::resume));
        m_peerPaused = false;
    }
}

QCoro::Task<void> SourceTransfer::sendUnanswered(MessageHeader header)
{
    if (m_window.limits().isStopAndWait())
        co_await drainWindow();
    co_await m_connection->queueMessage(std::move(header), std::nullopt);
}

QCoro::Task<void> SourceTransfer::drainWindow()
{
    while (!m_window.isEmpty())
        co_await absorbReply();
}

QCoro::Task<void> SourceTransfer::absorbReply()
{
    const Message reply = co_await m_connection->receiveMessage();
    restoreIdleDeadline();
    using Outcome = RequestWindow::Outcome;
    Outcome outcome = m_window.answer(reply.header);
    const RequestWindow::Request& r = outcome.request;
    if (outcome.rejected) {
        const int attempt = outcome.kind == Outcome::Kind::resend ? r.attempt : r.attempt + 1;
        qCCritical(lcTransferEngine, "Chunk %u of %s rejected (attempt %ld/%ld)", r.chunkIndex, qUtf8Printable(r.path),
                   long(attempt), long(kMaxChunkAttempts));
    }
    switch (outcome.kind) {
    case Outcome::Kind::chunkStored:
        countChunk(r.item, std::uint64_t(r.bytes.size()));
        break;
    case Outcome::Kind::fileDone:
        if (r.kind == RequestWindow::Request::Kind::link)
            m_progress->leaveOutOfTotals(m_manifest->items[r.item].categoryID, m_manifest->items[r.item].size);
        countFileDone(r.item);
        break;
    case Outcome::Kind::linkRefused:
        linkRefused(r.item, outcome.skipReason);
        break;
    case Outcome::Kind::resend: {
        std::optional<RequestWindow::Request> again = std::move(outcome.completeAgain);
        co_await transmit(std::move(outcome.request));
        if (again)
            co_await transmit(std::move(*again));
        break;
    }
    case Outcome::Kind::fileFailed: {
        std::exception_ptr failure = std::make_exception_ptr(*outcome.failure);
        co_await giveUpFile(r.item, std::move(failure));
        break;
    }
    case Outcome::Kind::skippedByDestination: {
        // The destination refused it and needs no word back.
        std::exception_ptr skipped = std::make_exception_ptr(SkippedByDestination{outcome.skipReason});
        recordFileFailure(r.item, m_manifest->items[r.item].categoryID, skipped);
        break;
    }
    case Outcome::Kind::failedByDestination:
        recordFileFailure(r.item, m_manifest->items[r.item].categoryID,
                          std::make_exception_ptr(FailedByDestination{outcome.skipReason}));
        break;
    case Outcome::Kind::bundleAnswered:
        co_await bundleAnswered(std::move(outcome));
        break;
    case Outcome::Kind::diskFull:
        throw TransferError::insufficientDiskSpace(outcome.spaceNeeded.value_or(m_progress->totalBytes() - m_bytesDone),
                                                   outcome.spaceAvailable.value_or(0));
    case Outcome::Kind::ignored:
        break;
    }
}

void SourceTransfer::restoreIdleDeadline()
{
    if (!m_deadlineExtended)
        return;
    m_deadlineExtended = false;
    setIdleDeadline(m_timeouts.idle);
}

void SourceTransfer::countChunk(qsizetype itemIndex, std::uint64_t bytes)
{
    m_bytesDone += bytes;
    TransferProgress::Batch batch(m_progress);
    if (m_progress->currentFileIndex() == itemIndex)
        m_progress->setCurrentFileBytesTransferred(m_progress->currentFileBytesTransferred() + bytes);
    m_progress->recordProgress(m_bytesDone);
    m_progress->updateCategory(m_manifest->items[itemIndex].categoryID,
                               [bytes](CategoryProgress& p) { p.bytesTransferred += bytes; });
}

void SourceTransfer::countFileDone(qsizetype itemIndex)
{
    TransferProgress::Batch batch(m_progress);
    m_manifest->markFileCompleted(itemIndex);
    m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
    m_progress->updateCategory(m_manifest->items[itemIndex].categoryID,
                               [](CategoryProgress& p) { p.filesCompleted += 1; });
}

} // namespace kivo
