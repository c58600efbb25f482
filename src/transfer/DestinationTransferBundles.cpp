// SPDX-License-Identifier: Apache-2.0
// Many whole small files in one frame. Each file goes through exactly the
// steps its own chunkData and fileComplete would, so it is checked and fails
// alone as it would there; the replies those steps give are gathered into the
// bundle's one fileBundleAck. The checkpoint is written once per bundle,
// before the first of its files is written. Most files are checked, written
// and renamed on the writer threads (DestinationTransferWriting.cpp).
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/Logging.h"
#include "transfer/TransferError.h"

namespace kivo {

namespace {

// What a file's own reply says of it; nullopt when it landed (or needs nothing more).
std::optional<BundleFailure> failureIn(const MessageHeader& reply, const QString& path)
{
    switch (reply.type) {
    case MessageType::chunkAck:
        return std::nullopt;
    case MessageType::fileAck:
        if (!reply.errorCode)
            return std::nullopt;
        break;
    case MessageType::fileSkip:
        return BundleFailure{path, reply.errorMessage.value_or(QStringLiteral("Skipped by destination")), true};
    case MessageType::chunkNack:
        if (reply.errorCode == QLatin1String(RequestWindow::kFileFailed))
            return BundleFailure{path, reply.errorMessage.value_or(QStringLiteral("Write failed")), false, true};
        break;
    default:
        break;
    }
    return BundleFailure{path, reply.errorMessage.value_or(QStringLiteral("Rejected")), false};
}

// Points the engine's replies at a bundle's list while it is handled, whatever ends it.
class GatheredReplies {
public:
    GatheredReplies(QList<MessageHeader>*& slot, bool& recorded) : m_slot(slot), m_recorded(recorded) { m_slot = &m_replies; }
    ~GatheredReplies()
    {
        m_slot = nullptr;
        m_recorded = false;
    }
    GatheredReplies(const GatheredReplies&) = delete;
    GatheredReplies& operator=(const GatheredReplies&) = delete;
    const QList<MessageHeader>& replies() const { return m_replies; }

private:
    QList<MessageHeader>*& m_slot;
    bool& m_recorded;
    QList<MessageHeader> m_replies;
};

} // namespace

QCoro::Task<void> DestinationTransfer::answer(MessageHeader reply, bool now)
{
    if (m_bundleReplies) {
        m_bundleReplies->append(std::move(reply));
        co_return;
    }
    if (now)
        co_await send(std::move(reply));
    else
        co_await queue(std::move(reply));
}

QCoro::Task<void> DestinationTransfer::handleFileBundle(Message message)
{
    if (m_bundleBytes == 0)
        throw TransferError::invalidMessage(QStringLiteral("File bundle from a source that did not agree to them"));
    auto bundle = std::make_shared<PendingBundle>();
    bundle->payload = message.payload.value_or(QByteArray());
    auto parsed = FileBundle::entries(message.header, bundle->payload.size(), m_bundleBytes);
    if (const QString* malformed = std::get_if<QString>(&parsed))
        throw TransferError::invalidMessage(*malformed);
    bundle->entries = std::get<QList<FileBundle::Entry>>(std::move(parsed));
    message = {};
    // Counted against the writers' cap until settled: a source that sends past
    // its window waits here, and the frames behind it stay unread.
    co_await m_writers->reserve(std::uint64_t(bundle->payload.size()));
    bundle->unposted = std::uint64_t(bundle->payload.size());

    // Every file the policies let in is recorded as begun, in one write, before
    // any byte of them lands. A file still in an unsettled bundle is let in when its turn comes.
    m_admittingBundle = true;
    for (const FileBundle::Entry& entry : std::as_const(bundle->entries)) {
        if (!m_unsettled.contains(indexOf(entry.path)))
            admitBundled(entry, bundle->payload);
        else
            bundle->admittedAll = false;
    }
    m_admittingBundle = false;
    try {
        m_journal->flush();
    } catch (const std::exception& e) {
        // Unrecorded, none of them may take its name: the transfer ends here.
        qCCritical(lcTransferEngine).noquote() << "Could not record a bundle's files:" << describe(e);
        m_writers->release(bundle->unposted);
        throw;
    }
    bundle->files.resize(std::size_t(bundle->entries.size()));
    QList<qsizetype> placed;
    for (qsizetype i = 0; i < bundle->entries.size(); ++i) {
        const FileBundle::Entry& entry = bundle->entries[i];
        PendingBundle::File& file = bundle->files[std::size_t(i)];
        file.onWriters = placesOnWriters(entry, bundle->payload, &file.target);
        if (file.onWriters)
            placed.append(i);
        if (const qsizetype item = indexOf(entry.path); item >= 0)
            m_unsettled[item] += 1;
    }
    bundle->placed = std::make_shared<WorkCountdown>(placed.size());
    for (qsizetype i : std::as_const(placed))
        postToWriters(bundle, i, bundle->files[std::size_t(i)].target);
    m_pendingBundles.push_back(std::move(bundle));
    startSettling();
}

QCoro::Task<void> DestinationTransfer::settleBundle(PendingBundle& bundle, bool ending)
{
    GatheredReplies gathered(m_bundleReplies, m_bundleRecorded);
    // A file let in only now is recorded before it takes its name.
    m_bundleRecorded = bundle.admittedAll;
    QList<BundleFailure> failures;
    std::exception_ptr stopped;
    std::optional<MessageHeader> stopReply;
    for (qsizetype i = 0; i < bundle.entries.size(); ++i) {
        const FileBundle::Entry& entry = bundle.entries[i];
        const PendingBundle::File& file = bundle.files[std::size_t(i)];
        std::optional<BundleFailure> failure;
        // Past a failure only what a writer already placed is recorded; the rest waits for a resume.
        if (file.onWriters && (ending || stopped)) {
            settlePlaced(entry, file.target, file.outcome, true);
            continue;
        }
        if (ending || stopped)
            continue;
        try {
            if (file.onWriters)
                failure = settlePlaced(entry, file.target, file.outcome, false);
            else if (entry.size > 0) // an empty file has no chunk: its completion creates it, as today
                failure = co_await receiveBundledChunk(entry, bundle.payload.mid(entry.offset, entry.size));
        } catch (...) {
            // A full disk: what already landed stays, then the transfer ends as it would.
            stopped = std::current_exception();
        }
        if (stopped) {
            // The file that met the full disk left the error its own chunk would have sent.
            if (!gathered.replies().isEmpty() && gathered.replies().last().type == MessageType::error)
                stopReply = gathered.replies().last();
            dropPartial(entry.path);
            continue;
        }
        if (!failure && !file.onWriters)
            failure = co_await completeBundledFile(entry);
        if (failure)
            failures.append(std::move(*failure));
    }
    m_incoming = {};
    if (stopped) {
        if (stopReply)
            co_await send(std::move(*stopReply));
        std::rethrow_exception(stopped);
    }
    if (ending)
        co_return;
    MessageHeader ack = makeHeader(MessageType::fileBundleAck);
    if (!failures.isEmpty())
        ack.bundleFailures = std::move(failures);
    // The next bundle's answer follows soon and takes this one along; the last goes out now,
    // since the connection's thread may already be waiting for a frame.
    if (m_pendingBundles.size() > 1)
        co_await queue(std::move(ack));
    else
        co_await send(std::move(ack));
}

void DestinationTransfer::admitBundled(const FileBundle::Entry& entry, const QByteArray& payload)
{
    const qsizetype i = indexOf(entry.path);
    if (i < 0 || m_handlerRefusals.contains(i) || m_manifest->items[i].size != entry.size)
        return;
    MessageHeader chunk;
    chunk.filePath = entry.path;
    chunk.chunkIndex = 0;
    Target t;
    // The checks its chunk meets first; what fails them is refused again, with its reason, when its turn comes.
    if (chunkRefusal(chunk, QByteArray::fromRawData(payload.constData() + entry.offset, entry.size), &t).isEmpty())
        shouldWrite(t);
}

void DestinationTransfer::dropPartial(const QString& path)
{
    // Its one chunk did not fit: what did is of no use, and the room it takes is
    // what the checkpoint needs to record the files before it.
    const qsizetype i = indexOf(path);
    if (i < 0 || !has(i, ItemFlag::admitted))
        return;
    if (const Target t = target(path); t.refusal.isEmpty()) {
        try {
            m_writer->remove(t.partial);
        } catch (const WriteFailure& e) {
            qCWarning(lcTransferEngine).noquote() << "Could not remove" << t.partial << e.description();
        }
    }
    set(i, ItemFlag::admitted, false);
    m_journal->fileAbandoned(path, m_clock->now());
    if (m_incoming.itemIndex == i)
        m_incoming = {};
}

QCoro::Task<std::optional<BundleFailure>> DestinationTransfer::receiveBundledChunk(const FileBundle::Entry& entry,
                                                                                  QByteArray bytes)
{
    // A whole file in one piece, or nothing: a short one would land as a truncated copy.
    if (const qsizetype i = indexOf(entry.path); i >= 0 && m_manifest->items[i].size != entry.size) {
        qCWarning(lcTransferEngine, "Bundled %s is %u bytes, not the %llu announced", forLog(entry.path).constData(),
                  entry.size, qulonglong(m_manifest->items[i].size));
        co_return BundleFailure{entry.path, QStringLiteral("Size differs from the manifest"), false};
    }
    MessageHeader chunk;
    chunk.type = MessageType::chunkData;
    chunk.transferID = m_transferID;
    chunk.filePath = entry.path;
    chunk.chunkIndex = 0;
    chunk.totalChunks = 1;
    chunk.chunkHash = entry.hash;
    chunk.payloadSize = entry.size;
    const qsizetype before = m_bundleReplies->size();
    co_await handleIncomingChunk(std::move(chunk), std::move(bytes));
    if (m_bundleReplies->size() == before)
        co_return BundleFailure{entry.path, QStringLiteral("Rejected"), false};
    co_return failureIn(m_bundleReplies->last(), entry.path);
}

QCoro::Task<std::optional<BundleFailure>> DestinationTransfer::completeBundledFile(const FileBundle::Entry& entry)
{
    // Only an empty file can get here unchecked: its completion is its first step.
    const QString refusal = entry.size == 0 ? target(entry.path).refusal : QString();
    MessageHeader complete;
    complete.type = MessageType::fileComplete;
    complete.transferID = m_transferID;
    complete.filePath = entry.path;
    complete.chunkHash = entry.hash;
    const qsizetype before = m_bundleReplies->size();
    co_await handleFileComplete(std::move(complete));
    if (m_bundleReplies->size() == before)
        co_return BundleFailure{entry.path, QStringLiteral("Rejected"), false};
    const MessageHeader& reply = m_bundleReplies->last();
    if (!refusal.isEmpty() && reply.type == MessageType::fileAck)
        co_return BundleFailure{entry.path, refusal, false};
    co_return failureIn(reply, entry.path);
}

} // namespace kivo
