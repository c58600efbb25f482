#include "support/CoroTest.h"
#include "support/ManualClock.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferEngineSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

const QString kEmptyHash = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

// A destination that stores what it receives in memory and answers like the real one,
// with hooks to misbehave.
struct FakeDestination {
    ScriptedConnection connection;
    QHash<QString, QByteArray> files;
    std::optional<ResumeState> checkpoint;
    std::function<std::optional<MessageHeader>(const MessageHeader&, int attempt)> chunkReply;
    std::function<std::optional<MessageHeader>()> verificationReply;
    QHash<QString, int> attempts;

    FakeDestination()
    {
        connection.onSend = [this](const Message& m) { answer(m); };
    }

    void answer(const Message& m)
    {
        const MessageHeader& h = m.header;
        switch (h.type) {
        case MessageType::manifest: {
            MessageHeader ack = header(MessageType::manifestAck);
            if (checkpoint)
                ack.resumeState = checkpoint->encoded();
            connection.push(ack);
            break;
        }
        case MessageType::chunkData: {
            const QString key = *h.filePath + u'#' + QString::number(*h.chunkIndex);
            const int attempt = attempts[key]++;
            if (chunkReply) {
                if (auto reply = chunkReply(h, attempt)) {
                    connection.push(*reply);
                    break;
                }
            }
            QByteArray& data = files[*h.filePath];
            const qsizetype offset = qsizetype(*h.chunkIndex) * 1048576;
            if (data.size() < offset + m.payload->size())
                data.resize(offset + m.payload->size());
            data.replace(offset, m.payload->size(), *m.payload);
            connection.push(header(MessageType::chunkAck, h.filePath, h.chunkIndex));
            break;
        }
        case MessageType::fileComplete:
            files[*h.filePath]; // an empty file exists too
            connection.push(header(MessageType::fileAck, h.filePath));
            break;
        case MessageType::verificationRequest: {
            if (verificationReply) {
                if (auto reply = verificationReply()) {
                    connection.push(*reply);
                    break;
                }
            }
            MessageHeader response = header(MessageType::verificationResponse);
            response.fileHashes = QList<FileVerification>{};
            for (auto it = files.cbegin(); it != files.cend(); ++it)
                response.fileHashes->append({it.key(), FileHasher::sha256Hex(it.value()), std::uint64_t(it.value().size())});
            connection.push(response);
            break;
        }
        default:
            break;
        }
    }
};

class SourceFixture : public ::testing::Test {
protected:
    TransferManifest::FileItem addFile(const QString& name, const QByteArray& bytes, const QString& category = QStringLiteral("userFiles"))
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(QFileInfo(path).path());
        writeBytes(path, bytes);
        return addItem(name, path, std::uint64_t(bytes.size()), category);
    }
    TransferManifest::FileItem addItem(const QString& name, const QString& absolutePath, std::uint64_t size,
                                       const QString& category = QStringLiteral("userFiles"))
    {
        TransferManifest::FileItem item;
        item.relativePath = QStringLiteral("~/") + name;
        item.absolutePath = absolutePath;
        item.size = size;
        item.categoryID = category;
        manifest.items.append(item);
        manifest.totalSize += size;
        if (!manifest.categoryOrder.contains(category))
            manifest.categoryOrder.append(category);
        manifest.categoryIDs = manifest.categoryOrder;
        return item;
    }
    TransferEngine& engine()
    {
        if (!m_engine) {
            manifest.sourceHostname = QStringLiteral("old-mac");
            manifest.createdAt = QDateTime::currentDateTimeUtc();
            m_engine = std::make_unique<TransferEngine>(DeviceRole::source, &peer.connection, QStringLiteral("T-1"), dir.path());
            m_engine->setManifest(manifest);
        }
        return *m_engine;
    }
    QList<std::uint32_t> chunksSentFor(const QString& path) const
    {
        QList<std::uint32_t> out;
        for (const Message& m : peer.connection.sentOfType(MessageType::chunkData))
            if (m.header.filePath == path)
                out.append(*m.header.chunkIndex);
        return out;
    }

    QTemporaryDir dir;
    TransferManifest manifest;
    FakeDestination peer;
    std::unique_ptr<TransferEngine> m_engine;
};

