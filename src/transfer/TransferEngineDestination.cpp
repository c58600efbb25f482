#include "transfer/TransferEngine.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/HostNames.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
#include "transfer/Background.h"
#include "transfer/ConflictResolver.h"
#include "transfer/FileHasher.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferError.h"
#include "transfer/WireFormat.h"

#include <QFileInfo>
#include <QJsonArray>

namespace kivo {

namespace {

const QStringList kDefaultHandlerCategories = {QStringLiteral("userFiles"), QStringLiteral("applicationData"),
                                               QStringLiteral("systemSettings"), QStringLiteral("browserData")};

// Developer configuration files whose text may name the old home folder.
const QStringList kDeveloperConfigFiles = {
    QStringLiteral(".zshrc"),        QStringLiteral(".zprofile"),     QStringLiteral(".zshenv"),
    QStringLiteral(".bashrc"),       QStringLiteral(".bash_profile"), QStringLiteral(".bash_logout"),
    QStringLiteral(".profile"),      QStringLiteral(".gitconfig"),    QStringLiteral(".gemrc"),
    QStringLiteral(".npmrc"),        QStringLiteral(".tool-versions"), QStringLiteral(".ruby-version"),
    QStringLiteral(".python-version"), QStringLiteral(".nvmrc"),      QStringLiteral(".asdfrc"),
    QStringLiteral(".mise.toml")};

// What hashing and writing one chunk came to.
struct ChunkOutcome {
    bool hashMatches = true;
    bool diskFull = false;
    std::uint64_t available = 0;
    QString writeError;
};

// Chunks up to this size are hashed and written on the calling thread.
constexpr qsizetype kInlineChunkBytes = 65536;

// `actual` is the payload's hash when the receiver already computed it.
ChunkOutcome hashAndWrite(DestinationWriter& writer, const QByteArray& data, const QString& actual,
                          const QString& expected, const QString& destination, std::int64_t offset, bool write)
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
    } catch (const WriteFailure& e) {
        if (e.isDiskFull())
            out.diskFull = true;
        else
            out.writeError = e.description();
    }
    return out;
}

struct VerifyJob {
    QString relativePath;
    QString destinationPath;
    std::uint64_t size = 0;
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

} // namespace

QCoro::Task<void> TransferEngine::receive()
{
    try {
        co_await runDestination();
    } catch (const std::exception& e) {
        fail(QStringLiteral("Receive failed: %1"), describe(e));
    } catch (...) {
        fail(QStringLiteral("Receive failed: %1"), QStringLiteral("Unknown error"));
    }
    if (m_writer)
        m_writer->closeCurrent();
    Q_EMIT finished();
}

void TransferEngine::prepare(const TransferManifest& manifest)
{
    m_manifest = manifest;
    m_progress->setTotalBytes(manifest.totalSize);
    m_progress->setTotalFiles(manifest.items.size());
    m_progress->setTotalCategories(manifest.categoryOrder.size());
    initCategoryProgress();
    if (m_handlerFactory) {
        for (const QString& id : kDefaultHandlerCategories) {
            if (!handler(id))
                registerHandler(m_handlerFactory(id, m_sessionKey.value_or(QByteArray())));
        }
    }
    m_itemIndex.clear();
    m_itemIndex.reserve(manifest.items.size());
    for (qsizetype i = 0; i < manifest.items.size(); ++i) {
        if (!m_itemIndex.contains(manifest.items[i].relativePath))
            m_itemIndex.insert(manifest.items[i].relativePath, i);
    }
}

