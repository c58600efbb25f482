// SPDX-License-Identifier: Apache-2.0
// Bundled files are checked, written and renamed on the writer threads while
// the connection's thread reads on. What the source relies on stays true:
// - replies come in the order of its requests (each belongs to its oldest), so
//   bundles are settled and answered strictly in the order they arrived, and
//   any other frame waits until every bundle before it is answered;
// - an answer claims only what is so: a bundle's acknowledgement goes out once
//   each of its files is in place, or failed;
// - a file is recorded as begun, in one checkpoint write per bundle, before a
//   writer touches it, and recorded as finished only after the flush that
//   follows its rename (DurableCompletions), so a kill at any moment resumes.
// A file is placed by one writer from start to rename; a name met again
// before its earlier bundle is settled takes the connection's own steps, in turn.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/TransferError.h"
#include "transfer/TreeEntries.h"

#include <QCoroFuture>
#include <QUuid>

namespace kivo {

QCoro::Task<std::optional<Message>> DestinationTransfer::nextMessage()
{
    if (m_writingFailure)
        std::rethrow_exception(m_writingFailure);
    std::exception_ptr failed;
    m_awaitingMessage = true;
    try {
        Message m = co_await m_connection->receiveMessage();
        m_awaitingMessage = false;
        co_return m;
    } catch (...) {
        failed = std::current_exception();
    }
    m_awaitingMessage = false;
    if (m_isCancelled)
        co_return std::nullopt;
    // The writing's own failure (a full disk) is the cause; the closed connection followed from it.
    std::rethrow_exception(m_writingFailure ? m_writingFailure : failed);
}

bool DestinationTransfer::placesOnWriters(const FileBundle::Entry& entry, const QByteArray& payload, Target* t)
{
    const qsizetype i = indexOf(entry.path);
    if (!m_writers || entry.size == 0 || i < 0 || m_unsettled.contains(i) || m_handlerRefusals.contains(i))
        return false;
    const auto& item = m_manifest->items[i];
    if (item.size != entry.size || !has(i, ItemFlag::admitted) || m_pendingConflicts.contains(i) || m_gaps.contains(i))
        return false;
    // The mode of a file given to another account is set through the privileged helper.
    if (item.mode && m_corrector && m_userMapping && m_userMapping->sourceUsername != m_userMapping->destinationUsername)
        return false;
    MessageHeader chunk;
    chunk.filePath = entry.path;
    chunk.chunkIndex = 0;
    return chunkRefusal(chunk, QByteArray::fromRawData(payload.constData() + entry.offset, entry.size), t).isEmpty();
}

void DestinationTransfer::postToWriters(const std::shared_ptr<PendingBundle>& bundle, qsizetype entry, const Target& t)
{
    const FileBundle::Entry& e = bundle->entries[entry];
    const auto& item = m_manifest->items[t.itemIndex];
    WholeFile file;
    file.payload = bundle->payload;
    file.offset = e.offset;
    file.size = e.size;
    file.expectedHash = e.hash;
    file.partial = t.partial;
    file.destination = t.destination;
    file.replace = !has(t.itemIndex, ItemFlag::freshTarget);
    file.sparse = item.sparse;
    file.metadata = {item.mode, item.modifiedTime(), item.extendedAttributes};
    bundle->unposted -= e.size;
    const std::size_t folder = DestinationWriters::folderKey(file.partial);
    m_writers->post(
        e.size,
        [bundle, entry, file = std::move(file)](DestinationWriter& writer) {
            bundle->files[std::size_t(entry)].outcome = placeWholeFile(writer, file);
            bundle->placed->done();
        },
        folder);
}

void DestinationTransfer::startSettling()
{
    if (m_settling)
        return;
    m_settling = true;
    // Runs on its own from here; whatever ends it is kept for the connection's thread.
    settleBundles();
}

QCoro::Task<void> DestinationTransfer::settleBundles()
{
    QPromise<void> settled;
    settled.start();
    m_settled = settled.future();
    while (!m_pendingBundles.empty()) {
        const std::shared_ptr<PendingBundle> bundle = m_pendingBundles.front();
        // Built as a named future first: g++ 12 mishandles temporaries inside co_await.
        QFuture<void> placed = bundle->placed->future();
        co_await placed;
        try {
            co_await settleBundle(*bundle, m_writingFailure != nullptr);
        } catch (...) {
            // The connection's thread may be waiting for a frame that never comes: closing wakes it to end the transfer.
            if (!m_writingFailure) {
                m_writingFailure = std::current_exception();
                if (m_connection)
                    m_connection->close();
            }
        }
        m_writers->release(bundle->unposted);
        for (const FileBundle::Entry& entry : std::as_const(bundle->entries)) {
            if (const auto it = m_unsettled.find(indexOf(entry.path)); it != m_unsettled.end() && --*it == 0)
                m_unsettled.erase(it);
        }
        m_pendingBundles.pop_front();
    }
    m_settling = false;
    settled.finish();
}

QCoro::Task<void> DestinationTransfer::awaitWriting()
{
    while (m_settling) {
        QFuture<void> settled = m_settled;
        co_await settled;
    }
}

std::optional<BundleFailure> DestinationTransfer::settlePlaced(const FileBundle::Entry& entry, const Target& t,
                                                               const WholeFileOutcome& out, bool ending)
{
    using Step = WholeFileOutcome::Step;
    m_chunkFrontiers.insert(t.itemIndex, std::max(chunkFrontier(t.itemIndex), 1u));
    switch (out.step) {
    case Step::diskFull:
        if (ending) {
            dropPartial(entry.path);
            return BundleFailure{entry.path, QStringLiteral("Insufficient disk space"), false};
        } else {
            m_bundleReplies->append(diskFullError(out.available));
            throw TransferError::insufficientDiskSpace(std::uint64_t(entry.size), out.available);
        }
    case Step::hashMismatch:
        noteMissing(t.itemIndex, 0);
        return BundleFailure{entry.path, QStringLiteral("Hash mismatch"), false};
    case Step::notRun:
        noteMissing(t.itemIndex, 0);
        return BundleFailure{entry.path, QStringLiteral("Write failed"), false};
    case Step::writeFailed:
        qCCritical(lcTransferEngine, "Write failed: %s", qUtf8Printable(out.error));
        return BundleFailure{entry.path, failUnwritable(t, out.error), false, true};
    case Step::placed:
    case Step::nameTaken:
    case Step::commitFailed:
        break;
    }
    recordChunk(t, 0, std::uint64_t(entry.size), true);
    settleCompletion(t, entry, out);
    return std::nullopt;
}

// What the file's fileComplete would have done once its bytes checked out.
void DestinationTransfer::settleCompletion(const Target& t, const FileBundle::Entry& entry, const WholeFileOutcome& out)
{
    const QString path = m_manifest->items[t.itemIndex].relativePath;
    const QString categoryID = m_manifest->items[t.itemIndex].categoryID;
    m_chunkFrontiers.remove(t.itemIndex);
    for (const QString& warning : out.warnings)
        qCWarning(lcTransferEngine).noquote() << warning;
    if (!out.refusedAttributes.isEmpty()) {
        if (!m_attributeRefusals)
            m_attributeRefusals = std::make_shared<AttributeRefusals>();
        m_attributeRefusals->report(out.refusedAttributes, path);
    }
    std::optional<QString> failure;
    if (out.step == WholeFileOutcome::Step::placed) {
        recordWritten(t.itemIndex);
        m_checkedHashes[t.itemIndex] = Sha256Digest::fromHex(entry.hash);
        if (m_checkedHashes[t.itemIndex] && std::uint64_t(entry.size) >= EarlyReadBack::kSmallest) {
            if (!m_readBack)
                m_readBack = std::make_shared<EarlyReadBack>(m_writer, m_fileHashScheme, m_manifest->items.size());
            m_readBack->add(t.itemIndex, t.destination, *m_checkedHashes[t.itemIndex], std::uint64_t(entry.size));
        }
    } else if (out.step == WholeFileOutcome::Step::nameTaken && out.linkAtName) {
        // A link planted at the name is no one's file to keep: the file failed.
        failure = QStringLiteral("A link stands where the file belongs; it was not written through it");
    } else if (out.step == WholeFileOutcome::Step::nameTaken) {
        // Someone else's file took the name while this one arrived: theirs stays.
        qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(path), "destination appeared during transfer");
        m_progress->addConflictOutcome({QUuid::createUuid(), path, QStringLiteral("skipped"), m_clock->now()});
        m_conflictSkippedPaths.insert(path);
    } else {
        failure = out.error;
    }
    if (failure)
        abandonFile(t, path, categoryID, *failure);
    else
        recordFinishedFile(t, path, categoryID, &out.status);
}

} // namespace kivo
