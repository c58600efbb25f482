// SPDX-License-Identifier: Apache-2.0
// The destination's side of a resumed transfer: what an earlier run left is
// taken up only while it is still what that run recorded.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/Error.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/CompletedContent.h"
#include "transfer/FileHashScheme.h"
#include "transfer/FileHasher.h"
#include "transfer/TransferError.h"

#include <QHash>

#include <limits>

namespace kivo {

QCoro::Task<void> DestinationTransfer::confirmPlacedFiles()
{
    const QMap<QString, QString> placed = m_journal->state().unconfirmedFiles;
    if (placed.isEmpty())
        co_return;
    struct Check {
        QString relativePath;
        QString destination;
        QString sha256;
    };
    QList<Check> checks;
    for (auto it = placed.cbegin(); it != placed.cend(); ++it) {
        if (const WirePathCheck check = checkPath(it.key()); !check.refusal)
            checks.append({it.key(), check.destination, it.value()});
    }
    // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
    // Those hashes were made in the checkpoint's scheme, whatever this run agrees on.
    auto checking = startInBackground([writer = m_writer, flush = durableFlush(), checks,
                                       scheme = m_journal->state().fileHashScheme] {
        // What the last run left unflushed goes to disk first; then what is there is what counts.
        flush();
        QStringList confirmed;
        for (const Check& c : checks) {
            try {
                if (FileHasher::hashOfDescriptor(writer->openForReading(c.destination), scheme, c.destination) == c.sha256)
                    confirmed.append(c.relativePath);
            } catch (const std::exception&) {
                // Missing or unreadable: received again.
            }
        }
        return confirmed;
    });
    QStringList confirmed;
    try {
        confirmed = co_await finishInBackground(std::move(checking));
    } catch (const std::exception& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not confirm files received earlier:" << describe(e);
    }
    m_journal->filesCompleted(confirmed, m_clock->now());
    bool reopened = false;
    for (auto it = placed.cbegin(); it != placed.cend(); ++it) {
        if (!confirmed.contains(it.key())) {
            m_journal->reopen(it.key());
            reopened = true;
        }
    }
    if (reopened)
        m_journal->fold();
}

void DestinationTransfer::reopenChangedFiles()
{
    const ResumeState& state = m_journal->state();
    QStringList again;
    for (auto it = state.files.cbegin(); it != state.files.cend(); ++it) {
        const qsizetype i = it->hasIdentity ? indexOf(it.key()) : -1;
        if (i < 0)
            continue;
        const auto& item = m_manifest->items[i];
        if (it->sourceSize != item.size || it->identity()->sourceModified != item.sourceModified) {
            qCInfo(lcTransferEngine, "%s changed on the source since the last run; receiving it again",
                   forLog(it.key()).constData());
            again.append(it.key());
        }
    }
    // The partial file must still hold every acknowledged byte; a crash between
    // moving a file into place and recording it leaves none.
    if (const auto& f = state.inProgressFile; f && !again.contains(f->relativePath)) {
        const WirePathCheck check = checkPath(f->relativePath);
        const std::optional<std::uint64_t> size =
            check.refusal ? std::nullopt
                          : m_writer->regularFileSize(partialPathFor(check.destination, m_transferID, f->relativePath));
        if (!size || *size < f->bytesReceived)
            again.append(f->relativePath);
    }
    if (again.isEmpty())
        return;
    for (const QString& path : std::as_const(again))
        m_journal->reopen(path);
    m_journal->fold();
}

QCoro::Task<void> DestinationTransfer::reopenDamagedFiles()
{
    const ResumeState& state = m_journal->state();
    QList<RecordedFile> recorded;
    for (auto it = state.files.cbegin(); it != state.files.cend(); ++it) {
        const qsizetype i = it->completed && it->hasContent ? indexOf(it.key()) : -1;
        if (i < 0)
            continue;
        if (const WirePathCheck check = checkPath(it.key()); !check.refusal)
            recorded.append({i, check.destination, it->content});
    }
    if (recorded.isEmpty())
        co_return;
    // A look at every file: on a pool thread.
    auto looking = startInBackground([recorded] { return changedSinceRecorded(recorded); });
    const QList<qsizetype> changed = co_await finishInBackground(std::move(looking));
    for (qsizetype i : changed) {
        const QString& path = m_manifest->items[i].relativePath;
        qCInfo(lcTransferEngine, "%s was changed or removed here since the last run; receiving it again",
               forLog(path).constData());
        m_journal->reopen(path);
    }
    if (!changed.isEmpty())
        m_journal->fold();
}

void DestinationTransfer::recordContent(qsizetype itemIndex, const QString& destination)
{
    const std::optional<Sha256Digest>& hash = m_checkedHashes[itemIndex];
    const std::optional<fs::FileStatus> status = fs::status(destination, fs::Links::dontFollow);
    if (hash && status && status->isRegular())
        m_journal->contentRecorded(m_manifest->items[itemIndex].relativePath, CompletedContent::of(*hash, *status));
}

QCoro::Task<void> DestinationTransfer::recordAdaptedContent(QString categoryID)
{
    if (m_adaptedPaths.isEmpty())
        co_return;
    struct Adapted {
        qsizetype item;
        QString destination;
    };
    QList<Adapted> adapted;
    for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
        const auto& item = m_manifest->items[i];
        if (item.categoryID != categoryID || item.transferStatus != FileTransferStatus::completed)
            continue;
        if (const WirePathCheck check = checkPath(item.relativePath); !check.refusal && m_adaptedPaths.contains(check.destination))
            adapted.append({i, check.destination});
    }
    // What adapting left is what a later run expects to find: read once, on a pool thread.
    auto hashing = startInBackground([adapted, writer = m_writer, scheme = m_fileHashScheme] {
        QList<std::pair<qsizetype, std::optional<CompletedContent>>> out;
        for (const Adapted& a : adapted) {
            std::optional<CompletedContent> content;
            try {
                const UniqueFd file = writer->openForReading(a.destination);
                const std::optional<Sha256Digest> hash =
                    Sha256Digest::fromHex(FileHasher::hashOfDescriptor(file, scheme, a.destination));
                const std::optional<fs::FileStatus> status = fs::status(file);
                if (hash && status)
                    content = CompletedContent::of(*hash, *status);
            } catch (const std::exception&) {
                // Gone or unreadable after adapting: nothing to hold a later run to.
            }
            out.append({a.item, content});
        }
        return out;
    });
    for (const auto& [i, content] : co_await finishInBackground(std::move(hashing))) {
        m_journal->contentRecorded(m_manifest->items[i].relativePath, content);
        if (content && m_recordedEarlier.contains(i))
            m_recordedEarlier.insert(i, {content->hash, m_fileHashScheme});
    }
}