QCoro::Task<void> TransferEngine::runDestination()
{
    TransferManifest manifest;
    for (;;) {
        Message m = co_await m_connection->receiveMessage();
        if (m.header.type == MessageType::preFlightConflictRequest) {
            if (!m.payload)
                throw TransferError::invalidMessage(QStringLiteral("preFlightConflictRequest missing payload"));
            co_await respondToPreFlightConflictRequest(m.header, *m.payload);
            continue;
        }
        if (m.header.type == MessageType::manifest) {
            const std::optional<QByteArray> bytes = m.header.manifestData ? m.header.manifestData : m.payload;
            if (!bytes)
                throw TransferError::invalidMessage(QStringLiteral("Manifest message missing payload"));
            manifest = TransferManifest::decode(*bytes);
            break;
        }
        throw TransferError::invalidMessage(QStringLiteral("Expected manifest or pre-flight conflict request, got ") +
                                            toString(m.header.type));
    }
    // The id names the checkpoint file; nothing path-like gets that far.
    if (!ResumeState::isValidTransferID(manifest.transferID))
        throw TransferError::invalidMessage(QStringLiteral("Invalid transfer id"));
    m_transferID = manifest.transferID;
    if (m_mappingForManifest)
        m_userMapping = m_mappingForManifest(manifest);
    prepare(manifest);
    emitProgress();

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
    m_resumeState = m_journal->state();
    m_writer = std::make_shared<DestinationWriter>(m_home);

    MessageHeader ack = makeHeader(MessageType::manifestAck);
    std::optional<QByteArray> ackPayload;
    if (stored) {
        QByteArray checkpoint = m_journal->state().encoded();
        // A checkpoint with many finished files can outgrow the header; it then rides as the payload.
        if ((checkpoint.size() + 2) / 3 * 4 + 1024 <= WireFormat::kMaxHeaderLength) {
            ack.resumeState = std::move(checkpoint);
        } else {
            ack.payloadSize = static_cast<std::uint32_t>(checkpoint.size());
            ackPayload = std::move(checkpoint);
        }
    }
    co_await send(std::move(ack), std::move(ackPayload));

    m_progress->setStartedAt(m_clock->now());
    m_progress->setIsTransferring(true);
    emitProgress();

    while (!m_isCancelled) {
        Message m = co_await m_connection->receiveMessage();
        switch (m.header.type) {
        case MessageType::chunkData:
            co_await handleIncomingChunk(std::move(m.header), std::move(m.payload), std::move(m.payloadSha256));
            break;
        case MessageType::fileComplete:
            co_await handleFileComplete(std::move(m.header));
            break;
        case MessageType::fileSkip: {
            const QString path = m.header.filePath.value_or(QString());
            const qsizetype index = m_itemIndex.value(path, -1);
            if (index >= 0) {
                m_manifest->markFileSkipped(index);
                addFileError(path, m_manifest->items[index].categoryID,
                             m.header.errorMessage.value_or(QStringLiteral("Skipped by source")));
                emitProgress();
            }
            break;
        }
        case MessageType::categoryStart:
            co_await handleCategoryStart(m.header.filePath.value_or(QString()));
            break;
        case MessageType::categoryComplete:
            co_await handleCategoryComplete(m.header.filePath.value_or(QString()));
            break;
        case MessageType::verificationRequest:
            co_await handleVerificationRequest();
            break;
        case MessageType::transferComplete: {
            if (m_corrector) {
                const QString owner = m_userMapping ? m_userMapping->destinationUsername : host::loginUserName();
                co_await m_corrector->correctOwnership(m_home, owner, m_writtenPaths);
            }
            m_journal->remove();
            m_progress->setIsComplete(true);
            m_progress->setCompletedAt(m_clock->now());
            m_progress->setIsTransferring(false);
            emitProgress();
            co_return;
        }
        case MessageType::error:
            m_progress->setError(m.header.errorMessage.value_or(QStringLiteral("Unknown error from source")));
            m_progress->setIsTransferring(false);
            emitProgress();
            co_return;
        case MessageType::pause:
            m_progress->setIsPaused(true);
            emitProgress();
            break;
        case MessageType::resume:
            m_progress->setIsPaused(false);
            emitProgress();
            break;
        default:
            qCCritical(lcTransferEngine, "Unexpected message type: %s", qUtf8Printable(toString(m.header.type)));
        }
    }
    m_progress->setIsTransferring(false);
    emitProgress();
}

QCoro::Task<void> TransferEngine::respondToPreFlightConflictRequest(MessageHeader, QByteArray payload)
{
    const PreFlightConflictResponse response =
        answerConflictRequest(PreFlightConflictRequest::decode(payload), UserFolders(m_home), m_clock->now());
    QByteArray body = response.encoded();
    MessageHeader header = makeHeader(MessageType::preFlightConflictResponse);
    header.payloadSize = static_cast<std::uint32_t>(body.size());
    co_await send(std::move(header), std::move(body));
}

