// SPDX-License-Identifier: Apache-2.0
// Whole small files, several to a frame, to a destination that takes them:
// which files go, how they are read and packed, and what the one reply per
// bundle does to each of them.
#include "transfer/SourceTransfer.h"

#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/TransferError.h"

#include <QHash>

namespace kivo {

namespace {

struct ToRead {
    qsizetype item;
    QString absolutePath;
    QString relativePath;
    std::uint64_t size;
};

// A bundle's files read whole, and those that could not be, with why.
struct ReadBundle {
    QList<RequestWindow::BundledFile> files;
    QByteArray bytes;
    QList<std::pair<qsizetype, std::exception_ptr>> failed;
};

// Each file is read once, straight into its place in the bundle, and hashed
// from there, as its single chunk would be.
ReadBundle readBundle(const QList<ToRead>& files, FileHashScheme scheme)
{
    ReadBundle out;
    qsizetype total = 0;
    for (const ToRead& f : files)
        total += qsizetype(f.size);
    out.bytes.reserve(total);
    for (const ToRead& f : files) {
        const qsizetype at = out.bytes.size();
        try {
            SourceFileReader reader(f.absolutePath, f.size, scheme);
            out.bytes.resize(at + qsizetype(f.size));
            if (f.size > 0)
                reader.readWhole(out.bytes.data() + at);
            reader.checkUnchanged();
            out.files.append({f.item, f.relativePath, reader.finishHex(), at, qsizetype(f.size), 0});
        } catch (...) {
            // Its bytes go too: the files after it keep their offsets.
            out.bytes.resize(at);
            out.failed.append({f.item, std::current_exception()});
        }
    }
    return out;
}

} // namespace

bool SourceTransfer::travelsInBundle(qsizetype itemIndex) const
{
    if (m_bundleBytes == 0)
        return false;
    const auto& item = m_manifest->items[itemIndex];
    // A file with other names goes on its own, so its names can link to it; the
    // one the checkpoint left half-sent continues where it stopped.
    if (!FileBundle::fitsAlone(item.size) || item.size > m_bundleBytes || m_links.groupOf(itemIndex) != 0)
        return false;
    return !(m_resumeState && m_resumeState->inProgressFile && m_resumeState->inProgressFile->relativePath == item.relativePath);
}

QCoro::Task<qsizetype> SourceTransfer::sendBundledRun(QList<qsizetype> indices, QList<Action> plan, qsizetype k)
{
    // The run of bundled files from k, cut into bundles by the packing limits
    // one bundle ahead of the one travelling: a run may be the whole category,
    // and its list of bundles cost more than the bundles in flight.
    qsizetype end = k;
    auto cutNext = [&] {
        QList<qsizetype> bundle;
        for (FileBundle::Packer packer(m_bundleBytes); end < plan.size(); ++end) {
            const qsizetype index = indices[end];
            if (plan[end] != Action::send || !travelsInBundle(index))
                break;
            const auto& item = m_manifest->items[index];
            // A file that fits no more goes first in the next bundle.
            if (!packer.add(item.size, item.relativePath.size() * 3) && !bundle.isEmpty())
                break;
            bundle.append(index);
        }
        return bundle;
    };
    auto startReading = [this, scheme = m_fileHashScheme](const QList<qsizetype>& bundle) {
        QList<ToRead> files;
        files.reserve(bundle.size());
        for (const qsizetype index : bundle) {
            const auto& item = m_manifest->items[index];
            files.append({index, item.absolutePath(), item.relativePath, item.size});
        }
        return startInBackground([files = std::move(files), scheme] { return readBundle(files, scheme); });
    };
    // The next bundle is read while this one travels.
    QList<qsizetype> bundle = cutNext();
    auto next = startReading(bundle);
    while (!bundle.isEmpty()) {
        if (m_isPaused || m_peerPaused)
            co_await waitWhilePaused();
        if (m_isCancelled)
            co_return end;
        ReadBundle read = co_await finishInBackground(std::move(next));
        bundle = cutNext();
        if (!bundle.isEmpty())
            next = startReading(bundle);
        for (const auto& failed : std::as_const(read.failed))
            co_await giveUpFile(failed.first, failed.second);
        if (read.files.isEmpty())
            continue;
        if (m_sentHashes.size() < m_manifest->items.size())
            m_sentHashes.resize(m_manifest->items.size());
        for (const RequestWindow::BundledFile& f : std::as_const(read.files)) {
            m_sentHashCount += !m_sentHashes[f.item];
            m_sentHashes[f.item] = Sha256Digest::fromHex(f.hash);
        }
        beginFile(read.files.last().item);
        RequestWindow::Request request;
        request.kind = RequestWindow::Request::Kind::bundle;
        request.path = read.files.first().path;
        request.bytes = std::move(read.bytes);
        request.files = std::move(read.files);
        co_await sendRequest(std::move(request));
    }
    co_return end;
}

QCoro::Task<void> SourceTransfer::bundleAnswered(RequestWindow::Outcome outcome)
{
    QHash<QString, BundleFailure> failures;
    for (const BundleFailure& f : std::as_const(outcome.bundleFailures))
        failures.insert(f.filePath, f);
    RequestWindow::Request again;
    again.kind = RequestWindow::Request::Kind::bundle;
    for (const RequestWindow::BundledFile& f : std::as_const(outcome.request.files)) {
        const auto failure = failures.constFind(f.path);
        if (failure == failures.cend()) {
            countChunk(f.item, std::uint64_t(f.size));
            countFileDone(f.item);
            continue;
        }
        if (failure->skipped || failure->failed) {
            // The destination refused or failed it and needs no word back.
            recordFileFailure(f.item, m_manifest->items[f.item].categoryID,
                              failure->skipped ? std::make_exception_ptr(SkippedByDestination{failure->errorMessage})
                                               : std::make_exception_ptr(FailedByDestination{failure->errorMessage}));
            continue;
        }
        qCCritical(lcTransferEngine, "Chunk 0 of %s rejected (attempt %ld/%ld): %s", qUtf8Printable(f.path),
                   long(f.attempt + 1), long(kMaxChunkAttempts), qUtf8Printable(failure->errorMessage));
        if (f.attempt + 1 >= kMaxChunkAttempts) {
            co_await giveUpFile(f.item, std::make_exception_ptr(TransferError::maxRetriesExceeded(f.path, 0)));
            continue;
        }
        // Only the failed files go again, in a bundle of their own.
        RequestWindow::BundledFile resent = f;
        resent.attempt += 1;
        resent.offset = again.bytes.size();
        again.bytes.append(outcome.request.bytes.constData() + f.offset, f.size);
        again.files.append(std::move(resent));
    }
    if (!again.files.isEmpty()) {
        again.path = again.files.first().path;
        co_await transmit(std::move(again));
    }
}

} // namespace kivo
