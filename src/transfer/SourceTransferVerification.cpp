// SPDX-License-Identifier: Apache-2.0
// The source's end of verification: the destination's answer compared with
// the hashes this side sent.
#include "transfer/SourceTransfer.h"

#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/ItemsByPath.h"
#include "transfer/Verification.h"

namespace kivo {

QCoro::Task<void> SourceTransfer::runVerification()
{
    co_await drainWindow();
    m_progress->setIsVerifying(true);
    qCInfo(lcTransferEngine, "Asking the destination to verify %lld file(s)", qlonglong(m_sentHashCount));
    MessageHeader request = makeHeader(MessageType::verificationRequest);
    // A destination that knows it answers in pieces none of which is large.
    request.hashBatches = 1;
    co_await send(std::move(request));
    // The destination hashes what it wrote before it answers.
    std::uint64_t bytes = 0;
    for (const auto& item : std::as_const(m_manifest->items))
        if (item.transferStatus == FileTransferStatus::completed && item.size <= FileHasher::kVerificationSizeLimit)
            bytes += item.size;
    setIdleDeadline(m_timeouts.forWorkOver(bytes));
    m_deadlineExtended = true;
    std::optional<VerificationTally> tally;
    // Answers name files by path; the index is sorted on the pool thread, once.
    auto byPath = std::make_shared<std::optional<ItemsByPath>>();
    for (;;) {
        const Message reply = co_await m_connection->receiveMessage();
        restoreIdleDeadline();
        if (reply.header.type != MessageType::verificationResponse) {
            tally.reset();
            break;
        }
        // One answer from a destination that does not batch may hold every
        // file: it is read and compared on a pool thread.
        auto comparing = startInBackground(
            [reply, items = m_manifest->items, byPath, sent = m_sentHashes]() -> std::optional<VerificationTally> {
                const std::optional<QList<FileVerification>> hashes = hashesOf(reply);
                if (!hashes)
                    return std::nullopt;
                if (!*byPath)
                    byPath->emplace(items);
                return compareWithSent(*hashes, items, **byPath, sent);
            });
        const std::optional<VerificationTally> part = co_await finishInBackground(std::move(comparing));
        if (!part) {
            tally.reset();
            break;
        }
        if (!tally)
            tally.emplace();
        tally->checked += part->checked;
        tally->mismatches += part->mismatches;
        if (reply.header.hashesRemaining.value_or(0) == 0)
            break;
    }
    if (!tally) {
        qCCritical(lcTransferEngine) << "No verification response received";
        m_progress->setIsVerifying(false);
    } else {
        recordVerification(*tally);
    }
    Q_EMIT verificationFinished();
}

void SourceTransfer::recordVerification(const VerificationTally& tally)
{
    // A warning for the log: the summary names each one to the user, or the category it stands for.
    for (const QString& path : tally.mismatches)
        qCWarning(lcTransferEngine, "Verification mismatch: %s", qUtf8Printable(path));
    TransferProgress::Batch batch(m_progress);
    m_progress->setVerificationMismatches(tally.mismatches);
    m_progress->setVerificationFilesChecked(tally.checked);
    m_progress->setIsVerifying(false);
    if (!tally.mismatches.isEmpty())
        qCCritical(lcTransferEngine, "%ld file(s) failed verification", long(tally.mismatches.size()));
    else
        qCInfo(lcTransferEngine) << "All files verified successfully";
}

} // namespace kivo