class RecordingHandler : public CategoryTransferHandler {
public:
    explicit RecordingHandler(QString id) : m_id(std::move(id)) {}
    QString categoryID() const override { return m_id; }
    QCoro::Task<QList<Item>> enumerateFiles(QStringList) override { co_return {}; }
    QCoro::Task<QStringList> validateSourceAccess(QList<Item> items) override
    {
        ++validateCalls;
        validatedItems = items.size();
        co_return unreadable;
    }
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item>) override { co_return refusals; }
    QCoro::Task<void> postImport(QStringList received) override
    {
        imported = received;
        co_return;
    }

    QStringList unreadable;
    QList<Refusal> refusals;
    QStringList imported;
    int validateCalls = 0;
    qsizetype validatedItems = 0;

private:
    QString m_id;
};

} // namespace

TEST_F(SourceFixture, ChunkBoundariesEmptyFilesAndTheWholeConversation)
{
    const auto empty = addFile(QStringLiteral("empty"), {});
    const auto exact = addFile(QStringLiteral("Documents/exact.bin"), patterned(1048576, 1));
    const auto plusOne = addFile(QStringLiteral("Documents/Ünïcode plus.bin"), patterned(1048577, 2));
    runTask(engine().start());

    EXPECT_TRUE(chunksSentFor(empty.relativePath).isEmpty());
    EXPECT_EQ(chunksSentFor(exact.relativePath), (QList<std::uint32_t>{0}));
    EXPECT_EQ(chunksSentFor(plusOne.relativePath), (QList<std::uint32_t>{0, 1}));
    const auto chunks = peer.connection.sentOfType(MessageType::chunkData);
    EXPECT_EQ(chunks.last().payload->size(), 1);
    EXPECT_EQ(chunks.last().header.totalChunks, 2u);
    EXPECT_EQ(chunks.last().header.payloadSize, 1u);
    EXPECT_EQ(peer.files.value(plusOne.relativePath), readBytes(plusOne.absolutePath));

    const auto completes = peer.connection.sentOfType(MessageType::fileComplete);
    ASSERT_EQ(completes.size(), 3);
    EXPECT_EQ(completes[0].header.chunkHash, kEmptyHash);
    EXPECT_EQ(completes[2].header.chunkHash, FileHasher::sha256OfFile(plusOne.absolutePath));

    // Conversation order and numbering.
    QList<MessageType> kinds;
    for (const Message& m : peer.connection.sent)
        kinds.append(m.header.type);
    EXPECT_EQ(kinds.first(), MessageType::manifest);
    EXPECT_EQ(kinds[1], MessageType::categoryStart);
    EXPECT_EQ(kinds.mid(kinds.size() - 3),
              (QList<MessageType>{MessageType::categoryComplete, MessageType::verificationRequest, MessageType::transferComplete}));
    for (qsizetype i = 0; i < peer.connection.sent.size(); ++i)
        EXPECT_EQ(peer.connection.sent[i].header.sequenceNumber, std::uint64_t(i + 1));
    const TransferManifest sentManifest = TransferManifest::decode(*peer.connection.sent.first().header.manifestData);
    EXPECT_EQ(sentManifest.transferID, QStringLiteral("T-1"));

    TransferProgress* p = engine().progress();
    EXPECT_TRUE(p->isComplete());
    EXPECT_FALSE(p->error());
    EXPECT_EQ(p->filesCompleted(), 3);
    EXPECT_EQ(p->bytesTransferred(), 2097153u);
    EXPECT_EQ(p->verificationFilesChecked(), 3);
    EXPECT_TRUE(p->verificationMismatches().isEmpty());
    EXPECT_EQ(p->categoryProgress().value(QStringLiteral("userFiles")).status, CategoryStatus::completed);
}

TEST_F(SourceFixture, RejectedChunksAreRetriedAndThreeRejectionsFailOnlyThatFile)
{
    const auto flaky = addFile(QStringLiteral("flaky"), patterned(2000, 1));
    const auto doomed = addFile(QStringLiteral("doomed"), patterned(2000, 2));
    const auto odd = addFile(QStringLiteral("odd"), patterned(2000, 3));
    const auto fine = addFile(QStringLiteral("fine"), patterned(2000, 4));
    peer.chunkReply = [&](const MessageHeader& h, int attempt) -> std::optional<MessageHeader> {
        if (h.filePath == flaky.relativePath && attempt < 2)
            return header(MessageType::chunkNack, h.filePath, h.chunkIndex);
        if (h.filePath == doomed.relativePath)
            return header(MessageType::chunkNack, h.filePath, h.chunkIndex);
        if (h.filePath == odd.relativePath && attempt == 0)
            return header(MessageType::fileAck); // a stray reply counts as a rejection
        return std::nullopt;
    };
    runTask(engine().start());

    EXPECT_EQ(chunksSentFor(flaky.relativePath).size(), 3);
    EXPECT_EQ(chunksSentFor(doomed.relativePath).size(), 3);
    EXPECT_EQ(chunksSentFor(odd.relativePath).size(), 2);
    EXPECT_EQ(peer.files.value(fine.relativePath), readBytes(fine.absolutePath));
    const TransferProgress* p = engine().progress();
    ASSERT_EQ(p->fileErrors().size(), 1);
    EXPECT_EQ(p->fileErrors()[0].filePath, doomed.relativePath);
    EXPECT_EQ(p->fileErrors()[0].error, QStringLiteral("Max retries exceeded"));
    EXPECT_EQ(engine().manifest()->items[1].transferStatus, FileTransferStatus::failed);
    EXPECT_EQ(p->filesCompleted(), 3);
    EXPECT_TRUE(p->isComplete());
}

