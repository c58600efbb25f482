// SPDX-License-Identifier: Apache-2.0
#include "app/FlowEvents.h"

#include "transfer/TransferError.h"

#include <algorithm>
#include <QCoroFuture>
#include <QtConcurrent>

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
    TransferSummary s = ofProgress(role, p);
    if (manifest)
        s.addItems(*manifest, p.fileErrors(), policySkippedOf(p), role == DeviceRole::source && p.isComplete());
    return s;
}

TransferSummary TransferSummary::ofProgress(DeviceRole role, const TransferProgress& p)
{
    TransferSummary s;
    s.role = role;
    s.filesCompleted = int(p.filesCompleted());
    s.totalFiles = int(p.totalFiles());
    s.bytes = p.bytesTransferred();
    s.durationSeconds = p.duration().value_or(0);
    s.verified = int(p.verificationFilesChecked());
    s.mismatches = p.verificationMismatches();
    s.conflictsResolved = int(p.conflictsResolved().size());
    s.error = p.error().value_or(QString());
    s.cancelled = p.isCancelled();
    return s;
}

QSet<QString> TransferSummary::policySkippedOf(const TransferProgress& p)
{
    QSet<QString> skipped;
    for (const ConflictOutcome& c : p.conflictsResolved())
        if (c.resolution == QLatin1String("skipped"))
            skipped.insert(c.relativePath);
    return skipped;
}

void TransferSummary::addItems(const TransferManifest& manifest, const QList<FileError>& errors,
                               const QSet<QString>& policySkipped, bool finished)
{
    for (const auto& item : manifest.items) {
        skipped += item.transferStatus == FileTransferStatus::skipped;
        failed += item.transferStatus == FileTransferStatus::failed;
    }
    skipped += int(manifest.skippedFolders.size());
    notTransferred = problemsOf(manifest, errors, policySkipped, finished);
}

QCoro::Task<TransferSummary> TransferSummary::compute(DeviceRole role, const TransferProgress& progress,
                                                     std::optional<TransferManifest> manifest)
{
    // Everything read from the progress record here, on its own thread, before the first suspension.
    TransferSummary summary = ofProgress(role, progress);
    if (!manifest)
        co_return summary;
    QFuture<TransferSummary> counting =
        QtConcurrent::run([summary, manifest = std::move(*manifest), errors = progress.fileErrors(),
                           skipped = policySkippedOf(progress), finished = role == DeviceRole::source && progress.isComplete()]() mutable {
            summary.addItems(manifest, errors, skipped, finished);
            return summary;
        });
    co_return co_await counting;
}

namespace {

QSet<QString> pathsOf(const TransferManifest& manifest, const QString& categoryID)
{
    QSet<QString> paths;
    for (const auto& item : manifest.items)
        if (item.categoryID == categoryID)
            paths.insert(item.relativePath);
    return paths;
}

int takeMismatches(QStringList& mismatches, const QSet<QString>& paths)
{
    return int(mismatches.removeIf([&](const QString& path) { return paths.contains(path); }));
}

} // namespace

void VerificationReport::takeCategoryFailures(const TransferManifest& manifest, const QList<CategoryFailure>& failures)
{
    for (const CategoryFailure& f : failures) {
        const int mismatched = takeMismatches(mismatches, pathsOf(manifest, f.categoryID));
        if (mismatched + f.arrived == 0)
            continue;
        categoryFailures.append(f);
        checked = std::max(0, checked - mismatched - f.arrived);
    }
}

void TransferSummary::takeCategoryFailures(const TransferManifest& manifest, const QList<CategoryFailure>& failures)
{
    for (const CategoryFailure& f : failures) {
        const QSet<QString> paths = pathsOf(manifest, f.categoryID);
        const int problems = int(notTransferred.removeIf([&](const FileProblem& p) { return paths.contains(p.path); }));
        const int mismatched = takeMismatches(mismatches, paths);
        if (problems + mismatched == 0)
            continue;
        categoryFailures.append(f);
        failed += mismatched;
        filesCompleted = std::max(0, filesCompleted - problems - mismatched);
        verified = std::max(0, verified - mismatched - f.arrived);
    }
}

QList<FileProblem> TransferSummary::problemsOf(const TransferManifest& manifest, const QList<FileError>& errors,
                                               const QSet<QString>& policySkipped, bool finished)
{
    // The first word on each path is the one shown: a destination's own refusal
    // comes before the source's report that it gave the file up.
    QHash<QString, QString> reasons;
    for (const FileError& e : errors)
        if (!reasons.contains(e.filePath))
            reasons.insert(e.filePath, e.error);
    QList<FileProblem> out;
    for (const auto& folder : manifest.skippedFolders)
        out.append({folder.relativePath, folder.text(), false, folder.categoryID, !folder.isFolder});
    for (const auto& item : manifest.items) {
        switch (item.transferStatus) {
        case FileTransferStatus::completed:
            break;
        case FileTransferStatus::skipped:
            // A placeholder is not the file; the user downloads it first.
            if (policySkipped.contains(item.relativePath) || item.relativePath.endsWith(QLatin1String(".icloud")))
                break;
            out.append({item.relativePath, reasons.value(item.relativePath, QStringLiteral("Skipped")), false, item.categoryID});
            break;
        case FileTransferStatus::failed:
            out.append({item.relativePath, reasons.value(item.relativePath, QStringLiteral("Failed")), true, item.categoryID});
            break;
        case FileTransferStatus::pending:
        case FileTransferStatus::inProgress:
            if (finished)
                out.append({item.relativePath, reasons.value(item.relativePath, QStringLiteral("Not sent")), true, item.categoryID});
            break;
        }
    }
    // A folder or link the destination could not place: it has no status of its own, only its error.
    // An unreadable folder is still created, and is listed above already.
    QSet<QString> unread;
    for (const auto& folder : manifest.skippedFolders)
        unread.insert(folder.relativePath);
    for (const auto& entry : manifest.entries)
        if (const auto reason = reasons.constFind(entry.relativePath); reason != reasons.cend() && !unread.contains(entry.relativePath))
            out.append({entry.relativePath, *reason, true, entry.categoryID});
    return out;
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
    if (const auto missing = std::ranges::count_if(s.notTransferred, [](const FileProblem& p) { return !p.neverCopied; }))
        return FlowFailure{FlowExit::transferFailed,
                           QStringLiteral("%1 file(s) or folder(s) could not be transferred").arg(missing)};
    if (!s.categoryFailures.isEmpty()) {
        const CategoryFailure& f = s.categoryFailures.first();
        return FlowFailure{f.serviceUnavailable ? FlowExit::serviceUnavailable : FlowExit::transferFailed, f.reason};
    }
    return std::nullopt;
}

} // namespace kivo