void DestinationTransfer::reopenDamaged(const QList<qsizetype>& items)
{
    for (qsizetype i : items) {
        const auto& item = m_manifest->items[i];
        qCCritical(lcTransferEngine, "%s changed here after it was written", forLog(item.relativePath).constData());
        m_journal->reopen(item.relativePath);
        m_manifest->markFileFailed(i);
        addFileError(item.relativePath, item.categoryID,
                     QStringLiteral("Changed or removed here after it arrived; run the transfer again to restore it"));
        ++m_damagedAtVerification;
    }
    if (!items.isEmpty())
        m_journal->fold();
}

std::uint64_t DestinationTransfer::bytesStillToCome(const TransferManifest& manifest, const ItemsByPath& index,
                                                   const std::optional<ResumeState>& earlier, bool linksTaken)
{
    // What each item still needs: all of it, less what the checkpoint has in place.
    QList<std::uint64_t> still(manifest.items.size());
    for (qsizetype i = 0; i < still.size(); ++i)
        still[i] = manifest.items[i].size;
    const auto held = [&](const QString& path, std::uint64_t bytes) {
        if (const qsizetype i = index.find(manifest.items, path); i >= 0)
            still[i] -= std::min(bytes, still[i]);
    };
    if (earlier) {
        for (auto it = earlier->files.cbegin(); it != earlier->files.cend(); ++it)
            if (it->completed)
                held(it.key(), std::numeric_limits<std::uint64_t>::max());
        for (auto it = earlier->unconfirmedFiles.cbegin(); it != earlier->unconfirmedFiles.cend(); ++it)
            held(it.key(), std::numeric_limits<std::uint64_t>::max());
        if (const auto& f = earlier->inProgressFile)
            held(f->relativePath, f->bytesReceived);
    }
    // Off the manifest's total: what is in place, and a group's names beyond the
    // readiest one, which link to it once it is whole.
    const auto grow = [](std::uint64_t& sum, std::uint64_t bytes) {
        sum += std::min(bytes, std::numeric_limits<std::uint64_t>::max() - sum);
    };
    struct Names {
        std::uint64_t still = 0;
        std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
    };
    QHash<std::uint32_t, Names> groups;
    std::uint64_t spared = 0;
    for (qsizetype i = 0; i < still.size(); ++i) {
        grow(spared, manifest.items[i].size - still[i]);
        if (const std::uint32_t group = linksTaken ? manifest.items[i].linkGroup : 0; group != 0) {
            Names& names = groups[group];
            grow(names.still, still[i]);
            names.least = std::min(names.least, still[i]);
        }
    }
    for (const Names& names : std::as_const(groups))
        grow(spared, names.still - names.least);
    return manifest.totalSize - std::min(spared, manifest.totalSize);
}

} // namespace kivo