TEST_F(SourceFixture, ResumeSkipsCompletedFilesAndContinuesAfterTheLastAcknowledgedChunk)
{
    const auto done = addFile(QStringLiteral("done.bin"), patterned(3000, 1));
    const auto partial = addFile(QStringLiteral("partial.bin"), patterned(8 * 1048576 + 5, 2));
    const auto fresh = addFile(QStringLiteral("fresh.bin"), patterned(10, 3));
    const QDateTime at = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    ResumeState checkpoint{QStringLiteral("T-1"), QStringLiteral("old-mac"), at, at, {done.relativePath}, std::nullopt, {}, 0};
    checkpoint.inProgressFile = ResumeState::InProgressFile{partial.relativePath, QStringLiteral("userFiles"), 5, 6 * 1048576};
    peer.checkpoint = checkpoint;
    runTask(engine().start());

    EXPECT_TRUE(chunksSentFor(done.relativePath).isEmpty());
    EXPECT_EQ(chunksSentFor(partial.relativePath), (QList<std::uint32_t>{6, 7, 8}));
    EXPECT_EQ(chunksSentFor(fresh.relativePath), (QList<std::uint32_t>{0}));
    // The whole-file hash still covers the bytes sent in the earlier run.
    const auto completes = peer.connection.sentOfType(MessageType::fileComplete);
    ASSERT_EQ(completes.size(), 2);
    EXPECT_EQ(completes[0].header.chunkHash, FileHasher::sha256OfFile(partial.absolutePath));
    EXPECT_EQ(engine().resumeState(), checkpoint);
    EXPECT_EQ(engine().progress()->filesCompleted(), 3);
    EXPECT_EQ(engine().progress()->bytesTransferred(), manifest.totalSize);
}

TEST_F(SourceFixture, PlaceholdersAndUnreadableFilesAreSkippedWithoutBeingOpened)
{
    // The placeholder's path does not exist: opening it would fail and be reported.
    addItem(QStringLiteral("Documents/.report.pdf.icloud"), dir.filePath(QStringLiteral("nowhere/.report.pdf.icloud")), 4096);
    const auto secret = addFile(QStringLiteral("secret"), "top");
    const auto open = addFile(QStringLiteral("open"), "fine");
    auto handler = std::make_shared<RecordingHandler>(QStringLiteral("userFiles"));
    handler->unreadable = {secret.absolutePath};
    engine().registerHandler(handler);
    runTask(engine().start());

    const auto skips = peer.connection.sentOfType(MessageType::fileSkip);
    ASSERT_EQ(skips.size(), 2);
    EXPECT_EQ(skips[0].header.errorMessage, QStringLiteral("iCloud Drive placeholder — download to local first"));
    EXPECT_EQ(skips[1].header.filePath, secret.relativePath);
    EXPECT_EQ(skips[1].header.errorMessage, QStringLiteral("Permission denied"));
    EXPECT_EQ(handler->validateCalls, 1);
    EXPECT_EQ(handler->validatedItems, 3);
    EXPECT_TRUE(chunksSentFor(secret.relativePath).isEmpty());
    EXPECT_EQ(peer.files.value(open.relativePath), QByteArray("fine"));

    const TransferProgress* p = engine().progress();
    EXPECT_EQ(p->iCloudStubsSkipped(), 1);
    EXPECT_EQ(p->iCloudStubsBytesSkipped(), 4096u);
    ASSERT_EQ(p->fileErrors().size(), 1) << "the placeholder is counted, not an error";
    EXPECT_EQ(p->fileErrors()[0].filePath, secret.relativePath);
    EXPECT_EQ(engine().manifest()->items[0].transferStatus, FileTransferStatus::skipped);
}

