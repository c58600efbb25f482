// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/DurableFlush.h"
#include "platform/FileSystem.h"
#include "platform/FreeMemory.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/SpoolFile.h"
#include "platform/UserFolders.h"
#include "transfer/Background.h"
#include "transfer/ConflictResolver.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferError.h"
#include "transfer/Verification.h"
#include "transfer/WireName.h"

#include <QElapsedTimer>
#include <QCoroTimer>

#include <algorithm>
#include <iterator>

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

const QStringList kDefaultHandlerCategories = {QStringLiteral("userFiles"), QStringLiteral("applicationData"),
                                               QStringLiteral("systemSettings"), QStringLiteral("browserData")};

// Where received files are: what resolving a path from the wire needs.
struct Resolver {
    QString home;
    std::optional<UserMapping> mapping;
    MDMSafetyChecker safety;
    DestinationTransfer::PathRelocation relocation;

    WirePathCheck check(const TransferManifest::FileItem& item) const
    {
        QString held = item.rawName ? fromWireName(item.relativePath).value_or(QString()) : item.relativePath;
        if (relocation && !held.isEmpty())
            held = relocation(held, item.categoryID);
        return checkWirePath(held, home, mapping, safety);
    }
};

struct VerifyOutcome {
    enum class Kind { hashed, unreadable } kind = Kind::unreadable;
    VerificationAnswer answer;
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
// Under a frame at 60 Hz.
constexpr qint64 kEventLoopSliceMs = 10;
// Files verified per round of the pool: collecting one round stays well under a frame.
constexpr qsizetype kVerifySlice = 2048;

// What deciding which files to verify needs, copied from the engine.
struct VerifyInputs {
    QList<TransferManifest::FileItem> items;
    Resolver resolver;
    QSet<QString> conflictSkipped;
    QHash<qsizetype, Sha256Digest> sourceHashes;
    QList<std::optional<Sha256Digest>> checkedHashes; // by item
    QSet<QString> adaptedPaths;
    QSet<qsizetype> consumedByHandler;
    QList<qsizetype> failedAtCompletion;
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
        const bool kept = item.transferStatus == FileTransferStatus::skipped && in.conflictSkipped.contains(item.relativePath);
        if (item.transferStatus != FileTransferStatus::completed && !kept)
            continue;
        const std::optional<Sha256Digest>& checked = in.checkedHashes[i];
        // A file written here had its path checked as it arrived.
        const bool written = checked.has_value();
        const std::optional<WirePathCheck> check =
            written && in.adaptedPaths.isEmpty() ? std::nullopt : std::optional(in.resolver.check(item));
        if ((check && check->refusal) || (kept && !in.sourceHashes.contains(i))
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
    // A file the conflict policy kept, which kivo did not write: only whether
    // it matches the source's goes back, never its digest.
    const std::optional<Sha256Digest> compareWith =
        item.transferStatus == FileTransferStatus::skipped ? std::optional(in.sourceHashes.value(job)) : std::nullopt;
    VerifyOutcome out;
    out.answer.filePath = item.relativePath;
    try {
        const QString path = in.resolver.check(item).destination;
        const UniqueFd file = reader.openForReading(path);
        out.answer.digest = Sha256Digest::fromHex(FileHasher::sha256OfDescriptor(file, path));
        out.answer.size = fs::sizeOf(file);
        if (compareWith && out.answer.digest != compareWith)
            out.answer.digest.reset();
        out.kind = VerifyOutcome::Kind::hashed;
    } catch (const std::exception&) {
        out.kind = VerifyOutcome::Kind::unreadable;
    }
    return out;
}

// Where the given items were written.
QStringList destinationsOf(const QList<TransferManifest::FileItem>& items, const Resolver& resolver,
                           const QList<qsizetype>& indices)
{
    QStringList out;
    out.reserve(indices.size());
    for (qsizetype i : indices) {
        if (const WirePathCheck check = resolver.check(items[i]); !check.refusal)
            out.append(check.destination);
    }
    return out;
}

// The category's items among `indices`, or all its completed items when none are given.
QList<qsizetype> ofCategory(const QList<TransferManifest::FileItem>& items, const QString& categoryID,
                            const std::optional<QList<qsizetype>>& indices = std::nullopt)
{
    QList<qsizetype> out;
    if (indices) {
        std::copy_if(indices->cbegin(), indices->cend(), std::back_inserter(out),
                     [&](qsizetype i) { return items[i].categoryID == categoryID; });
        return out;
    }
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i].categoryID == categoryID && items[i].transferStatus == FileTransferStatus::completed)
            out.append(i);
    }
    return out;
}

