// SPDX-License-Identifier: Apache-2.0
// The destination's answer to verification: every file of the manifest that
// should be here, as it is now.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/DestinationResolver.h"
#include "transfer/FileHashScheme.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/Verification.h"

#include <QThreadPool>
#include <QtConcurrent>

#include <algorithm>

namespace kivo {

// One entry of the answer, held as 32 bytes until it is sent; no digest: it
// did not arrive whole, or is missing or unreadable now.
struct VerificationAnswer {
    QString filePath;
    std::optional<Sha256Digest> digest;
    std::uint64_t size = 0;

    FileVerification toWire() const { return {filePath, digest ? digest->toHex() : QString(), size}; }
};

namespace {

struct VerifyOutcome {
    enum class Kind { hashed, unreadable } kind = Kind::unreadable;
    VerificationAnswer answer;
    // No longer what kivo left there.
    bool damaged = false;
    qsizetype item = -1;
};

// Verification hashes at most eight files at once, fewer on small machines.
QThreadPool* verificationPool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(std::clamp(QThread::idealThreadCount(), 1, 8));
        return p;
    }();
    return pool;
}

// The most header bytes one batch of a verification answer takes.
constexpr qint64 kHashBatchBytes = 256 * 1024;
// Files verified per round of the pool: collecting one round stays well under a frame.
constexpr qsizetype kVerifySlice = 2048;

// What deciding which files to verify needs, copied from the engine.
struct VerifyInputs {
    QList<TransferManifest::FileItem> items;
    DestinationResolver resolver;
    QList<std::optional<Sha256Digest>> checkedHashes; // by item
    QHash<qsizetype, SchemedDigest> recordedEarlier;
    QSet<QString> adaptedPaths;
    QSet<qsizetype> consumedByHandler;
    QList<qsizetype> failedAtCompletion;
    // The scheme of `checkedHashes`, of the source's hashes and of every answer.
    FileHashScheme scheme = FileHashScheme::wholeFile;
    // Files already read back during the transfer, stopped; may be null.
    std::shared_ptr<const EarlyReadBack> readBack;
};

struct VerifyPlan {
    // The items to read again: at 200,000 files an index is all the list can afford.
    QList<qsizetype> jobs;
    // Answered without reading the file again.
    QList<VerificationAnswer> known;
    qsizetype skipped = 0;
};

VerifyPlan planVerification(const VerifyInputs& in)
{
    VerifyPlan plan;
    plan.jobs.reserve(in.items.size());
    for (qsizetype i = 0; i < in.items.size(); ++i) {
        const auto& item = in.items[i];
        // A file the conflict policy kept is the user's, not a fault to report.
        if (item.transferStatus != FileTransferStatus::completed)
            continue;
        const std::optional<Sha256Digest>& checked = in.checkedHashes[i];
        // A file written here had its path checked as it arrived.
        const bool written = checked.has_value();
        // Written by an earlier run: answered only when it recorded what the file held.
        const bool unrecorded = !written && !in.recordedEarlier.contains(i);
        const std::optional<WirePathCheck> check =
            written && in.adaptedPaths.isEmpty() ? std::nullopt : std::optional(in.resolver.check(item));
        if ((check && check->refusal) || unrecorded
            || (!written && item.size > FileHasher::kVerificationSizeLimit))
            ++plan.skipped;
        else if ((item.size > FileHasher::kVerificationSizeLimit || (check && in.adaptedPaths.contains(check->destination))
                  || in.consumedByHandler.contains(i))
                 && written)
            plan.known.append({item.relativePath, *checked, item.size}); // checked as it arrived
        else
            plan.jobs.append(i);
    }
    // The source took those for sent; no hash tells it they did not arrive whole.
    for (qsizetype i : in.failedAtCompletion)
        plan.known.append({in.items[i].relativePath, std::nullopt, 0});
    return plan;
}

VerifyOutcome verifyOne(const DestinationWriter& reader, const VerifyInputs& in, qsizetype job)
{
    const auto& item = in.items[job];
    // What kivo left there, to tell damage from the file it wrote.
    const std::optional<SchemedDigest> left = in.checkedHashes[job] ? std::optional(SchemedDigest{*in.checkedHashes[job], in.scheme})
        : in.recordedEarlier.contains(job) ? std::optional(in.recordedEarlier.value(job))
                                           : std::nullopt;
    std::optional<Sha256Digest> holds;
    VerifyOutcome out;
    out.item = job;
    out.answer.filePath = item.relativePath;
    try {
        const QString path = in.resolver.check(item).destination;
        const UniqueFd file = reader.openForReading(path);
        // Written in this run and read back whole since, unchanged: what was written is what it holds.
        const std::optional<fs::FileStatus> readBack =
            in.readBack && in.checkedHashes[job] ? fs::status(file) : std::nullopt;
        if (readBack && in.readBack->holds(job, *readBack)) {
            out.answer.digest = in.checkedHashes[job];
            out.answer.size = readBack->size;
            holds = out.answer.digest;
        } else {
            std::uint64_t size = 0;
            out.answer.digest = Sha256Digest::fromHex(FileHasher::hashOfDescriptor(file, in.scheme, path, &size));
            out.answer.size = size;
            // Recorded by a run that hashed in another scheme: read again in that one to compare.
            holds = left && left->scheme != in.scheme
                ? Sha256Digest::fromHex(FileHasher::hashOfDescriptor(file, left->scheme, path))
                : out.answer.digest;
        }
        out.kind = VerifyOutcome::Kind::hashed;
    } catch (const std::exception&) {
        out.kind = VerifyOutcome::Kind::unreadable;
    }
    if (left && holds != left->digest) {
        out.damaged = true;
        // The source has no hash of a file an earlier run sent: no digest tells it.
        if (!in.checkedHashes[job])
            out.answer.digest.reset();
    }
    return out;
}