QString TransferEngine::validatedPath(const MessageHeader& header, qsizetype* itemIndex, QString* refusal) const
{
    const QString path = header.filePath.value_or(QString());
    QStringView rest;
    if (path.startsWith(QLatin1String("~/")))
        rest = QStringView(path).mid(2);
    else if (path.startsWith(u'/'))
        rest = QStringView(path).mid(1);
    bool valid = !rest.isEmpty() && !path.contains(QChar(0));
    if (valid) {
        for (const QStringView part : rest.split(u'/')) {
            if (part.isEmpty() || part == u"." || part == u"..") {
                valid = false;
                break;
            }
        }
    }
    if (!valid) {
        *refusal = QStringLiteral("Invalid path");
        return {};
    }
    *itemIndex = m_itemIndex.value(path, -1);
    if (*itemIndex < 0) {
        *refusal = QStringLiteral("Unknown file");
        return {};
    }
    const QString destination = resolveDestinationPath(path);
    if (!destination.startsWith(u'/') || destination.contains(QLatin1String("/../")) || destination.endsWith(QLatin1String("/.."))) {
        *refusal = QStringLiteral("Invalid path");
        return {};
    }
    return destination;
}

bool TransferEngine::admitFirstWrite(qsizetype itemIndex, const QString& destinationPath)
{
    const auto& item = m_manifest->items[itemIndex];
    // Partial content left by an earlier run of this transfer is ours to continue.
    if (m_journal->wasStarted(item.relativePath))
        return true;
    const ConflictDecision decision = ConflictResolver::resolve(destinationPath, item.sourceModified, m_conflictPolicy);
    if (decision.reason.isEmpty())
        return true;
    qCInfo(lcTransferEngine, "Conflict at %s — %s", qUtf8Printable(item.relativePath), qUtf8Printable(decision.reason));
    m_progress->addConflictOutcome({QUuid::createUuid(), item.relativePath,
                                    decision.write ? QStringLiteral("overwritten") : QStringLiteral("skipped"),
                                    m_clock->now()});
    if (!decision.write)
        m_conflictSkippedPaths.insert(item.relativePath);
    return decision.write;
}

void TransferEngine::recordWritten(qsizetype itemIndex, const QString& destinationPath)
{
    if (m_itemsWritten.contains(itemIndex))
        return;
    m_itemsWritten.insert(itemIndex);
    m_writtenPaths.append(destinationPath);
    m_writtenByCategory[m_manifest->items[itemIndex].categoryID].append(destinationPath);
}

QCoro::Task<void> TransferEngine::handleIncomingChunk(MessageHeader header, std::optional<QByteArray> payload,
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
    qsizetype itemIndex = -1;
    QString refusal;
    const QString destination = validatedPath(header, &itemIndex, &refusal);
    if (refusal.isEmpty() && !header.chunkIndex)
        refusal = QStringLiteral("Missing chunk index");
    if (refusal.isEmpty()) {
        const std::uint64_t end = std::uint64_t(chunkIndex) * FileHasher::kChunkSize + std::uint64_t(payload->size());
        if (payload->size() > FileHasher::kChunkSize || end > m_manifest->items[itemIndex].size)
            refusal = QStringLiteral("Chunk beyond end of file");
    }
    if (!refusal.isEmpty()) {
        qCWarning(lcTransferEngine, "Refused chunk %u of %s: %s", chunkIndex, qUtf8Printable(path),
                  qUtf8Printable(refusal));
        co_await send(reply(MessageType::chunkNack, refusal));
        co_return;
    }
    if (!m_safety.isPathSafe(destination)) {
        qCCritical(lcTransferEngine, "Blocked write to protected path: %s", qUtf8Printable(destination));
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Protected path")));
        co_return;
    }
    if (m_userMapping && !destination.startsWith(m_home + u'/'))
        qCCritical(lcTransferEngine, "Write outside home folder: %s", qUtf8Printable(destination));

    const auto& item = m_manifest->items[itemIndex];
    bool write = !m_conflictSkippedPaths.contains(path);
    if (write && !m_itemsWritten.contains(itemIndex)) {
        write = admitFirstWrite(itemIndex, destination);
        if (write)
            m_journal->fileStarted(path, m_clock->now());
    }

    const std::int64_t offset = std::int64_t(chunkIndex) * FileHasher::kChunkSize;
    const QString expected = header.chunkHash.value_or(QString());
    ChunkOutcome outcome;
    if (payload->size() <= kInlineChunkBytes) {
        // Small chunks cost less than the two thread switches a pool job would add to every round trip.
        outcome = hashAndWrite(*m_writer, *payload, receivedHash, expected, destination, offset, write);
    } else {
        // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
        auto pending = startInBackground([writer = m_writer, data = *payload, receivedHash, expected, destination, offset,
                                          write] {
            return hashAndWrite(*writer, data, receivedHash, expected, destination, offset, write);
        });
        outcome = co_await finishInBackground(std::move(pending));
    }

    if (!outcome.hashMatches) {
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Hash mismatch")));
        co_return;
    }
    if (outcome.diskFull) {
        MessageHeader error = makeHeader(MessageType::error);
        error.errorCode = QStringLiteral("disk_full");
        error.errorMessage = QStringLiteral("Insufficient disk space");
        co_await send(std::move(error));
        throw TransferError::insufficientDiskSpace(std::uint64_t(payload->size()), outcome.available);
    }
    if (!outcome.writeError.isEmpty()) {
        qCCritical(lcTransferEngine, "Write failed: %s", qUtf8Printable(outcome.writeError));
        co_await send(reply(MessageType::chunkNack, QStringLiteral("Write failed")));
        co_return;
    }

    const auto size = std::uint64_t(payload->size());
    if (write) {
        recordWritten(itemIndex, destination);
        m_journal->chunkWritten(path, item.categoryID, chunkIndex, size, m_clock->now());
    }
    m_bytesDone += size;
    m_progress->setCurrentFile(path.mid(path.lastIndexOf(u'/') + 1));
    m_progress->setCurrentFilePath(path);
    m_progress->setCurrentFileIndex(itemIndex);
    m_progress->recordProgress(m_bytesDone);
    m_progress->updateCategory(item.categoryID, [size](CategoryProgress& p) { p.bytesTransferred += size; });
    emitProgress();
    co_await send(reply(MessageType::chunkAck, std::nullopt));
}