// What the pool found for one slice of the jobs.
QList<VerificationAnswer> answersOf(const QFuture<VerifyOutcome>& hashing)
{
    QList<VerificationAnswer> answers;
    const qsizetype n = hashing.resultCount();
    answers.reserve(n);
    for (qsizetype k = 0; k < n; ++k) {
        const VerifyOutcome outcome = hashing.resultAt(int(k));
        if (outcome.kind == VerifyOutcome::Kind::hashed)
            answers.append(outcome.answer);
        else
            answers.append({outcome.answer.filePath, std::nullopt, 0}); // missing or unreadable: a mismatch
    }
    return answers;
}

} // namespace

DestinationTransfer::DestinationTransfer(TransferConnection* connection, QString transferID, QString homeFolder,
                                         QObject* parent)
    : TransferEngine(connection, std::move(transferID), std::move(homeFolder), parent)
{
}

DestinationTransfer::~DestinationTransfer() = default;

QStringList DestinationTransfer::writtenPaths() const
{
    return m_manifest ? destinationsOf(m_manifest->items, Resolver{m_home, m_userMapping, m_safety, m_relocation}, m_writtenItems)
                      : QStringList();
}

WirePathCheck DestinationTransfer::checkPath(const QString& wirePath) const
{
    QString held = heldPath(wirePath);
    if (const qsizetype i = indexOf(wirePath); m_relocation && i >= 0 && !held.isEmpty())
        held = m_relocation(held, m_manifest->items[i].categoryID);
    return checkWirePath(held, m_home, m_userMapping, m_safety);
}

QString DestinationTransfer::partialPathFor(const QString& destination, const QString& transferID,
                                           const QString& relativePath)
{
    const QString digest = FileHasher::sha256Hex(QString(transferID + u'\n' + relativePath).toUtf8());
    return destination.left(destination.lastIndexOf(u'/') + 1) + QStringLiteral(".kivo-") + digest.left(24)
        + QStringLiteral(".partial");
}

std::uint64_t DestinationTransfer::availableDiskSpace() const { return fs::freeBytesAt(m_home); }

QCoro::Task<void> DestinationTransfer::run()
{
    co_await runGuarded([this] { return runDestination(); }, QStringLiteral("Receive failed: %1"));
    if (m_writer)
        m_writer->closeCurrent();
    // Whatever finished before the end is recorded for the next run, once it is on disk.
    if (m_durable && !m_isCancelled && !m_progress->isComplete())
        co_await m_durable->flushAll();
    Q_EMIT finished();
}

