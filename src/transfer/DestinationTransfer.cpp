#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
#include "transfer/Background.h"
#include "transfer/ConflictResolver.h"
#include "transfer/FileHasher.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferError.h"

namespace kivo {

namespace {

const QStringList kDefaultHandlerCategories = {QStringLiteral("userFiles"), QStringLiteral("applicationData"),
                                               QStringLiteral("systemSettings"), QStringLiteral("browserData")};

// Chunks up to this size are hashed and written on the calling thread.
constexpr qsizetype kInlineChunkBytes = 65536;

struct VerifyJob {
    QString relativePath;
    QString destinationPath;
    std::uint64_t size = 0;
    // For a file kivo did not write: only whether it matches goes back, never its digest.
    QString compareWith;
};

struct VerifyOutcome {
    enum class Kind { hashed, oversized, unreadable } kind = Kind::unreadable;
    FileVerification verification;
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

VerifyOutcome verifyOne(const DestinationWriter& reader, const VerifyJob& job)
{
    VerifyOutcome out;
    out.verification.filePath = job.relativePath;
    if (job.size > FileHasher::kVerificationSizeLimit) {
        out.kind = VerifyOutcome::Kind::oversized;
        return out;
    }
    try {
        const UniqueFd file = reader.openForReading(job.destinationPath);
        out.verification = {job.relativePath, FileHasher::sha256OfDescriptor(file, job.destinationPath), fs::sizeOf(file)};
        if (!job.compareWith.isEmpty() && out.verification.sha256Hash != job.compareWith)
            out.verification.sha256Hash.clear();
        out.kind = VerifyOutcome::Kind::hashed;
    } catch (const std::exception&) {
        out.kind = VerifyOutcome::Kind::unreadable;
    }
    return out;
}

// What hashing and writing one chunk came to.
struct ChunkOutcome {
    bool hashMatches = true;
    bool diskFull = false;
    std::uint64_t available = 0;
    QString writeError;
};

// `actual` is the payload's hash when the receiver already computed it.
// `running`, when set, takes the chunk into the whole-file hash once it is written.
ChunkOutcome hashAndWrite(DestinationWriter& writer, const QByteArray& data, const QString& actual,
                          const QString& expected, const QString& destination, std::int64_t offset, bool write,
                          Sha256* running)
{
    ChunkOutcome out;
    if ((actual.isEmpty() ? FileHasher::sha256Hex(data) : actual) != expected) {
        out.hashMatches = false;
        return out;
    }
    if (!write)
        return out;
    out.available = writer.freeSpace(std::uint64_t(data.size()));
    if (out.available < std::uint64_t(data.size())) {
        out.diskFull = true;
        return out;
    }
    try {
        // Chunk 0 starts the file afresh; later chunks land at their offsets.
        writer.write(destination, offset, data, offset == 0);
        if (running)
            running->update(data);
    } catch (const WriteFailure& e) {
        if (e.isDiskFull())
            out.diskFull = true;
        else
            out.writeError = e.description();
    }
    return out;
}

} // namespace

DestinationTransfer::DestinationTransfer(TransferConnection* connection, QString transferID, QString homeFolder,
                                         QObject* parent)
    : TransferEngine(connection, std::move(transferID), std::move(homeFolder), parent)
{
}

DestinationTransfer::~DestinationTransfer() = default;

WirePathCheck DestinationTransfer::checkPath(const QString& wirePath) const
{
    return checkWirePath(wirePath, m_home, m_userMapping, m_safety);
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
    Q_EMIT finished();
}

QCoro::Task<void> DestinationTransfer::runDestination()
{
    setIdleDeadline(m_timeouts.manifest);
    TransferManifest manifest = co_await awaitManifest();
    setIdleDeadline(m_timeouts.idle);
    co_await acceptManifest(std::move(manifest));
    while (!m_isCancelled) {
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
            co_await handleVerificationRequest();
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
QCoro::Task<TransferManifest> DestinationTransfer::awaitManifest()
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
        const std::optional<QByteArray> bytes = documentOf(m, &MessageHeader::manifestData);
        if (!bytes)
            throw TransferError::invalidMessage(QStringLiteral("Manifest message missing payload"));
        co_return TransferManifest::decode(*bytes);
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

void DestinationTransfer::prepare(const TransferManifest& manifest)
{
    m_manifest = manifest;
    initProgressFromManifest();
    if (handlerFactory()) {
        for (const QString& id : kDefaultHandlerCategories) {
            if (!handler(id))
                registerHandler(handlerFactory()(id, sessionKey().value_or(QByteArray())));
        }
    }
    m_itemIndex.clear();
    m_itemIndex.reserve(manifest.items.size());
    for (qsizetype i = 0; i < manifest.items.size(); ++i) {
        if (!m_itemIndex.contains(manifest.items[i].relativePath))
            m_itemIndex.insert(manifest.items[i].relativePath, i);
    }
    m_checkedItem = -1;
}

QCoro::Task<void> DestinationTransfer::acceptManifest(TransferManifest manifest)
{
    // The id names the checkpoint file; nothing path-like gets that far.
    if (!ResumeState::isValidTransferID(manifest.transferID))
        throw TransferError::invalidMessage(QStringLiteral("Invalid transfer id"));
    m_transferID = manifest.transferID;
    // The source's user chose how existing files are treated; older sources do not say.
    if (manifest.conflictPolicy)
        m_conflictPolicy = *manifest.conflictPolicy;
    if (m_mappingForManifest)
        m_userMapping = m_mappingForManifest(manifest);
    prepare(manifest);
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
    m_writer = std::make_shared<DestinationWriter>(m_home);
    reopenChangedFiles();
    // Files an earlier run finished are verified with the rest, and those it
    // wrote (it recorded what they were) are handed over with this run's.
    for (const QString& done : m_journal->state().completedFiles) {
        const qsizetype i = m_itemIndex.value(done, -1);
        if (i < 0)
            continue;
        m_manifest->markFileCompleted(i);
        if (m_journal->state().fileIdentities.contains(done)) {
            if (const WirePathCheck check = checkPath(done); !check.refusal)
                m_writtenEarlier.append(check.destination);
        }
    }

    MessageHeader ack = makeHeader(MessageType::manifestAck);
    std::optional<QByteArray> payload;
    if (stored)
        payload = placeDocument(ack, &MessageHeader::resumeState, m_journal->state().encoded());
    co_await send(std::move(ack), std::move(payload));

    TransferProgress::Batch batch(m_progress);
    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
}

void DestinationTransfer::reopenChangedFiles()
{
    const ResumeState& state = m_journal->state();
    QStringList again;
    for (auto it = state.fileIdentities.cbegin(); it != state.fileIdentities.cend(); ++it) {
        const qsizetype i = m_itemIndex.value(it.key(), -1);
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

DestinationTransfer::Target DestinationTransfer::target(const QString& wirePath)
{
    Target t;
    t.itemIndex = m_itemIndex.value(wirePath, -1);
    if (t.itemIndex < 0) {
        t.pathRefusal = checkPath(wirePath).refusal;
        t.refusal = t.pathRefusal ? toString(*t.pathRefusal) : QStringLiteral("Unknown file");
        return t;
    }
    if (m_checkedItem != t.itemIndex) {
        m_checked = checkPath(wirePath);
        m_checkedItem = t.itemIndex;
        m_checkedPartial = m_checked.refusal ? QString() : partialPathFor(m_checked.destination, m_transferID, wirePath);
    }
    t.destination = m_checked.destination;
    t.partial = m_checkedPartial;
    t.pathRefusal = m_checked.refusal;
    if (t.pathRefusal)
        t.refusal = toString(*t.pathRefusal);
    return t;
}

void DestinationTransfer::logRefusal(const QString& wirePath, std::uint32_t chunkIndex, const Target& target) const
{
    const QByteArray path = forLog(wirePath);
    if (target.pathRefusal == PathRefusal::protectedPath)
        qCCritical(lcTransferEngine, "Blocked write to protected path: %s", path.constData());
    else if (target.pathRefusal == PathRefusal::outsideHome)
        qCCritical(lcTransferEngine, "Write outside home folder: %s", path.constData());
    else
        qCWarning(lcTransferEngine, "Refused chunk %u of %s: %s", chunkIndex, path.constData(),
                  qUtf8Printable(target.refusal));
}

// Why a chunk must not be written, or empty; fills in its target.
QString DestinationTransfer::chunkRefusal(const MessageHeader& header, const QByteArray& payload, Target* out)
{
    *out = target(header.filePath.value_or(QString()));
    if (!out->refusal.isEmpty())
        return out->refusal;
    if (!header.chunkIndex)
        return QStringLiteral("Missing chunk index");
    const std::uint64_t end = std::uint64_t(*header.chunkIndex) * FileHasher::kChunkSize + std::uint64_t(payload.size());
    if (payload.size() > FileHasher::kChunkSize || end > m_manifest->items[out->itemIndex].size)
        return QStringLiteral("Chunk beyond end of file");
    if (m_manifest->items[out->itemIndex].transferStatus != FileTransferStatus::pending)
        return QStringLiteral("File already finished");
    return {};
}

QCoro::Task<void> DestinationTransfer::handleIncomingChunk(MessageHeader header, std::optional<QByteArray> payload,
                                                          QString receivedHash)
{
    const QString path = header.filePath.value_or(QString());
    const std::uint32_t chunkIndex = header.chunkIndex.value_or(0);
    auto reply = [&](MessageType type, std::optional<QString> reason) {
        MessageHeader r = makeHeader(type);
        r.filePath = path;
        r.chunkIndex = chunkIndex;
        r.errorMessage = std::move(reason);
        return r;
    };
    if (!payload) {
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Missing chunk data")));
        co_return;
    }
    Target t;
    if (const QString refusal = chunkRefusal(header, *payload, &t); !refusal.isEmpty()) {
        t.refusal = refusal;
        logRefusal(path, chunkIndex, t);
        failRefusedItem(t);
        co_await send(reply(MessageType::chunkNack, refusal));
        co_return;
    }
    const bool write = shouldWrite(t);
    std::shared_ptr<Sha256> running;
    if (write) {
        // Chunk 0 starts the file afresh; any other first chunk continues bytes an
        // earlier run wrote, which are read back once at the end.
        if (chunkIndex == 0)
            m_incoming = {t.itemIndex, 0, std::make_shared<Sha256>()};
        else if (m_incoming.itemIndex != t.itemIndex)
            m_incoming = {t.itemIndex, chunkIndex, nullptr};
        if (m_incoming.hash && chunkIndex == m_incoming.nextChunk)
            running = m_incoming.hash;
        else
            m_incoming.hash.reset(); // a repeat or a gap: the running hash no longer covers the file
    }
    const std::int64_t offset = std::int64_t(chunkIndex) * FileHasher::kChunkSize;
    const QString expected = header.chunkHash.value_or(QString());
    ChunkOutcome outcome;
    if (payload->size() <= kInlineChunkBytes) {
        // Small chunks cost less than the two thread switches a pool job would add to every round trip.
        outcome = hashAndWrite(*m_writer, *payload, receivedHash, expected, t.partial, offset, write, running.get());
    } else {
        // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
        auto pending = startInBackground([writer = m_writer, data = *payload, receivedHash, expected,
                                          destination = t.partial, offset, write, running] {
            return hashAndWrite(*writer, data, receivedHash, expected, destination, offset, write, running.get());
        });
        outcome = co_await finishInBackground(std::move(pending));
    }
    if (running && outcome.hashMatches && !outcome.diskFull && outcome.writeError.isEmpty())
        m_incoming.nextChunk = chunkIndex + 1;
    else if (running && outcome.hashMatches)
        m_incoming.hash.reset(); // the hash may hold part of a failed write
    if (!outcome.hashMatches) {
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Hash mismatch")));
    } else if (outcome.diskFull) {
        MessageHeader error = makeHeader(MessageType::error);
        error.errorCode = QStringLiteral("disk_full");
        error.errorMessage = QStringLiteral("Insufficient disk space");
        co_await send(std::move(error));
        throw TransferError::insufficientDiskSpace(std::uint64_t(payload->size()), outcome.available);
    } else if (!outcome.writeError.isEmpty()) {
        qCCritical(lcTransferEngine, "Write failed: %s", qUtf8Printable(outcome.writeError));
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Write failed")));
    } else {
        recordChunk(t, chunkIndex, std::uint64_t(payload->size()), write);
        co_await send(reply(MessageType::chunkAck, std::nullopt));
    }
}

// A manifest item whose path may not be written fails once, whatever the source sends for it.
void DestinationTransfer::failRefusedItem(const Target& t)
{
    if (t.itemIndex < 0 || !t.pathRefusal || m_manifest->items[t.itemIndex].transferStatus == FileTransferStatus::failed)
        return;
    const QString path = m_manifest->items[t.itemIndex].relativePath;
    const QString categoryID = m_manifest->items[t.itemIndex].categoryID;
    m_manifest->markFileFailed(t.itemIndex);
    addFileError(path, categoryID, t.refusal);
}

// Whether this chunk's bytes go to disk: not for a file the conflict policy kept.
bool DestinationTransfer::shouldWrite(const Target& t)
{
    const QString& path = m_manifest->items[t.itemIndex].relativePath;
    if (m_conflictSkippedPaths.contains(path))
        return false;
    if (m_admitted.contains(t.itemIndex))
        return true;
    if (!admitFirstWrite(t.itemIndex, t.destination))
        return false;
    const auto& item = m_manifest->items[t.itemIndex];
    m_admitted.insert(t.itemIndex);
    m_journal->fileStarted(path, {item.size, item.sourceModified}, m_clock->now());
    return true;
}

bool DestinationTransfer::admitFirstWrite(qsizetype itemIndex, const QString& destinationPath)
{
    const auto& item = m_manifest->items[itemIndex];
    // Partial content left by an earlier run of this transfer is ours to continue.
    if (m_journal->wasStarted(item.relativePath))
        return true;
    const ConflictDecision decision = ConflictResolver::resolve(destinationPath, item.sourceModified, m_conflictPolicy);
    if (decision.reason.isEmpty()) {
        m_freshTargets.insert(itemIndex);
        return true;
    }
    m_pendingConflicts.insert(itemIndex, decision);
    if (!decision.write)
        m_conflictSkippedPaths.insert(item.relativePath);
    return decision.write;
}

void DestinationTransfer::recordConflict(const TransferManifest::FileItem& item, const ConflictDecision& decision)
{
    qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(item.relativePath), qUtf8Printable(decision.reason));
    m_progress->addConflictOutcome({QUuid::createUuid(), item.relativePath,
                                    decision.write ? QStringLiteral("overwritten") : QStringLiteral("skipped"),
                                    m_clock->now()});
}

QCoro::Task<bool> DestinationTransfer::holdsContent(QString path, QString sha256)
{
    // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
    auto hashing = startInBackground([writer = m_writer, path] {
        return FileHasher::sha256OfDescriptor(writer->openForReading(path), path);
    });
    try {
        co_return co_await finishInBackground(std::move(hashing)) == sha256;
    } catch (const std::exception&) {
        co_return false;
    }
}

void DestinationTransfer::recordChunk(const Target& t, std::uint32_t chunkIndex, std::uint64_t size, bool written)
{
    const auto& item = m_manifest->items[t.itemIndex];
    if (written) {
        m_journal->chunkWritten(item.relativePath, item.categoryID, chunkIndex, size, m_clock->now());
    }
    m_bytesDone += size;
    TransferProgress::Batch batch(m_progress);
    const QString& path = item.relativePath;
    m_progress->setCurrentFile(path.mid(path.lastIndexOf(u'/') + 1));
    m_progress->setCurrentFilePath(path);
    m_progress->setCurrentFileIndex(t.itemIndex);
    m_progress->recordProgress(m_bytesDone);
    m_progress->updateCategory(item.categoryID, [size](CategoryProgress& p) { p.bytesTransferred += size; });
}

void DestinationTransfer::recordWritten(qsizetype itemIndex, const QString& destinationPath)
{
    if (m_itemsWritten.contains(itemIndex))
        return;
    m_itemsWritten.insert(itemIndex);
    m_writtenPaths.append(destinationPath);
    m_writtenByCategory[m_manifest->items[itemIndex].categoryID].append(destinationPath);
}

QCoro::Task<void> DestinationTransfer::handleFileComplete(MessageHeader header)
{
    const QString path = header.filePath.value_or(QString());
    const Target t = target(path);
    if (!t.refusal.isEmpty()) {
        qCWarning(lcTransferEngine, "fileComplete for %s refused: %s", forLog(path).constData(),
                  qUtf8Printable(t.refusal));
        failRefusedItem(t);
        co_await send(makeHeader(MessageType::fileAck));
        co_return;
    }
    const auto item = m_manifest->items[t.itemIndex];
    // A repeated fileComplete changes nothing.
    if (item.transferStatus != FileTransferStatus::pending) {
        MessageHeader ack = makeHeader(MessageType::fileAck);
        ack.filePath = path;
        co_await send(std::move(ack));
        co_return;
    }
    std::optional<QString> failure;
    // An empty file has no chunk to create it, so the conflict policy is asked here.
    if (item.size == 0 && !m_conflictSkippedPaths.contains(path))
        shouldWrite(t);
    if (header.chunkHash)
        m_sourceHashes.insert(t.itemIndex, *header.chunkHash);
    bool alreadyThere = false;
    if (const auto pending = m_pendingConflicts.constFind(t.itemIndex); pending != m_pendingConflicts.cend()) {
        const ConflictDecision decision = *pending;
        m_pendingConflicts.erase(pending);
        // The same file already in place (an earlier run of this migration put it
        // there) is no conflict: kept as it is, it counts as received.
        if (header.chunkHash && co_await holdsContent(t.destination, *header.chunkHash)) {
            alreadyThere = !decision.write;
            m_conflictSkippedPaths.remove(path);
        } else {
            recordConflict(item, decision);
        }
    }
    if (!m_conflictSkippedPaths.contains(path) && !alreadyThere)
        failure = co_await finishFile(t, header.chunkHash);
    m_incoming = {};
    if (failure) {
        qCCritical(lcTransferEngine, "%s failed: %s", forLog(path).constData(), qUtf8Printable(*failure));
        try {
            m_writer->remove(t.partial);
        } catch (const WriteFailure& e) {
            qCWarning(lcTransferEngine).noquote() << "Could not remove" << t.partial << e.description();
        }
        m_admitted.remove(t.itemIndex);
        m_journal->fileAbandoned(path, m_clock->now());
        m_manifest->markFileFailed(t.itemIndex);
        m_failedAtCompletion.append(t.itemIndex);
        addFileError(path, item.categoryID, *failure);
    } else {
        if (m_conflictSkippedPaths.contains(path)) {
            m_manifest->markFileSkipped(t.itemIndex);
        } else {
            m_manifest->markFileCompleted(t.itemIndex);
            TransferProgress::Batch batch(m_progress);
            m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
            m_progress->updateCategory(item.categoryID, [](CategoryProgress& p) { p.filesCompleted += 1; });
        }
        m_journal->fileCompleted(path, m_clock->now());
    }
    m_writer->closeCurrent();
    MessageHeader ack = makeHeader(MessageType::fileAck);
    ack.filePath = path;
    co_await send(std::move(ack));
}

QCoro::Task<std::optional<QString>> DestinationTransfer::finishFile(Target t, std::optional<QString> expectedHash)
{
    const auto& item = m_manifest->items[t.itemIndex];
    if (!expectedHash)
        co_return QStringLiteral("No file hash from the source");
    QString actual;
    if (item.size == 0) {
        try {
            m_writer->write(t.partial, 0, {}, true);
        } catch (const WriteFailure& e) {
            co_return e.description();
        }
        actual = FileHasher::sha256Hex({});
    } else if (m_incoming.itemIndex == t.itemIndex && m_incoming.hash
               && std::uint64_t(m_incoming.nextChunk) * FileHasher::kChunkSize >= item.size) {
        // Every chunk arrived in order in this run: the running hash covers the whole file.
        actual = m_incoming.hash->finishHex();
    } else {
        if (!m_admitted.contains(t.itemIndex) && !m_journal->wasStarted(item.relativePath))
            co_return QStringLiteral("File data never arrived");
        // Bytes from an earlier run, or chunks out of order: read the file back once.
        if (m_writer->regularFileSize(t.partial) != item.size)
            co_return QStringLiteral("File data incomplete");
        // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
        auto hashing = startInBackground([writer = m_writer, partial = t.partial] {
            return FileHasher::sha256OfDescriptor(writer->openForReading(partial), partial);
        });
        try {
            actual = co_await finishInBackground(std::move(hashing));
        } catch (const std::exception& e) {
            co_return describe(e);
        }
    }
    if (actual != *expectedHash)
        co_return QStringLiteral("File hash mismatch");
    if (item.mode)
        co_await applyFileMode(t.partial, *item.mode);
    try {
        if (!m_writer->commit(t.partial, t.destination, !m_freshTargets.contains(t.itemIndex))) {
            // Someone else's file took the name while this one arrived: theirs stays.
            m_writer->remove(t.partial);
            qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(item.relativePath),
                   "destination appeared during transfer");
            m_progress->addConflictOutcome({QUuid::createUuid(), item.relativePath, QStringLiteral("skipped"), m_clock->now()});
            m_conflictSkippedPaths.insert(item.relativePath);
            co_return std::nullopt;
        }
    } catch (const WriteFailure& e) {
        co_return e.description();
    }
    recordWritten(t.itemIndex, t.destination);
    m_checkedHashes.insert(t.itemIndex, actual);
    co_return std::nullopt;
}

void DestinationTransfer::handleFileSkip(const MessageHeader& header)
{
    const QString path = header.filePath.value_or(QString());
    const qsizetype index = m_itemIndex.value(path, -1);
    if (index < 0 || m_manifest->items[index].transferStatus != FileTransferStatus::pending)
        return;
    // Bytes already gathered for it are of no use now.
    if (m_admitted.contains(index) || m_journal->wasStarted(path)) {
        if (const Target t = target(path); t.refusal.isEmpty()) {
            try {
                m_writer->remove(t.partial);
            } catch (const WriteFailure& e) {
                qCWarning(lcTransferEngine).noquote() << "Could not remove" << t.partial << e.description();
            }
        }
        m_admitted.remove(index);
        m_journal->fileAbandoned(path, m_clock->now());
        if (m_incoming.itemIndex == index)
            m_incoming = {};
    }
    m_manifest->markFileSkipped(index);
    addFileError(path, m_manifest->items[index].categoryID,
                 header.errorMessage.value_or(QStringLiteral("Skipped by source")));
}

QCoro::Task<void> DestinationTransfer::applyFileMode(QString path, std::uint16_t mode)
{
    if (m_corrector && m_userMapping && m_userMapping->sourceUsername != m_userMapping->destinationUsername) {
        if (co_await m_corrector->setFileMode(path, mode))
            co_return;
    }
    try {
        m_writer->setMode(path, mode);
    } catch (const WriteFailure& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not set mode:" << e.description();
    }
}

QCoro::Task<void> DestinationTransfer::handleCategoryStart(QString categoryID)
{
    const QList<TransferManifest::FileItem> items = m_manifest->itemsForCategory(categoryID);
    {
        TransferProgress::Batch batch(m_progress);
        m_progress->setCurrentCategoryName(m_progress->categoryProgress().value(categoryID).categoryName);
        m_progress->setCurrentCategoryIndex(m_manifest->categoryOrder.indexOf(categoryID));
        m_progress->updateCategory(categoryID, [&](CategoryProgress& p) {
            p.categoryID = categoryID;
            if (p.categoryName.isEmpty())
                p.categoryName = categoryID;
            p.status = CategoryStatus::inProgress;
            p.totalFiles = int(items.size());
            p.totalBytes = 0;
            for (const auto& item : items)
                p.totalBytes += item.size;
        });
    }
    Q_EMIT categoryStarted(categoryID);
    if (auto h = handler(categoryID)) {
        const QList<CategoryTransferHandler::Refusal> refused = co_await h->preflightDestination(items);
        for (const auto& [path, reason] : refused)
            addFileError(path, categoryID, reason);
    }
}

QCoro::Task<void> DestinationTransfer::handleCategoryComplete(QString categoryID)
{
    m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.status = CategoryStatus::completed; });
    m_journal->categoryCompleted(categoryID, m_clock->now());
    if (m_adapter) {
        try {
            co_await m_adapter->adaptCategory(categoryID, writtenFilesOf(categoryID));
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "Adapting" << categoryID << "failed:" << describe(e);
        }
    }
    if (auto h = handler(categoryID)) {
        try {
            co_await h->postImport(m_writtenByCategory.value(categoryID));
        } catch (const std::exception& e) {
            qCWarning(lcTransferEngine).noquote() << "postImport of" << categoryID << "failed:" << describe(e);
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

// Where each completed item of the category was written.
QStringList DestinationTransfer::writtenFilesOf(const QString& categoryID) const
{
    QStringList out;
    for (const auto& item : std::as_const(m_manifest->items)) {
        if (item.categoryID != categoryID || item.transferStatus != FileTransferStatus::completed)
            continue;
        if (const WirePathCheck check = checkPath(item.relativePath); !check.refusal)
            out.append(check.destination);
    }
    return out;
}

QCoro::Task<void> DestinationTransfer::handleVerificationRequest()
{
    // Every file of the manifest that should now be there, as it is now: a file
    // damaged or removed since it was written is reported, not passed over.
    // Files kept by the conflict policy are compared here with the source's
    // hash, so no digest of a file kivo did not write goes out.
    QList<VerifyJob> jobs;
    QList<FileVerification> hashes;
    qsizetype skipped = 0;
    for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
        const auto& item = m_manifest->items[i];
        const bool kept = item.transferStatus == FileTransferStatus::skipped
            && m_conflictSkippedPaths.contains(item.relativePath);
        if (item.transferStatus != FileTransferStatus::completed && !kept)
            continue;
        const WirePathCheck check = checkPath(item.relativePath);
        if (check.refusal || (kept && !m_sourceHashes.contains(i)))
            ++skipped;
        else if (item.size > FileHasher::kVerificationSizeLimit && m_checkedHashes.contains(i))
            hashes.append({item.relativePath, m_checkedHashes.value(i), item.size}); // checked as it arrived
        else
            jobs.append({item.relativePath, check.destination, item.size, kept ? m_sourceHashes.value(i) : QString()});
    }
    // The source took those for sent; an empty hash tells it they did not arrive whole.
    for (qsizetype i : std::as_const(m_failedAtCompletion))
        hashes.append({m_manifest->items[i].relativePath, QString(), 0});
    std::shared_ptr<const DestinationWriter> reader = m_writer;
    QFuture<VerifyOutcome> hashing = QtConcurrent::mapped(
        verificationPool(), jobs, [reader](const VerifyJob& job) { return verifyOne(*reader, job); });
    // Awaiting a future reads its first result, which an empty one does not have.
    if (!jobs.isEmpty())
        co_await hashing;

    const QList<VerifyOutcome> outcomes = jobs.isEmpty() ? QList<VerifyOutcome>{} : hashing.results();
    for (const VerifyOutcome& outcome : outcomes) {
        if (outcome.kind == VerifyOutcome::Kind::hashed)
            hashes.append(outcome.verification);
        else if (outcome.kind == VerifyOutcome::Kind::unreadable)
            hashes.append({outcome.verification.filePath, QString(), 0}); // missing or unreadable: a mismatch
        else
            ++skipped;
    }
    {
        TransferProgress::Batch batch(m_progress);
        m_progress->setVerificationFilesChecked(hashes.size());
        m_progress->setVerificationFilesSkipped(skipped);
    }
    MessageHeader response = makeHeader(MessageType::verificationResponse);
    std::optional<QByteArray> payload = placeHashes(response, std::move(hashes));
    co_await send(std::move(response), std::move(payload));
    Q_EMIT verificationFinished();
}

QCoro::Task<void> DestinationTransfer::finishTransfer()
{
    if (m_corrector) {
        const QString owner = m_userMapping ? m_userMapping->destinationUsername : host::loginUserName();
        co_await m_corrector->correctOwnership(m_home, owner, m_writtenEarlier + m_writtenPaths);
    }
    m_journal->remove();
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
    QStringList paths = m_writtenPaths;
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
    m_writtenPaths.clear();
}

} // namespace kivo