QCoro::Task<void> TransferEngine::handleFileComplete(MessageHeader header)
{
    const QString path = header.filePath.value_or(QString());
    qsizetype index = -1;
    QString refusal;
    const QString destination = validatedPath(header, &index, &refusal);
    if (!refusal.isEmpty()) {
        qCWarning(lcTransferEngine, "fileComplete for %s refused: %s", qUtf8Printable(path), qUtf8Printable(refusal));
        co_await send(makeHeader(MessageType::fileAck));
        co_return;
    }
    const auto item = m_manifest->items[index];

    if (m_conflictSkippedPaths.contains(path)) {
        m_manifest->markFileSkipped(index);
    } else {
        if (!m_itemsWritten.contains(index) && m_journal->wasStarted(path))
            recordWritten(index, destination);
        // An empty file has no chunk to create it.
        if (item.size == 0 && !m_itemsWritten.contains(index) && m_safety.isPathSafe(destination)
            && admitFirstWrite(index, destination)) {
            try {
                m_writer->write(destination, 0, {}, true);
                recordWritten(index, destination);
            } catch (const WriteFailure& e) {
                qCCritical(lcTransferEngine, "Write failed: %s", qUtf8Printable(e.description()));
            }
        }
        if (m_conflictSkippedPaths.contains(path)) {
            m_manifest->markFileSkipped(index);
        } else {
            if (item.mode && m_itemsWritten.contains(index))
                co_await applyFileMode(destination, *item.mode);
            m_manifest->markFileCompleted(index);
            m_writer->closeCurrent();
            m_progress->setFilesCompleted(m_progress->filesCompleted() + 1);
            m_progress->updateCategory(item.categoryID, [](CategoryProgress& p) { p.filesCompleted += 1; });
        }
    }
    m_writer->closeCurrent();
    m_journal->fileCompleted(path, m_clock->now());
    emitProgress();
    MessageHeader ack = makeHeader(MessageType::fileAck);
    ack.filePath = path;
    co_await send(std::move(ack));
}

QCoro::Task<void> TransferEngine::applyFileMode(QString path, std::uint16_t mode)
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

QCoro::Task<void> TransferEngine::handleCategoryStart(QString categoryID)
{
    const QList<TransferManifest::FileItem> items = m_manifest->itemsForCategory(categoryID);
    m_progress->setCurrentCategoryName(m_progress->categoryProgress().value(categoryID).categoryName);
    m_progress->setCurrentCategoryIndex(m_manifest->categoryOrder.indexOf(categoryID));
    m_progress->updateCategory(categoryID, [&](CategoryProgress& p) {
        p.categoryID = categoryID;
        if (p.categoryName.isEmpty())
            p.categoryName = categoryID;
        p.status = CategoryStatus::inProgress;
        p.totalFiles = int(items.size());
        std::uint64_t bytes = 0;
        for (const auto& item : items)
            bytes += item.size;
        p.totalBytes = bytes;
    });
    Q_EMIT categoryStarted(categoryID);
    emitProgress();
    if (auto h = handler(categoryID)) {
        const QList<CategoryTransferHandler::Refusal> refused = co_await h->preflightDestination(items);
        for (const auto& [path, reason] : refused)
            addFileError(path, categoryID, reason);
    }
}