QCoro::Task<void> DestinationTransfer::runDestination()
{
    setIdleDeadline(m_timeouts.manifest);
    ReceivedManifest received = co_await awaitManifest();
    setIdleDeadline(m_timeouts.idle);
    co_await acceptManifest(std::move(received));
    // The engine may share a window's thread, and a full window of small files is
    // read without ever waiting on the socket: give way to the event loop now and then.
    QElapsedTimer busy;
    busy.start();
    while (!m_isCancelled) {
        if (busy.elapsed() >= kEventLoopSliceMs) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(0));
            busy.restart();
        }
        Message m = co_await m_connection->receiveMessage();
        switch (m.header.type) {
        case MessageType::chunkData:
            co_await handleIncomingChunk(std::move(m.header), std::move(m.payload), std::move(m.payloadSha256));
            break;
        case MessageType::fileComplete:
            co_await handleFileComplete(std::move(m.header));
            break;
        case MessageType::fileSkip:
            handleFileSkip(m.header);
            break;
        case MessageType::categoryStart:
            co_await handleCategoryStart(m.header.filePath.value_or(QString()));
            break;
        case MessageType::categoryComplete:
            co_await handleCategoryComplete(m.header.filePath.value_or(QString()));
            break;
        case MessageType::verificationRequest:
            co_await handleVerificationRequest(std::move(m.header));
            break;
        case MessageType::transferComplete:
            co_await finishTransfer();
            co_return;
        case MessageType::error:
            endWithSourceError(m.header);
            co_return;
        case MessageType::pause:
        case MessageType::resume:
            // A pause the source's user asked for may last; keep-alive still notices a peer that vanished.
            m_progress->setIsPaused(m.header.type == MessageType::pause);
            setIdleDeadline(m_progress->isPaused() ? std::chrono::milliseconds(0) : m_timeouts.idle);
            break;
        default:
            qCCritical(lcTransferEngine, "Unexpected message type: %s", qUtf8Printable(toString(m.header.type)));
        }
    }
    m_progress->setIsTransferring(false);
}

// Pre-flight questions may come first; then the manifest, and nothing else.
QCoro::Task<DestinationTransfer::ReceivedManifest> DestinationTransfer::awaitManifest()
{
    for (;;) {
        Message m = co_await m_connection->receiveMessage();
        if (m.header.type == MessageType::preFlightConflictRequest) {
            if (!m.payload)
                throw TransferError::invalidMessage(QStringLiteral("preFlightConflictRequest missing payload"));
            co_await respondToPreFlightConflictRequest(std::move(*m.payload));
            continue;
        }
        if (m.header.type != MessageType::manifest)
            throw TransferError::invalidMessage(QStringLiteral("Expected manifest or pre-flight conflict request, got ") +
                                                toString(m.header.type));
        std::optional<QByteArray> bytes = documentOf(m, &MessageHeader::manifestData);
        if (!bytes)
            throw TransferError::invalidMessage(QStringLiteral("Manifest message missing payload"));
        std::shared_ptr<const SpoolFile> spool = std::move(m.spool);
        m = {};
        // Decoding every item, and indexing them by path, would stall a window: a pool thread does both.
        auto decoding = startInBackground([bytes = std::move(*bytes), spool = std::move(spool)]() mutable {
            // Text read from a scratch file is handed back as the reading goes.
            TransferManifest::Consumed consumed;
            if (spool)
                consumed = [&spool](qsizetype from, qsizetype to) { spool->release(from, to); };
            ReceivedManifest received{TransferManifest::decode(bytes, consumed, TransferManifest::SourcePaths::homeOnce), {}};
            bytes = QByteArray();
            spool.reset();
            received.itemIndex = ItemsByPath(received.manifest.items);
            returnFreeMemory();
            return received;
        });
        co_return co_await finishInBackground(std::move(decoding));
    }
}

QCoro::Task<void> DestinationTransfer::respondToPreFlightConflictRequest(QByteArray payload)
{
    const PreFlightConflictResponse response = answerConflictRequest(PreFlightConflictRequest::decode(payload), m_home,
                                                                     m_userMapping, m_safety, m_clock->now());
    for (const QString& path : response.refusedPaths)
        qCWarning(lcTransferEngine, "Conflict check refused for %s", forLog(path).constData());
    QByteArray body = response.encoded();
    MessageHeader header = makeHeader(MessageType::preFlightConflictResponse);
    header.payloadSize = static_cast<std::uint32_t>(body.size());
    co_await send(std::move(header), std::move(body));
}