TEST_F(SourceFixture, DiskFullAtTheDestinationEndsTheTransfer)
{
    addFile(QStringLiteral("a"), patterned(100, 1));
    addFile(QStringLiteral("b"), patterned(100, 2));
    peer.chunkReply = [](const MessageHeader&, int) -> std::optional<MessageHeader> {
        MessageHeader full = header(MessageType::error);
        full.errorCode = QStringLiteral("disk_full");
        full.errorMessage = QStringLiteral("Insufficient disk space");
        return full;
    };
    runTask(engine().start());
    const TransferProgress* p = engine().progress();
    ASSERT_TRUE(p->error());
    EXPECT_TRUE(p->error()->startsWith(QStringLiteral("Not enough disk space. Need "))) << p->error()->toStdString();
    EXPECT_FALSE(p->isTransferring());
    EXPECT_FALSE(p->isComplete());
    EXPECT_EQ(peer.connection.sentOfType(MessageType::chunkData).size(), 1);
    EXPECT_TRUE(peer.connection.sentOfType(MessageType::transferComplete).isEmpty());
}

TEST_F(SourceFixture, BandwidthCapPacesChunksOnTheInjectedClock)
{
    addFile(QStringLiteral("ten.bin"), patterned(10 * 1048576, 1));
    auto clock = std::make_shared<ManualClock>();
    engine().setClock(clock);
    engine().setBandwidthCap(8);
    QList<double> sendTimes;
    auto answer = peer.connection.onSend;
    peer.connection.onSend = [&](const Message& m) {
        if (m.header.type == MessageType::chunkData)
            sendTimes.append(std::chrono::duration<double>(clock->monotonic()).count());
        answer(m);
    };
    runTask(engine().start());

    ASSERT_EQ(sendTimes.size(), 10);
    EXPECT_EQ(sendTimes[0], 0.0);
    for (int i = 1; i < 10; ++i)
        EXPECT_NEAR(sendTimes[i] - sendTimes[i - 1], 1.048576, 0.001);
    // Ten chunks' worth of budget: about 10.5 s of clock time.
    EXPECT_NEAR(std::chrono::duration<double>(engine().throttle()->nextAllowedSend).count(), 10.486, 0.01);
    EXPECT_TRUE(engine().progress()->isComplete());

    engine().setBandwidthCap(0);
    EXPECT_FALSE(engine().throttle());
}

TEST_F(SourceFixture, VerificationReportsMismatchesAndSurvivesAMissingResponse)
{
    const auto a = addFile(QStringLiteral("a"), "alpha");
    addFile(QStringLiteral("b"), "beta");
    peer.verificationReply = [&]() -> std::optional<MessageHeader> {
        MessageHeader response = header(MessageType::verificationResponse);
        response.fileHashes = QList<FileVerification>{{a.relativePath, QString(64, u'0'), 5},
                                                      {QStringLiteral("~/never-sent"), QString(64, u'1'), 1}};
        return response;
    };
    runTask(engine().start());
    EXPECT_EQ(engine().progress()->verificationMismatches(), QStringList{a.relativePath});
    EXPECT_EQ(engine().progress()->verificationFilesChecked(), 2);
    EXPECT_TRUE(engine().progress()->isComplete());
}

TEST_F(SourceFixture, AnErrorInsteadOfTheVerificationResponseStillCompletes)
{
    addFile(QStringLiteral("a"), "alpha");
    peer.verificationReply = []() -> std::optional<MessageHeader> { return header(MessageType::error); };
    runTask(engine().start());
    EXPECT_TRUE(engine().progress()->isComplete());
    EXPECT_FALSE(engine().progress()->error());
    EXPECT_FALSE(engine().progress()->isVerifying());
    EXPECT_TRUE(engine().progress()->verificationMismatches().isEmpty());
}

TEST_F(SourceFixture, WrongManifestReplyFailsAndNoManifestDoesNothing)
{
    TransferEngine idle(DeviceRole::source, &peer.connection, QStringLiteral("T-1"), dir.path());
    runTask(idle.start());
    EXPECT_TRUE(peer.connection.sent.isEmpty());

    addFile(QStringLiteral("a"), "alpha");
    peer.connection.onSend = [&](const Message&) { peer.connection.push(header(MessageType::chunkAck)); };
    runTask(engine().start());
    EXPECT_EQ(engine().progress()->error(), QStringLiteral("Invalid protocol message: Expected manifestAck, got chunkAck"));
}