QCoro::Task<void> TransferEngine::handleCategoryComplete(QString categoryID)
{
    m_progress->updateCategory(categoryID, [](CategoryProgress& p) { p.status = CategoryStatus::completed; });
    m_journal->categoryCompleted(categoryID, m_clock->now());
    emitProgress();
    co_await adaptToAccount(categoryID);
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

QCoro::Task<void> TransferEngine::adaptToAccount(QString categoryID)
{
    if (!m_rewriter)
        co_return;
    const std::optional<UserMapping> mapping = m_rewriter->mapping();
    if (!mapping || !mapping->changesHomeFolder())
        co_return;
    const bool settings = categoryID == QLatin1String("applicationData") || categoryID == QLatin1String("systemSettings");
    const bool developer = categoryID == QLatin1String("engineeringTools");
    if (!settings && !developer)
        co_return;
    for (const auto& item : std::as_const(m_manifest->items)) {
        if (item.categoryID != categoryID || item.transferStatus != FileTransferStatus::completed)
            continue;
        const QString path = resolveDestinationPath(item.relativePath);
        const QString name = QFileInfo(path).fileName();
        if (developer) {
            if (kDeveloperConfigFiles.contains(name) || name.startsWith(QLatin1String("Brewfile-migration-")))
                m_rewriter->rewriteTextFilePaths(path);
            continue;
        }
        // Keys and other SSH material stay byte-for-byte; only the config names paths.
        if (path.contains(QLatin1String("/.ssh/"))) {
            if (name == QLatin1String("config"))
                m_rewriter->rewriteTextFilePaths(path);
            continue;
        }
        if (path.endsWith(QLatin1String(".plist")))
            m_rewriter->rewritePlistPaths(path);
        else
            m_rewriter->rewriteTextFilePaths(path);
    }
}

QCoro::Task<void> TransferEngine::handleVerificationRequest()
{
    QList<VerifyJob> jobs;
    for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
        const auto& item = m_manifest->items[i];
        if (item.transferStatus == FileTransferStatus::completed)
            jobs.append({item.relativePath, resolveDestinationPath(item.relativePath), item.size});
    }
    std::shared_ptr<const DestinationWriter> reader = m_writer;
    QFuture<VerifyOutcome> hashing = QtConcurrent::mapped(verificationPool(), jobs, [reader](const VerifyJob& job) {
        VerifyOutcome out;
        if (job.size > FileHasher::kVerificationSizeLimit) {
            out.kind = VerifyOutcome::Kind::oversized;
            return out;
        }
        try {
            const UniqueFd file = reader->openForReading(job.destinationPath);
            out.verification = {job.relativePath, FileHasher::sha256OfDescriptor(file.get()), fs::sizeOf(file)};
            out.kind = VerifyOutcome::Kind::hashed;
        } catch (const std::exception&) {
            out.kind = VerifyOutcome::Kind::unreadable;
        }
        return out;
    });
    co_await hashing;

    QList<FileVerification> hashes;
    qsizetype skipped = 0;
    for (const VerifyOutcome& outcome : hashing.results()) {
        if (outcome.kind == VerifyOutcome::Kind::hashed)
            hashes.append(outcome.verification);
        else
            ++skipped;
    }
    m_progress->setVerificationFilesChecked(hashes.size());
    m_progress->setVerificationFilesSkipped(skipped);
    emitProgress();

    MessageHeader response = makeHeader(MessageType::verificationResponse);
    qint64 estimate = 0;
    for (const FileVerification& v : std::as_const(hashes))
        estimate += v.filePath.size() * 2 + 120;
    if (estimate + 1024 <= WireFormat::kMaxHeaderLength) {
        response.fileHashes = std::move(hashes);
        co_await send(std::move(response));
    } else {
        // Too many entries for one header: the same array rides as the payload.
        QJsonArray array;
        for (const FileVerification& v : std::as_const(hashes))
            array.append(v.toJson());
        QByteArray body = QJsonDocument(array).toJson(QJsonDocument::Compact);
        response.payloadSize = static_cast<std::uint32_t>(body.size());
        co_await send(std::move(response), std::move(body));
    }
    Q_EMIT verificationFinished();
}

} // namespace kivo
