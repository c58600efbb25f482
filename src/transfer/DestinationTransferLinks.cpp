// SPDX-License-Identifier: Apache-2.0
// The destination's files that arrive as further names of files this
// transfer already wrote: checked like any path, then linked.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/Logging.h"

namespace kivo {

HardLinkRequest DestinationTransfer::linkRequest(qsizetype itemIndex, const QString& targetPath,
                                                 const std::optional<QString>& hash) const
{
    HardLinkRequest r;
    r.link = &m_manifest->items[itemIndex];
    r.announcedHash = hash;
    const qsizetype t = indexOf(targetPath);
    if (t < 0)
        return r;
    const auto& target = m_manifest->items[t];
    r.target = &target;
    r.targetIsLink = t == itemIndex;
    r.targetPathRefusal = checkPath(targetPath).refusal;
    if (target.transferStatus != FileTransferStatus::completed)
        return r;
    r.targetState = HardLinkRequest::TargetState::notOurs;
    if (m_consumedByHandler.contains(t) || m_conflictSkippedPaths.contains(target.relativePath))
        return r;
    // Written in this run, or by an earlier one that recorded what it left.
    if (has(t, ItemFlag::written) && m_checkedHashes[t])
        r.targetHash = m_checkedHashes[t];
    // A hash recorded under the other scheme cannot answer for a link: its bytes travel instead.
    else if (const auto earlier = m_recordedEarlier.constFind(t);
             earlier != m_recordedEarlier.cend() && earlier->scheme == m_fileHashScheme)
        r.targetHash = earlier->digest;
    if (r.targetHash)
        r.targetState = HardLinkRequest::TargetState::ours;
    return r;
}

QCoro::Task<void> DestinationTransfer::handleLinkComplete(MessageHeader header)
{
    const QString path = header.filePath.value_or(QString());
    auto ack = [&](std::optional<QString> refusal) {
        MessageHeader a = makeHeader(MessageType::fileAck);
        a.filePath = path;
        if (refusal) {
            a.errorCode = QString::fromLatin1(RequestWindow::kLinkRefused);
            a.errorMessage = std::move(refusal);
        }
        return a;
    };
    if (std::optional<MessageHeader> skip = handlerSkipFor(path)) {
        co_await queue(std::move(*skip));
        co_return;
    }
    const Target t = target(path);
    if (!t.refusal.isEmpty()) {
        // Neither as a link nor as bytes: the file is refused, and the source hears why.
        qCWarning(lcTransferEngine, "Link %s refused: %s", forLog(path).constData(), qUtf8Printable(t.refusal));
        failRefusedItem(t);
        MessageHeader skip = makeHeader(MessageType::fileSkip);
        skip.filePath = path;
        skip.errorMessage = t.refusal;
        co_await queue(std::move(skip));
        co_return;
    }
    const auto item = m_manifest->items[t.itemIndex];
    if (item.transferStatus != FileTransferStatus::pending) {
        co_await queue(ack(std::nullopt));
        co_return;
    }
    const QString targetPath = *header.linkTarget;
    const HardLinkRequest request = linkRequest(t.itemIndex, targetPath, header.chunkHash);
    const std::optional<QString> refusal =
        m_announceHardLinks ? request.refusal() : std::optional<QString>(QStringLiteral("Links were not offered"));
    if (refusal) {
        qCWarning(lcTransferEngine, "Link %s -> %s refused: %s", forLog(path).constData(), forLog(targetPath).constData(),
                  qUtf8Printable(*refusal));
        co_await queue(ack(refusal));
        co_return;
    }
    bool refused = false;
    const std::optional<QString> failure =
        co_await placeLink(t, checkPath(targetPath).destination, *request.targetHash, &refused);
    if (refused) {
        // The bytes follow; the name stays this transfer's to write.
        co_await queue(ack(failure));
        co_return;
    }
    if (m_incoming.itemIndex == t.itemIndex)
        m_incoming = {};
    m_chunkFrontiers.remove(t.itemIndex);
    m_gaps.remove(t.itemIndex);
    if (failure) {
        abandonFile(t, path, item.categoryID, *failure);
    } else {
        m_progress->leaveOutOfTotals(item.categoryID, item.size);
        recordFinishedFile(t, item.relativePath, item.categoryID);
    }
    co_await queue(ack(std::nullopt));
}

QCoro::Task<std::optional<QString>> DestinationTransfer::placeLink(Target t, QString targetDestination,
                                                                  Sha256Digest content, bool* refused)
{
    const auto& item = m_manifest->items[t.itemIndex];
    const QString& path = item.relativePath;
    // The conflict policy decides about the name as it does for any file.
    const bool write = !m_conflictSkippedPaths.contains(path) && shouldWrite(t);
    bool alreadyThere = false;
    if (const auto pending = m_pendingConflicts.constFind(t.itemIndex); pending != m_pendingConflicts.cend()) {
        const ConflictDecision decision = *pending;
        m_pendingConflicts.erase(pending);
        // The same content already there (an earlier run's copy) is no conflict.
        if (co_await holdsContent(t.destination, content.toHex())) {
            alreadyThere = !decision.write;
            m_conflictSkippedPaths.remove(path);
        } else {
            recordConflict(item, decision);
        }
    }
    if (!write || alreadyThere)
        co_return std::nullopt;
    // A name in place is always known as this transfer's.
    m_journal->flush();
    DestinationWriter::HardLinkPlacement placed{};
    try {
        placed = m_writer->placeHardLink(targetDestination, t.partial, t.destination, !has(t.itemIndex, ItemFlag::freshTarget));
    } catch (const WriteFailure& e) {
        qCWarning(lcTransferEngine, "Could not link %s: %s", forLog(path).constData(), qUtf8Printable(e.description()));
        *refused = true;
        co_return e.description();
    }
    if (placed == DestinationWriter::HardLinkPlacement::kept) {
        if (m_writer->linkTarget(t.destination))
            co_return QStringLiteral("A link stands where the file belongs; it was not written through it");
        qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(path), "destination appeared during transfer");
        m_progress->addConflictOutcome({QUuid::createUuid(), path, QStringLiteral("skipped"), m_clock->now()});
        m_conflictSkippedPaths.insert(path);
        co_return std::nullopt;
    }
    recordWritten(t.itemIndex);
    m_checkedHashes[t.itemIndex] = content;
    co_return std::nullopt;
}

} // namespace kivo