// What the pool found for one slice of the jobs; `damaged` gets the items no longer as kivo left them.
QList<VerificationAnswer> answersOf(const QFuture<VerifyOutcome>& hashing, QList<qsizetype>* damaged)
{
    QList<VerificationAnswer> answers;
    const qsizetype n = hashing.resultCount();
    answers.reserve(n);
    for (qsizetype k = 0; k < n; ++k) {
        const VerifyOutcome outcome = hashing.resultAt(int(k));
        if (outcome.damaged)
            damaged->append(outcome.item);
        if (outcome.kind == VerifyOutcome::Kind::hashed)
            answers.append(outcome.answer);
        else
            answers.append({outcome.answer.filePath, std::nullopt, 0}); // missing or unreadable: a mismatch
    }
    return answers;
}

} // namespace

QCoro::Task<void> DestinationTransfer::handleVerificationRequest(MessageHeader request)
{
    // Nothing is reported verified that a power cut could still take away.
    co_await m_durable->flushAll();
    // Whatever it has not read back yet is read below, on every thread.
    if (m_readBack)
        m_readBack->stop();
    // Every file of the manifest that should now be there, as it is now: a file
    // damaged or removed since it was written is reported, not passed over.
    // The passes over every item run on pool threads, from copies.
    auto inputs = std::make_shared<const VerifyInputs>(VerifyInputs{
        m_manifest->items, DestinationResolver{m_home, m_userMapping, m_safety, m_relocation},
        m_checkedHashes, m_recordedEarlier, m_adaptedPaths, m_consumedByHandler, m_failedAtCompletion, m_fileHashScheme, m_readBack});
    auto planning = startInBackground([inputs] { return planVerification(*inputs); });
    VerifyPlan plan = co_await finishInBackground(std::move(planning));

    std::shared_ptr<const DestinationWriter> reader = m_writer;
    // A source that takes the answer in pieces gets each slice's as soon as it
    // is hashed; one that does not gets the whole answer at the end.
    const bool batched = request.hashBatches.value_or(0) != 0;
    const qsizetype answered = plan.known.size() + plan.jobs.size();
    qsizetype remaining = answered;
    QList<VerificationAnswer> answers = std::move(plan.known);
    if (batched) {
        remaining -= answers.size();
        if (!answers.isEmpty() || remaining == 0)
            co_await sendInBatches(std::exchange(answers, {}), remaining);
    }
    // Slice by slice: what the pool hands back is never held for every file at once.
    for (qsizetype from = 0; from < plan.jobs.size(); from += kVerifySlice) {
        QFuture<VerifyOutcome> hashing =
            QtConcurrent::mapped(verificationPool(), plan.jobs.mid(from, kVerifySlice),
                                 [reader, inputs](qsizetype job) { return verifyOne(*reader, *inputs, job); });
        co_await hashing;
        QList<qsizetype> damaged;
        QList<VerificationAnswer> slice = answersOf(hashing, &damaged);
        reopenDamaged(damaged);
        if (batched) {
            remaining -= slice.size();
            co_await sendInBatches(std::move(slice), remaining);
        } else {
            answers.append(std::move(slice));
        }
    }
    {
        TransferProgress::Batch batch(m_progress);
        m_progress->setVerificationFilesChecked(answered);
        m_progress->setVerificationFilesSkipped(plan.skipped);
    }
    if (!batched) {
        // Encoding every entry at once is long work: a pool thread does it.
        auto encoding = startInBackground([response = makeHeader(MessageType::verificationResponse),
                                           answers = std::move(answers)]() mutable {
            QList<FileVerification> hashes;
            hashes.reserve(answers.size());
            for (VerificationAnswer& a : answers)
                hashes.append(std::exchange(a, {}).toWire());
            std::optional<QByteArray> payload = placeHashes(response, std::move(hashes));
            return std::make_pair(response, payload);
        });
        auto [header, payload] = co_await finishInBackground(std::move(encoding));
        co_await send(std::move(header), std::move(payload));
    }
    Q_EMIT verificationFinished();
}

// Pieces small enough to cost little to build, to hold and to read.
QCoro::Task<void> DestinationTransfer::sendInBatches(QList<VerificationAnswer> answers, qsizetype remainingAfter)
{
    qsizetype from = 0;
    do {
        QList<FileVerification> batch;
        for (qint64 used = 0; from < answers.size(); ++from) {
            FileVerification v = answers[from].toWire();
            if (!batch.isEmpty() && used + encodedSizeBound(v) > kHashBatchBytes)
                break;
            used += encodedSizeBound(v);
            batch.append(std::move(v));
            answers[from] = {};
        }
        MessageHeader response = makeHeader(MessageType::verificationResponse);
        response.fileHashes = std::move(batch);
        response.hashesRemaining = std::uint64_t(answers.size() - from + remainingAfter);
        co_await queue(std::move(response));
    } while (from < answers.size());
}

} // namespace kivo