void DestinationTransfer::prepare(const TransferManifest& manifest, ItemsByPath itemIndex)
{
    m_manifest = manifest;
    initProgressFromManifest();
    if (handlerFactory()) {
        for (const QString& id : kDefaultHandlerCategories) {
            if (!handler(id))
                registerHandler(handlerFactory()(id, sessionKey().value_or(QByteArray())));
        }
    }
    m_itemIndex = std::move(itemIndex);
    m_itemFlags.assign(std::size_t(m_manifest->items.size()), 0);
    m_checkedHashes = QList<std::optional<Sha256Digest>>(m_manifest->items.size());
    m_checkedItem = -1;
}

QCoro::Task<void> DestinationTransfer::acceptManifest(ReceivedManifest received)
{
    const TransferManifest& manifest = received.manifest;
    // The id names the checkpoint file; nothing path-like gets that far.
    if (!ResumeState::isValidTransferID(manifest.transferID))
        throw TransferError::invalidMessage(QStringLiteral("Invalid transfer id"));
    m_transferID = manifest.transferID;
    // The source's user chose how existing files are treated; older sources do not say.
    if (manifest.conflictPolicy)
        m_conflictPolicy = *manifest.conflictPolicy;
    if (m_mappingForManifest)
        m_userMapping = m_mappingForManifest(manifest);
    if (m_relocationForManifest)
        m_relocation = m_relocationForManifest(manifest);
    prepare(manifest, std::move(received.itemIndex));
    const std::uint64_t free = availableDiskSpace();
    if (free < manifest.totalSize)
        throw TransferError::insufficientDiskSpace(manifest.totalSize, free);

    const QString dir = transfersDirectory(m_home);
    const std::optional<ResumeState> stored = ResumeState::load(dir, m_transferID);
    ResumeState base;
    if (stored) {
        base = *stored;
    } else {
        base.transferID = m_transferID;
        base.sourceHostname = manifest.sourceHostname;
        base.createdAt = base.updatedAt = m_clock->now();
    }
    m_journal = std::make_unique<ResumeJournal>(dir, base);
    m_journal->expectFiles(manifest.items.size());
    m_durable = std::make_unique<DurableCompletions>(
        durableFlush(), [this](const QStringList& paths) { m_journal->filesCompleted(paths, m_clock->now()); },
        m_clock, m_durableLimits);
    m_writer = std::make_shared<DestinationWriter>(m_home);
    reopenChangedFiles();
    co_await confirmPlacedFiles();
    // Files an earlier run finished are verified with the rest, and those it
    // wrote (it recorded what they were) are handed over with this run's.
    for (const QString& done : m_journal->state().completedFiles) {
        const qsizetype i = indexOf(done);
        if (i < 0)
            continue;
        m_manifest->markFileCompleted(i);
        if (m_journal->state().fileIdentities.contains(done))
            m_writtenEarlierItems.append(i);
    }

    MessageHeader ack = makeHeader(MessageType::manifestAck);
    ack.holeSize = std::uint32_t(FileHasher::kChunkSize);
    if (m_announcedWindow) {
        ack.maxInFlight = m_announcedWindow->requests;
        if (m_announcedWindow->bytes > 0)
            ack.maxInFlightBytes = std::uint32_t(std::min<std::uint64_t>(m_announcedWindow->bytes, 0xFFFFFFFFu));
    }
    std::optional<QByteArray> payload;
    if (stored)
        payload = placeDocument(ack, &MessageHeader::resumeState, m_journal->state().encoded());
    co_await send(std::move(ack), std::move(payload));

    TransferProgress::Batch batch(m_progress);
    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
}

