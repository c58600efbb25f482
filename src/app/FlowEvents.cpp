#include "app/FlowEvents.h"

#include "transfer/TransferError.h"

namespace kivo {

ProgressSnapshot ProgressSnapshot::of(const TransferProgress& p)
{
    ProgressSnapshot s;
    s.bytes = p.bytesTransferred();
    s.totalBytes = p.totalBytes();
    s.files = int(p.filesCompleted());
    s.totalFiles = int(p.totalFiles());
    s.bytesPerSecond = p.speedBytesPerSecond();
    s.secondsRemaining = p.estimatedTimeRemaining();
    s.currentFile = p.currentFilePath();
    s.verifying = p.isVerifying();
    return s;
}

TransferSummary TransferSummary::of(DeviceRole role, const TransferProgress& p,
                                    const std::optional<TransferManifest>& manifest)
{
    TransferSummary s;
    s.role = role;
    s.filesCompleted = int(p.filesCompleted());
    s.totalFiles = int(p.totalFiles());
    s.bytes = p.bytesTransferred();
    s.durationSeconds = p.duration().value_or(0);
    if (manifest) {
        for (const auto& item : manifest->items) {
            s.skipped += item.transferStatus == FileTransferStatus::skipped;
            s.failed += item.transferStatus == FileTransferStatus::failed;
        }
    }
    s.verified = int(p.verificationFilesChecked());
    s.mismatches = p.verificationMismatches();
    s.conflictsResolved = int(p.conflictsResolved().size());
    s.error = p.error().value_or(QString());
    s.cancelled = p.isCancelled();
    return s;
}

std::optional<FlowFailure> failureOf(const TransferSummary& s)
{
    // Cancellation first: a cancelled transfer usually also carries an error.
    if (s.cancelled)
        return FlowFailure{FlowExit::transferFailed,
                           QStringLiteral("The migration was cancelled. You can start over at any time.")};
    if (!s.error.isEmpty())
        return FlowFailure{FlowExit::transferFailed, s.error};
    if (!s.mismatches.isEmpty())
        return FlowFailure{FlowExit::transferFailed, TransferError::verificationFailed(s.mismatches).description()};
    return std::nullopt;
}

} // namespace kivo
