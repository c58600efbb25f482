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
#include "transfer/DestinationResolver.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/PartialFolders.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferError.h"
#include "transfer/TreeEntries.h"
#include "transfer/Verification.h"
#include "transfer/WireName.h"

#include <QElapsedTimer>
#include <QThread>
#include <QCoroTimer>

#include <algorithm>
#include <iterator>

namespace kivo {

namespace {

const QStringList kDefaultHandlerCategories = {QStringLiteral("userFiles"), QStringLiteral("applicationData"),
                                               QStringLiteral("systemSettings"), QStringLiteral("browserData")};

// Under a frame at 60 Hz.
constexpr qint64 kEventLoopSliceMs = 10;

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

} // namespace

DestinationTransfer::DestinationTransfer(TransferConnection* connection, QString transferID, QString homeFolder,
                                         QObject* parent)
    : TransferEngine(connection, std::move(transferID), std::move(homeFolder), parent)
{
    // A cancel while the source is quiet (pacing a low cap, say) would wait for its
    // next frame: closing the connection ends that wait and tells the source now.
    connect(m_progress, &TransferProgress::isCancelledChanged, this, [this] {
        QMetaObject::invokeMethod(this, [this] {
            if (m_isCancelled && m_awaitingMessage && m_connection)
                m_connection->close();
        }, Qt::QueuedConnection);
    });
}

DestinationTransfer::~DestinationTransfer() = default;

QStringList DestinationTransfer::writtenPaths() const
{
    return m_manifest ? WrittenFiles(m_manifest->items, resolver(), m_writtenItems).toList() : QStringList();
}

DestinationResolver DestinationTransfer::resolver() const
{
    return DestinationResolver{m_home, m_userMapping, m_safety, m_relocation};
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
    return destination.left(destination.lastIndexOf(u'/') + 1) + PartialFolders::partialName(transferID, relativePath);
}

std::uint64_t DestinationTransfer::availableDiskSpace() const { return fs::freeBytesAt(m_home); }

QCoro::Task<void> DestinationTransfer::run()
{
    co_await runGuarded([this] { return runAndSayWhy(); }, QStringLiteral("Receive failed: %1"));
    // Bundles the writers still hold are settled, so what landed is recorded.
    co_await awaitWriting();
    if (m_writer)
        m_writer->closeCurrent();
    // Whatever finished before the end is recorded for the next run, once it is on disk.
    if (m_durable && !m_isCancelled && !m_progress->isComplete())
        co_await m_durable->flushAll();
    if (m_toldSourceWhy)
        co_await letTheSourceRead();
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
        std::optional<Message> next = co_await nextMessage();
        if (!next)
            break;
        Message& m = *next;
        // Only bundles pass bundles still being written: any other reply must follow theirs.
        if (m.header.type != MessageType::fileBundle && m.header.type != MessageType::pause
            && m.header.type != MessageType::resume) {
            co_await awaitWriting();
            if (m_writingFailure)
                std::rethrow_exception(m_writingFailure);
        }
        switch (m.header.type) {
        case MessageType::chunkData:
            co_await handleIncomingChunk(std::move(m.header), std::move(m.payload));
            break;
        case MessageType::fileComplete:
            co_await handleFileComplete(std::move(m.header));
            break;
        case MessageType::fileBundle:
            co_await handleFileBundle(std::move(m));
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
        const FileHashScheme scheme = FileHashNegotiation::accept(m.header, m_acceptedHashScheme);
        m_bundleBytes = FileBundle::accept(m.header, m_acceptedBundleBytes);
        m = {};
        // Decoding every item, and indexing them by path, would stall a window: a pool thread does both.
        auto decoding = startInBackground([bytes = std::move(*bytes), spool = std::move(spool), scheme]() mutable {
            // Text read from a scratch file is handed back as the reading goes.
            TransferManifest::Consumed consumed;
            if (spool)
                consumed = [&spool](qsizetype from, qsizetype to) { spool->release(from, to); };
            ReceivedManifest received{TransferManifest::decode(bytes, consumed), {},
                                      scheme};
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
    const PreFlightConflictRequest request = PreFlightConflictRequest::decode(payload);
    // Asked where the manifest's files will land: the same relocation, from the same facts.
    PathRelocation relocation;
    if (m_relocationForManifest && !request.categoryIDs.isEmpty()) {
        TransferManifest facts;
        facts.layout = request.layout;
        facts.userFolders = request.userFolders;
        relocation = m_relocationForManifest(facts);
    }
    const PreFlightConflictResponse response =
        answerConflictRequest(request, m_home, m_userMapping, m_safety, m_clock->now(), relocation);
    for (const QString& path : response.refusedPaths)
        qCWarning(lcTransferEngine, "Conflict check refused for %s", forLog(path).constData());
    QByteArray body = response.encoded();
    MessageHeader header = makeHeader(MessageType::preFlightConflictResponse);
    header.payloadSize = static_cast<std::uint32_t>(body.size());
    co_await send(std::move(header), std::move(body));
}

void DestinationTransfer::prepare(TransferManifest manifest, ItemsByPath itemIndex)
{
    m_manifest = std::move(manifest);
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
    // The id names the checkpoint file; nothing path-like gets that far.
    if (!ResumeState::isValidTransferID(received.manifest.transferID))
        throw TransferError::invalidMessage(QStringLiteral("Invalid transfer id"));
    m_transferID = received.manifest.transferID;
    // The source's user chose how existing files are treated; older sources do not say.
    if (received.manifest.conflictPolicy)
        m_conflictPolicy = *received.manifest.conflictPolicy;
    if (m_mappingForManifest)
        m_userMapping = m_mappingForManifest(received.manifest);
    if (m_relocationForManifest)
        m_relocation = m_relocationForManifest(received.manifest);
    // Moved, not shared: a second owner would make the first change copy every item.
    prepare(std::move(received.manifest), std::move(received.itemIndex));
    const TransferManifest& manifest = *m_manifest;
    std::optional<ResumeState> stored = ResumeState::load(transfersDirectory(m_home), m_transferID);
    const std::uint64_t needed = bytesStillToCome(manifest, m_itemIndex, stored, m_announceHardLinks);
    if (const std::uint64_t free = availableDiskSpace(); free < needed) {
        // Said before failing: the source would otherwise wait out its deadline for an answer.
        co_await send(diskFullError(free, needed));
        throw TransferError::insufficientDiskSpace(needed, free);
    }
    if (m_beforeFirstWrite)
        co_await m_beforeFirstWrite(m_transferID, [this](const DestinationVisitor& visit) {
            for (const TransferManifest::FileItem& item : std::as_const(m_manifest->items))
                if (const WirePathCheck check = checkPath(item.relativePath); !check.refusal)
                    visit(check.destination, item.categoryID, false);
            // Folders and links too, so that a rollback knows the empty folders and the links it made.
            for (const TransferManifest::Entry& entry : relocatedEntries())
                if (const WirePathCheck check = entryPath(entry, m_home, m_userMapping, m_safety); !check.refusal)
                    visit(check.destination, entry.categoryID, entry.kind == TransferManifest::Entry::Kind::folder);
        });

    const bool resuming = openCheckpoint(manifest, std::move(stored));
    reopenChangedFiles();
    co_await confirmPlacedFiles();
    co_await reopenDamagedFiles();
    // Hashes the checkpoint holds stay in the scheme they were made in; from here on it records this run's.
    const FileHashScheme recordedScheme = m_journal->state().fileHashScheme;
    m_fileHashScheme = received.hashScheme;
    takeEarlierRun(recordedScheme);
    m_journal->useHashScheme(m_fileHashScheme);

    MessageHeader ack = manifestAckHeader();
    std::optional<QByteArray> payload;
    if (resuming) {
        payload = placeDocument(ack, &MessageHeader::resumeState,
                                m_journal->state().encoded(ResumeState::Content::leftOut));
    }
    co_await send(std::move(ack), std::move(payload));

    TransferProgress::Batch batch(m_progress);
    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
}

bool DestinationTransfer::openCheckpoint(const TransferManifest& manifest, std::optional<ResumeState> stored)
{
    const QString dir = transfersDirectory(m_home);
    ResumeState base;
    if (stored) {
        base = std::move(*stored);
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
    // Bundles are written on threads of their own; the cap is what the window
    // lets a source have unanswered, so one keeping to it never waits on it.
    if (m_bundleBytes > 0)
        m_writers = std::make_unique<DestinationWriters>(
            m_home, DestinationWriters::threadsFor(QThread::idealThreadCount()), WindowLimits::ours().bytes);
    m_partialFolders = std::make_unique<PartialFolders>(dir, m_transferID);
    // Copies a transfer left behind whose checkpoint has since gone; a day's
    // grace for one whose checkpoint is being rewritten at this moment.
    PartialFolders::sweepOrphans(m_home, m_clock->now().addDays(-1));
    return stored.has_value();
}

void DestinationTransfer::takeEarlierRun(FileHashScheme recordedScheme)
{
    // The file the source continues: from the chunk after the last one recorded.
    if (const auto& f = m_journal->state().inProgressFile; f && indexOf(f->relativePath) >= 0)
        m_chunkFrontiers.insert(indexOf(f->relativePath), f->lastAcknowledgedChunk + 1);
    // Files an earlier run finished are verified with the rest, and those it
    // wrote (it recorded what they were) are handed over with this run's.
    // They count as done, as the source counts them: the summary is the whole migration's.
    const ResumeState& resumed = m_journal->state();
    TransferProgress::Batch batch(m_progress);
    for (auto it = resumed.files.cbegin(); it != resumed.files.cend(); ++it) {
        const qsizetype i = it->completed ? indexOf(it.key()) : -1;
        if (i < 0)
            continue;
        m_manifest->markFileCompleted(i);
        const TransferManifest::FileItem& item = m_manifest->items.at(i);
        m_bytesDone += item.size;
        m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
        m_progress->updateCategory(item.categoryID, [&item](CategoryProgress& p) {
            p.filesCompleted += 1;
            p.bytesTransferred += item.size;
        });
        if (it->hasIdentity)
            m_writtenEarlierItems.append(i);
        if (it->hasContent)
            m_recordedEarlier.insert(i, {it->content.hash, recordedScheme});
    }
    std::sort(m_writtenEarlierItems.begin(), m_writtenEarlierItems.end());
    m_progress->recordProgress(m_bytesDone);
}

MessageHeader DestinationTransfer::manifestAckHeader()
{
    MessageHeader ack = makeHeader(MessageType::manifestAck);
    ack.holeSize = std::uint32_t(FileHasher::kChunkSize);
    if (m_fileHashScheme != FileHashScheme::wholeFile)
        ack.fileHashScheme = toString(m_fileHashScheme);
    if (m_announceHardLinks)
        ack.hardLinks = 1;
    if (m_bundleBytes > 0)
        ack.fileBundles = m_bundleBytes;
    if (m_announcedWindow) {
        ack.maxInFlight = m_announcedWindow->requests;
        if (m_announcedWindow->bytes > 0)
            ack.maxInFlightBytes = std::uint32_t(std::min<std::uint64_t>(m_announcedWindow->bytes, 0xFFFFFFFFu));
    }
    return ack;
}

DurableCompletions::Flush DestinationTransfer::durableFlush() const
{
    if (m_durableFlush)
        return m_durableFlush;
    return [home = m_home] { fs::flushFileSystemOf(home); };
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
    m_journal->categoryCompleted(categoryID, m_clock->now());
    if (m_adapter) {
        try {
            // Named, not a temporary in the awaited call: this compiler's coroutines mishandle those.
            WrittenFiles written(m_manifest->items, resolver(), std::nullopt, categoryID);
            co_await m_adapter->adaptCategory(categoryID, std::move(written));
            co_await recordAdaptedContent(categoryID);
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "Adapting" << categoryID << "failed:" << describe(e);
        }
    }
    if (auto h = handler(categoryID)) {
        QString failure;
        bool serviceUnavailable = false;
        try {
            co_await importCategory(*h, categoryID);
        } catch (const std::exception& e) {
            failure = describe(e);
            serviceUnavailable = dynamic_cast<const ServiceUnavailable*>(&e) != nullptr;
        }
        if (!failure.isEmpty()) {
            // What arrived is of no use until imported: those files count as failed, here and, through
            // verification, on the source. The failure is the category's: its files are not announced one by one.
            // A warning for the log: the flow tells the user, once.
            qCWarning(lcTransferEngine).noquote() << "postImport of" << categoryID << "failed:" << failure;
            for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
                const auto& item = m_manifest->items[i];
                if (item.categoryID != categoryID || item.transferStatus != FileTransferStatus::completed)
                    continue;
                m_manifest->markFileFailed(i);
                m_failedAtCompletion.append(i);
                m_progress->addFileError({QUuid::createUuid(), item.relativePath, categoryID, failure, m_clock->now()});
            }
            Q_EMIT categoryImportFailed(categoryID, failure, serviceUnavailable);
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

QCoro::Task<void> DestinationTransfer::importCategory(CategoryTransferHandler& h, QString categoryID)
{
    if (!h.importsReceivedFiles()) {
        const auto counts = co_await h.postImport(QStringList());
        if (counts)
            Q_EMIT categoryImported(categoryID, counts->imported, counts->updated, counts->failed);
        co_return;
    }
    const QList<qsizetype> written = ofCategory(m_manifest->items, categoryID, m_writtenItems);
    // A pass over every item, resolving each path: on a pool thread.
    auto listing = startInBackground([files = WrittenFiles(m_manifest->items, resolver(), written)] { return files.toList(); });
    QStringList received = co_await finishInBackground(std::move(listing));
    h.setConflictPolicy(m_conflictPolicy);
    const auto counts = co_await h.postImport(std::move(received));
    if (counts) {
        for (const QString& path : counts->adapted)
            markAdapted(path);
        for (const QString& name : counts->keptConflicts)
            m_progress->addConflictOutcome({QUuid::createUuid(), name, QStringLiteral("skipped"), m_clock->now()});
        for (const QString& name : counts->replacedConflicts)
            m_progress->addConflictOutcome({QUuid::createUuid(), name, QStringLiteral("overwritten"), m_clock->now()});
        Q_EMIT categoryImported(categoryID, counts->imported, counts->updated, counts->failed);
    }
    // Which of them the handler took in and removed: a look at every file, on a pool thread.
    auto probing = startInBackground([items = m_manifest->items, written, writer = m_writer, resolver = resolver()] {
        QList<qsizetype> out;
        for (qsizetype i : written) {
            if (const WirePathCheck check = resolver.check(items[i]); !check.refusal && !writer->regularFileSize(check.destination))
                out.append(i);
        }
        return out;
    });
    const QList<qsizetype> gone = co_await finishInBackground(std::move(probing));
    for (qsizetype i : gone) {
        m_consumedByHandler.insert(i);
        // Gone on purpose: a later run must not take it for damage.
        m_journal->contentRecorded(m_manifest->items[i].relativePath, std::nullopt);
    }
}

QCoro::Task<void> DestinationTransfer::finishTransfer()
{
    if (m_corrector) {
        const QString owner = m_userMapping ? m_userMapping->destinationUsername : host::loginUserName();
        QStringList folders = co_await makeEntryFolders();
        WrittenFiles written(m_manifest->items, resolver(), m_writtenEarlierItems + m_writtenItems, {}, std::move(folders));
        co_await m_corrector->correctOwnership(m_home, owner, std::move(written));
    }
    // After the ownership pass: a link placed where a written file was must never be handed to it.
    co_await placeTreeEntries();
    // The checkpoint outlives a transfer that ended short, so a later run can finish it.
    if (failNeverReceived() == 0 && m_damagedAtVerification == 0) {
        sweepPartials();
        // A file begun by an earlier run and since gone from the source left its copy too.
        m_partialFolders->sweepLeftBy(m_home, m_journal->state());
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
    // Files the writer threads are placing are listed once they are in place.
    co_await awaitWriting();
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