DurableCompletions::Flush DestinationTransfer::durableFlush() const
{
    if (m_durableFlush)
        return m_durableFlush;
    return [home = m_home] { fs::flushFileSystemOf(home); };
}

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
    auto checking = startInBackground([writer = m_writer, flush = durableFlush(), checks] {
        // What the last run left unflushed goes to disk first; then what is there is what counts.
        flush();
        QStringList confirmed;
        for (const Check& c : checks) {
            try {
                if (FileHasher::sha256OfDescriptor(writer->openForReading(c.destination), c.destination) == c.sha256)
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
    for (auto it = state.fileIdentities.cbegin(); it != state.fileIdentities.cend(); ++it) {
        const qsizetype i = indexOf(it.key());
        if (i < 0)
            continue;
        const auto& item = m_manifest->items[i];
        if (it->size != item.size || it->sourceModified != item.sourceModified) {
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

QCoro::Task<void> DestinationTransfer::handleCategoryStart(QString categoryID)
{
    // Its totals were counted with every category's when the manifest came.
    {
        TransferProgress::Batch batch(m_progress);
        m_progress->setCurrentCategoryName(m_progress->categoryProgress().value(categoryID).categoryName);
        m_progress->setCurrentCategoryIndex(m_manifest->categoryOrder.indexOf(categoryID));
        m_progress->updateCategory(categoryID, [&](CategoryProgress& p) {
            p.categoryID = categoryID;
            if (p.categoryName.isEmpty())
                p.categoryName = categoryID;
            p.status = CategoryStatus::inProgress;
        });
    }
    Q_EMIT categoryStarted(categoryID);
    if (auto h = handler(categoryID)) {
        const QList<CategoryTransferHandler::Refusal> refused = co_await h->preflightDestination(m_manifest->itemsForCategory(categoryID));
        for (const auto& [path, reason] : refused) {
            addFileError(path, categoryID, reason);
            if (const qsizetype i = indexOf(path); i >= 0 && m_manifest->items[i].categoryID == categoryID)
                m_handlerRefusals.insert(i, reason);
        }
    }
}

QCoro::Task<void> DestinationTransfer::handleCategoryComplete(QString categoryID)
{
    m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.status = CategoryStatus::completed; });
    co_await m_durable->flushAll();
    co_await m_journal->categoryCompletedInBackground(categoryID, m_clock->now());
    if (m_adapter) {
        try {
            // A pass over every item, resolving each path: on a pool thread.
            auto listing = startInBackground([items = m_manifest->items, resolver = Resolver{m_home, m_userMapping, m_safety, m_relocation},
                                              categoryID] { return destinationsOf(items, resolver, ofCategory(items, categoryID)); });
            QStringList written = co_await finishInBackground(std::move(listing));
            co_await m_adapter->adaptCategory(categoryID, std::move(written));
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "Adapting" << categoryID << "failed:" << describe(e);
        }
    }
    if (auto h = handler(categoryID)) {
        QString failure;
        try {
            const Resolver resolver{m_home, m_userMapping, m_safety, m_relocation};
            auto listing = startInBackground([items = m_manifest->items, resolver, written = m_writtenItems, categoryID] {
                const QList<qsizetype> mine = ofCategory(items, categoryID, written);
                return std::make_pair(mine, destinationsOf(items, resolver, mine));
            });
            auto listed = co_await finishInBackground(std::move(listing));
            const QList<qsizetype> written = std::move(listed.first);
            const auto counts = co_await h->postImport(std::move(listed.second));
            if (counts) {
                for (const QString& path : counts->adapted)
                    markAdapted(path);
                Q_EMIT categoryImported(categoryID, counts->imported, counts->updated, counts->failed);
            }
            // Which of them the handler took in and removed: a look at every file, on a pool thread.
            auto probing = startInBackground([items = m_manifest->items, written, writer = m_writer, resolver] {
                QList<qsizetype> gone;
                for (qsizetype i : written) {
                    if (const WirePathCheck check = resolver.check(items[i]);
                        !check.refusal && !writer->regularFileSize(check.destination))
                        gone.append(i);
                }
                return gone;
            });
            for (qsizetype i : co_await finishInBackground(std::move(probing)))
                m_consumedByHandler.insert(i);
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        if (!failure.isEmpty()) {
            // What arrived is of no use until imported: those files count as failed.
            qCCritical(lcTransferEngine).noquote() << "postImport of" << categoryID << "failed:" << failure;
            for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
                const auto& item = m_manifest->items[i];
                if (item.categoryID != categoryID || item.transferStatus != FileTransferStatus::completed)
                    continue;
                m_manifest->markFileFailed(i);
                addFileError(item.relativePath, categoryID, failure);
            }
            Q_EMIT categoryImportFailed(categoryID, failure);
        }
    }
    if (m_categoryFinalized) {
        try {
            co_await m_categoryFinalized(categoryID, m_manifest->itemsForCategory(categoryID));
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "Finishing" << categoryID << "failed:" << describe(e);
        }
    }
    Q_EMIT categoryCompleted(categoryID);
}

QCoro::Task<void> DestinationTransfer::handleVerificationRequest(MessageHeader request)
{
    // Nothing is reported verified that a power cut could still take away.
    co_await m_durable->flushAll();
    // Every file of the manifest that should now be there, as it is now: a file
    // damaged or removed since it was written is reported, not passed over.
    // Files kept by the conflict policy are compared here with the source's
    // hash, so no digest of a file kivo did not write goes out. The passes over
    // every item run on pool threads, from copies.
    auto inputs = std::make_shared<const VerifyInputs>(VerifyInputs{
        m_manifest->items, Resolver{m_home, m_userMapping, m_safety, m_relocation}, m_conflictSkippedPaths, m_sourceHashes,
        m_checkedHashes, m_adaptedPaths, m_consumedByHandler, m_failedAtCompletion});
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
        QList<VerificationAnswer> slice = answersOf(hashing);
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

QCoro::Task<void> DestinationTransfer::finishTransfer()
{
    if (m_corrector) {
        const QString owner = m_userMapping ? m_userMapping->destinationUsername : host::loginUserName();
        auto listing = startInBackground([items = m_manifest->items, resolver = Resolver{m_home, m_userMapping, m_safety, m_relocation},
                                          written = m_writtenEarlierItems + m_writtenItems] {
            return destinationsOf(items, resolver, written);
        });
        co_await m_corrector->correctOwnership(m_home, owner, co_await finishInBackground(std::move(listing)));
    }
    // After the ownership pass: a link placed where a written file was must never be handed to it.
    co_await placeTreeEntries();
    // The checkpoint outlives a transfer that ended short, so a later run can finish it.
    if (failNeverReceived() == 0) {
        sweepPartials();
        m_journal->remove();
    } else {
        co_await m_durable->flushAll();
        m_journal->flush();
    }
    TransferProgress::Batch batch(m_progress);
    m_progress->setIsComplete(true);
    m_progress->setCompletedAt(m_clock->now());
    m_progress->setIsTransferring(false);
}

void DestinationTransfer::endWithSourceError(const MessageHeader& header)
{
    TransferProgress::Batch batch(m_progress);
    m_progress->setError(header.errorMessage.value_or(QStringLiteral("Unknown error from source")));
    m_progress->setIsTransferring(false);
}

QCoro::Task<void> DestinationTransfer::cancelAndCleanup()
{
    cancel();
    if (m_connection)
        m_connection->close();
    // A writer of its own: the receive flow's may still be busy on a pool thread.
    DestinationWriter writer(m_home);
    QStringList paths = writtenPaths();
    if (m_incoming.itemIndex >= 0) {
        if (const WirePathCheck check = checkPath(m_manifest->items[m_incoming.itemIndex].relativePath); !check.refusal)
            paths.append(partialPathFor(check.destination, m_transferID, m_manifest->items[m_incoming.itemIndex].relativePath));
    }
    for (const QString& path : paths) {
        QString failure;
        try {
            writer.remove(path);
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        if (failure.isEmpty())
            continue;
        const bool removed = m_corrector && co_await m_corrector->removeFile(path);
        if (!removed)
            qCWarning(lcTransferEngine).noquote() << "Could not remove" << path << failure;
    }
    m_writtenItems.clear();
}

} // namespace kivo
