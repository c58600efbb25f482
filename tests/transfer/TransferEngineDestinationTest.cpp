#include "preflight/PreFlightConflict.h"
#include "support/CoroTest.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferEngineSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

using namespace kivo;
using namespace kivo::test;

namespace {

class RecordingHandler : public CategoryTransferHandler {
public:
    explicit RecordingHandler(QString id) : m_id(std::move(id)) {}
    QString categoryID() const override { return m_id; }
    QCoro::Task<QList<Item>> enumerateFiles(QStringList) override { co_return {}; }
    QCoro::Task<QStringList> validateSourceAccess(QList<Item>) override { co_return {}; }
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item>) override { co_return refusals; }
    QCoro::Task<void> postImport(QStringList received) override
    {
        imported = received;
        throw std::runtime_error("import failures are ignored");
        co_return;
    }
    QList<Refusal> refusals;
    QStringList imported;

private:
    QString m_id;
};

class RecordingRewriter : public AccountPathRewriter {
public:
    std::optional<UserMapping> mapping() const override { return value; }
    void rewritePlistPaths(const QString& path) override { plists.append(path); }
    void rewriteTextFilePaths(const QString& path) override { texts.append(path); }
    std::optional<UserMapping> value;
    QStringList plists, texts;
};

class RecordingCorrector : public OwnershipCorrector {
public:
    QCoro::Task<void> correctOwnership(QString home, QString owner, QStringList paths) override
    {
        calls.append({home, owner, paths.join(u'|')});
        co_return;
    }
    QCoro::Task<bool> setFileMode(QString path, std::uint16_t mode) override
    {
        modes.append(path + u':' + QString::number(mode, 8));
        co_return true;
    }
    QList<QStringList> calls;
    QStringList modes;
};

class DestinationFixture : public ::testing::Test {
protected:
    DestinationFixture() { QDir().mkpath(home()); }

    QString home() const { return dir.filePath(QStringLiteral("home")); }
    QString transfers() const { return TransferEngine::transfersDirectory(home()); }

    TransferManifest::FileItem& addItem(const QString& relativePath, const QByteArray& content,
                                        const QString& category = QStringLiteral("userFiles"))
    {
        TransferManifest::FileItem item;
        item.relativePath = relativePath;
        item.absolutePath = QStringLiteral("/Users/old") + relativePath.mid(1);
        item.size = std::uint64_t(content.size());
        item.categoryID = category;
        manifest.items.append(item);
        manifest.totalSize += item.size;
        contents.append(content);
        if (!manifest.categoryOrder.contains(category))
            manifest.categoryOrder.append(category);
        return manifest.items.last();
    }
    void pushManifest()
    {
        manifest.transferID = QStringLiteral("T-1");
        manifest.sourceHostname = QStringLiteral("old-mac");
        manifest.createdAt = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
        manifest.categoryIDs = manifest.categoryOrder;
        MessageHeader h = header(MessageType::manifest);
        h.manifestData = manifest.encoded();
        peer.push(h);
    }
    void pushChunk(const QString& path, std::uint32_t index, const QByteArray& bytes, std::optional<QString> hash = std::nullopt)
    {
        MessageHeader h = header(MessageType::chunkData, path, index);
        h.chunkHash = hash.value_or(FileHasher::sha256Hex(bytes));
        peer.push(h, bytes);
    }
    // Every chunk of item i, then its fileComplete.
    void pushFile(qsizetype i)
    {
        const QByteArray& data = contents[i];
        for (qsizetype offset = 0, c = 0; offset < data.size(); offset += 1048576, ++c)
            pushChunk(manifest.items[i].relativePath, std::uint32_t(c), data.mid(offset, 1048576));
        MessageHeader done = header(MessageType::fileComplete, manifest.items[i].relativePath);
        done.chunkHash = FileHasher::sha256Hex(data);
        peer.push(done);
    }
    void pushCategory(const QString& id)
    {
        peer.push(header(MessageType::categoryStart, id));
        for (qsizetype i = 0; i < manifest.items.size(); ++i)
            if (manifest.items[i].categoryID == id)
                pushFile(i);
        peer.push(header(MessageType::categoryComplete, id));
    }
    TransferEngine& engine()
    {
        if (!m_engine)
            m_engine = std::make_unique<TransferEngine>(DeviceRole::destination, &peer, QStringLiteral("ignored"), home());
        return *m_engine;
    }
    QList<Message> repliesTo(const QString& path) const
    {
        QList<Message> out;
        for (const Message& m : peer.sent)
            if ((m.header.type == MessageType::chunkAck || m.header.type == MessageType::chunkNack) && m.header.filePath == path)
                out.append(m);
        return out;
    }

    QTemporaryDir dir;
    TransferManifest manifest;
    QList<QByteArray> contents;
    ScriptedConnection peer;
    std::unique_ptr<TransferEngine> m_engine;
};

} // namespace

TEST_F(DestinationFixture, PreFlightQuestionIsAnsweredThenTheTransferCompletesAndTheCheckpointGoes)
{
    writeBytes(home() + QStringLiteral("/exists.txt"), "here");
    PreFlightConflictRequest question{{QStringLiteral("~/exists.txt"), QStringLiteral("~/absent.txt")}, QStringLiteral("R1")};
    peer.push(header(MessageType::preFlightConflictRequest), question.encoded());
    addItem(QStringLiteral("~/Documents/a.txt"), "alpha");
    addItem(QStringLiteral("~/Documents/deep/ünï côdé.bin"), patterned(1048577, 3)).mode = 0640;
    addItem(QStringLiteral("~/.hidden/empty"), {}).mode = 0600;
    pushManifest();
    pushCategory(QStringLiteral("userFiles"));
    peer.push(header(MessageType::verificationRequest));
    peer.push(header(MessageType::transferComplete));
    runTask(engine().receive());

    const auto answer = PreFlightConflictResponse::decode(*peer.sent[0].payload);
    EXPECT_EQ(peer.sent[0].header.type, MessageType::preFlightConflictResponse);
    ASSERT_EQ(answer.conflicts.size(), 1);
    EXPECT_EQ(answer.conflicts[0].path, QStringLiteral("~/exists.txt"));
    EXPECT_EQ(peer.sent[1].header.type, MessageType::manifestAck);
    EXPECT_FALSE(peer.sent[1].header.resumeState) << "no checkpoint existed";

    EXPECT_EQ(engine().transferID(), QStringLiteral("T-1"));
    EXPECT_FALSE(engine().progress()->error()) << engine().progress()->error()->toStdString();
    EXPECT_TRUE(engine().progress()->isComplete());
    for (qsizetype i = 0; i < manifest.items.size(); ++i)
        EXPECT_EQ(readBytes(engine().resolveDestinationPath(manifest.items[i].relativePath)), contents[i]);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(home() + QStringLiteral("/Documents/deep/ünï côdé.bin")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(::stat(QFile::encodeName(home() + QStringLiteral("/.hidden/empty")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const auto verification = peer.sentOfType(MessageType::verificationResponse);
    ASSERT_EQ(verification.size(), 1);
    ASSERT_TRUE(verification[0].header.fileHashes);
    EXPECT_EQ(verification[0].header.fileHashes->size(), 3);
    for (const FileVerification& v : *verification[0].header.fileHashes)
        EXPECT_EQ(v.sha256Hash, FileHasher::sha256Hex(contents[manifest.items.indexOf(*std::find_if(
                                    manifest.items.begin(), manifest.items.end(),
                                    [&](const auto& i) { return i.relativePath == v.filePath; }))]));
    EXPECT_EQ(engine().writtenPaths().size(), 3);
    EXPECT_FALSE(ResumeState::load(transfers(), QStringLiteral("T-1")));
    EXPECT_TRUE(QDir(transfers()).entryList(QDir::Files).isEmpty());
}

TEST_F(DestinationFixture, ManifestLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten)
{
    addItem(QStringLiteral("~/a"), "a");
    manifest.items[0].size = manifest.totalSize = std::uint64_t(1) << 50;
    pushManifest();
    runTask(engine().receive());
    ASSERT_TRUE(engine().progress()->error());
    EXPECT_TRUE(engine().progress()->error()->startsWith(QStringLiteral("Not enough disk space. Need ")));
    EXPECT_TRUE(peer.sent.isEmpty()) << "no manifestAck";
    EXPECT_FALSE(QFile::exists(transfers()));
}

TEST_F(DestinationFixture, HostileChunksAreRefusedAndNothingIsWritten)
{
    const QString outside = dir.filePath(QStringLiteral("outside"));
    QDir().mkpath(outside);
    writeBytes(outside + QStringLiteral("/target"), "untouched");
    // Links planted inside the destination tree that point out of it.
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(home() + QStringLiteral("/linkdir")).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside + QStringLiteral("/target")).constData(),
                        QFile::encodeName(home() + QStringLiteral("/linkfile")).constData()), 0);
    const QStringList hostile = {QStringLiteral("~/../outside/x"), QStringLiteral("~/a/../../outside/y"),
                                 QStringLiteral("~/a") + QChar(0) + QStringLiteral("b"), QStringLiteral("~/"),
                                 QStringLiteral("~//x"), QStringLiteral("~/./x"), QStringLiteral("relative/x"),
                                 QStringLiteral("~/linkdir/x"), QStringLiteral("~/linkdir/target")};
    for (const QString& path : hostile)
        addItem(path, "evil");
    addItem(QStringLiteral("~/small"), "1234");
    addItem(QStringLiteral("~/linkfile"), "evil");
    // A pipe where a file should go: refused at once, never waited on for a reader.
    ASSERT_EQ(::mkfifo(QFile::encodeName(home() + QStringLiteral("/pipe")).constData(), 0600), 0);
    addItem(QStringLiteral("~/pipe"), "evil");
    pushManifest();
    for (const QString& path : hostile)
        pushChunk(path, 0, "evil");
    pushChunk(QStringLiteral("~/not-in-manifest"), 0, "evil");
    pushChunk(QStringLiteral("~/small"), 1, "1234");          // offset beyond the item's size
    pushChunk(QStringLiteral("~/small"), 0, "12345");         // longer than the item
    pushChunk(QStringLiteral("~/small"), 0, "1234", QString(64, u'a')); // corrupted
    peer.push(header(MessageType::chunkData, QStringLiteral("~/small"), 0)); // no payload
    engine().setConflictPolicy(ConflictPolicy::overwrite);
    pushChunk(QStringLiteral("~/linkfile"), 0, "evil");
    pushChunk(QStringLiteral("~/pipe"), 0, "evil");
    runTask(engine().receive());

    for (const QString& path :
         hostile + QStringList{QStringLiteral("~/not-in-manifest"), QStringLiteral("~/linkfile"), QStringLiteral("~/pipe")}) {
        const auto replies = repliesTo(path);
        ASSERT_EQ(replies.size(), 1) << path.toStdString();
        EXPECT_EQ(replies[0].header.type, MessageType::chunkNack) << path.toStdString();
    }
    const auto small = repliesTo(QStringLiteral("~/small"));
    ASSERT_EQ(small.size(), 4);
    for (const Message& m : small)
        EXPECT_EQ(m.header.type, MessageType::chunkNack);
    EXPECT_EQ(small[2].header.errorMessage, QStringLiteral("Hash mismatch"));
    EXPECT_EQ(small[3].header.errorMessage, QStringLiteral("Missing chunk data"));

    EXPECT_EQ(QDir(outside).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{QStringLiteral("target")});
    EXPECT_EQ(readBytes(outside + QStringLiteral("/target")), QByteArray("untouched"));
    EXPECT_FALSE(QFile::exists(home() + QStringLiteral("/small")));
    EXPECT_TRUE(engine().writtenPaths().isEmpty());
}

TEST_F(DestinationFixture, VerificationNeverFollowsALinkPlantedAfterTheWrite)
{
    const QString outside = dir.filePath(QStringLiteral("secret"));
    writeBytes(outside, "not yours");
    addItem(QStringLiteral("~/a.txt"), "alpha");
    addItem(QStringLiteral("~/b.txt"), "beta");
    pushManifest();
    pushCategory(QStringLiteral("userFiles"));
    peer.push(header(MessageType::verificationRequest));
    peer.push(header(MessageType::transferComplete));
    peer.onSend = [&](const Message& m) {
        if (m.header.type == MessageType::fileAck && m.header.filePath == QStringLiteral("~/a.txt")) {
            const QByteArray path = QFile::encodeName(home() + QStringLiteral("/a.txt"));
            ::unlink(path.constData());
            ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(), path.constData()), 0);
        }
    };
    runTask(engine().receive());

    const auto verification = peer.sentOfType(MessageType::verificationResponse);
    ASSERT_EQ(verification.size(), 1);
    ASSERT_TRUE(verification[0].header.fileHashes);
    ASSERT_EQ(verification[0].header.fileHashes->size(), 1);
    EXPECT_EQ(verification[0].header.fileHashes->at(0).filePath, QStringLiteral("~/b.txt"));
    EXPECT_EQ(engine().progress()->verificationFilesSkipped(), 1);
}

TEST_F(DestinationFixture, ProtectedPathsAreRefusedOnceAnAccountMappingIsSet)
{
    const QString root = dir.filePath(QStringLiteral("sys"));
    engine().setSafetyChecker(MDMSafetyChecker(root));
    engine().setUserMapping(UserMapping::make(QStringLiteral("old"), QStringLiteral("/Users/old"), QStringLiteral("new"), home()));
    const QString target = root + QStringLiteral("/var/db/MDM/evil.plist");
    addItem(target, "evil");
    pushManifest();
    pushChunk(target, 0, "evil");
    runTask(engine().receive());
    const auto replies = repliesTo(target);
    ASSERT_EQ(replies.size(), 1);
    EXPECT_EQ(replies[0].header.errorMessage, QStringLiteral("Protected path"));
    EXPECT_FALSE(QFile::exists(target));
}

TEST_F(DestinationFixture, ConflictPoliciesDecideOnTheFirstChunkAndRecordEveryOutcome)
{
    struct Case {
        ConflictPolicy policy;
        std::optional<qint64> sourceTime;
        bool written;
        QString resolution;
    };
    const QList<Case> cases = {
        {ConflictPolicy::skip, 2000, false, QStringLiteral("skipped")},
        {ConflictPolicy::ask, 2000, false, QStringLiteral("skipped")},
        {ConflictPolicy::overwrite, 1, true, QStringLiteral("overwritten")},
        {ConflictPolicy::keepNewer, 1000, true, QStringLiteral("overwritten")},
        {ConflictPolicy::keepNewer, 999, false, QStringLiteral("skipped")},
        {ConflictPolicy::keepNewer, std::nullopt, false, QStringLiteral("skipped")},
    };
    for (const Case& c : cases) {
        DestinationFixture::TearDown();
        QTemporaryDir caseDir;
        TransferEngine* previous = m_engine.release();
        delete previous;
        peer = ScriptedConnection();
        manifest = TransferManifest();
        contents.clear();
        const QString existing = home() + QStringLiteral("/clash.txt");
        writeBytes(existing, "old contents");
        struct utimbuf t {1000, 1000};
        ::utime(QFile::encodeName(existing).constData(), &t);

        auto& item = addItem(QStringLiteral("~/clash.txt"), patterned(1048576 + 10, 1));
        if (c.sourceTime)
            item.sourceModified = QDateTime::fromSecsSinceEpoch(*c.sourceTime, Qt::UTC);
        pushManifest();
        pushCategory(QStringLiteral("userFiles"));
        engine().setConflictPolicy(c.policy);
        runTask(engine().receive());

        const std::string label = toString(c.policy).toStdString();
        EXPECT_EQ(readBytes(existing), c.written ? contents[0] : QByteArray("old contents")) << label;
        ASSERT_EQ(engine().progress()->conflictsResolved().size(), 1) << label;
        EXPECT_EQ(engine().progress()->conflictsResolved()[0].resolution, c.resolution) << label;
        for (const Message& m : repliesTo(QStringLiteral("~/clash.txt")))
            EXPECT_EQ(m.header.type, MessageType::chunkAck) << label;
        EXPECT_EQ(engine().manifest()->items[0].transferStatus,
                  c.written ? FileTransferStatus::completed : FileTransferStatus::skipped) << label;
        EXPECT_EQ(engine().writtenPaths().isEmpty(), !c.written) << label;
        EXPECT_EQ(engine().conflictSkippedPaths().contains(QStringLiteral("~/clash.txt")), !c.written) << label;
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
    }
}

TEST_F(DestinationFixture, ARestartedTransferHandsBackItsCheckpointAndContinuesAtTheOffset)
{
    const QByteArray data = patterned(3 * 1048576, 5);
    addItem(QStringLiteral("~/done.txt"), "done");
    addItem(QStringLiteral("~/big.bin"), data);
    // The earlier run finished one file and two chunks of the next one, then died.
    writeBytes(home() + QStringLiteral("/done.txt"), "done");
    QByteArray partial = data.left(2 * 1048576);
    partial.append(QByteArray(1048576, 'x')); // garbage beyond the acknowledged chunks
    writeBytes(home() + QStringLiteral("/big.bin"), partial);
    const QDateTime at = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    ResumeState earlier{QStringLiteral("T-1"), QStringLiteral("old-mac"), at, at, {QStringLiteral("~/done.txt")},
                        ResumeState::InProgressFile{QStringLiteral("~/big.bin"), QStringLiteral("userFiles"), 1, 2097152}, {}, 2097156};
    earlier.save(transfers());

    pushManifest();
    peer.push(header(MessageType::categoryStart, QStringLiteral("userFiles")));
    pushChunk(QStringLiteral("~/big.bin"), 2, data.mid(2 * 1048576));
    pushChunk(QStringLiteral("~/big.bin"), 2, data.mid(2 * 1048576)); // a repeat overwrites the same range
    MessageHeader done = header(MessageType::fileComplete, QStringLiteral("~/big.bin"));
    peer.push(done);
    runTask(engine().receive()); // ends with the connection

    const auto ack = peer.sentOfType(MessageType::manifestAck);
    ASSERT_EQ(ack.size(), 1);
    ASSERT_TRUE(ack[0].header.resumeState);
    EXPECT_EQ(ResumeState::decode(*ack[0].header.resumeState), earlier);
    EXPECT_EQ(readBytes(home() + QStringLiteral("/big.bin")), data);
    EXPECT_TRUE(engine().progress()->conflictsResolved().isEmpty()) << "its own partial file is no conflict";
    const auto now = ResumeState::load(transfers(), QStringLiteral("T-1"));
    ASSERT_TRUE(now) << "an interrupted transfer keeps its checkpoint";
    EXPECT_EQ(now->completedFiles, (QStringList{QStringLiteral("~/done.txt"), QStringLiteral("~/big.bin")}));
    EXPECT_FALSE(now->inProgressFile);
    EXPECT_EQ(now->totalBytesReceived, 2097156u + 2 * 1048576);
    EXPECT_EQ(engine().progress()->error(), QStringLiteral("Connection to the other Mac was lost"));
}

TEST_F(DestinationFixture, FinishedCategoriesGoThroughTheHandlerRewriterCorrectorAndCallback)
{
    auto handler = std::make_shared<RecordingHandler>(QStringLiteral("applicationData"));
    handler->refusals = {{QStringLiteral("~/Library/Preferences/com.vendor.app.plist"), QStringLiteral("App not installed on destination")}};
    auto rewriter = std::make_shared<RecordingRewriter>();
    rewriter->value = UserMapping::make(QStringLiteral("old"), QStringLiteral("/Users/old"), QStringLiteral("new"), home());
    auto corrector = std::make_shared<RecordingCorrector>();
    QStringList finalized;
    engine().registerHandler(handler);
    engine().setAccountRewriter(rewriter);
    engine().setOwnershipCorrector(corrector);
    engine().setUserMapping(*rewriter->value);
    engine().setDestinationCategoryFinalized([&](QString id, QList<TransferManifest::FileItem> items) -> QCoro::Task<void> {
        finalized.append(id + u':' + QString::number(items.size()));
        co_return;
    });
    addItem(QStringLiteral("~/Library/Preferences/com.vendor.app.plist"), "<plist/>", QStringLiteral("applicationData")).mode = 0600;
    addItem(QStringLiteral("~/Library/Application Support/App/config.json"), "{\"home\":\"/Users/old\"}", QStringLiteral("applicationData"));
    addItem(QStringLiteral("~/Library/Application Support/App/.ssh/id_ed25519"), "key", QStringLiteral("applicationData"));
    addItem(QStringLiteral("~/Documents/note.txt"), "/Users/old", QStringLiteral("userFiles"));
    pushManifest();
    pushCategory(QStringLiteral("applicationData"));
    pushCategory(QStringLiteral("userFiles"));
    peer.push(header(MessageType::transferComplete));
    runTask(engine().receive());

    ASSERT_TRUE(engine().progress()->isComplete());
    ASSERT_EQ(engine().progress()->fileErrors().size(), 1);
    EXPECT_EQ(engine().progress()->fileErrors()[0].error, QStringLiteral("App not installed on destination"));
    EXPECT_EQ(rewriter->plists, QStringList{home() + QStringLiteral("/Library/Preferences/com.vendor.app.plist")});
    EXPECT_EQ(rewriter->texts, QStringList{home() + QStringLiteral("/Library/Application Support/App/config.json")});
    EXPECT_EQ(handler->imported.size(), 3);
    EXPECT_EQ(finalized, (QStringList{QStringLiteral("applicationData:3"), QStringLiteral("userFiles:1")}));
    // Different accounts: the helper sets modes, and ownership covers every written file.
    EXPECT_EQ(corrector->modes, QStringList{home() + QStringLiteral("/Library/Preferences/com.vendor.app.plist:600")});
    ASSERT_EQ(corrector->calls.size(), 1);
    EXPECT_EQ(corrector->calls[0][0], home());
    EXPECT_EQ(corrector->calls[0][1], QStringLiteral("new"));
    EXPECT_EQ(corrector->calls[0][2].split(u'|').size(), 4);
}

TEST_F(DestinationFixture, SourceErrorsAndUnexpectedMessagesAreHandled)
{
    addItem(QStringLiteral("~/a"), "a");
    pushManifest();
    peer.push(header(MessageType::chunkAck));
    peer.push(header(MessageType::pause));
    MessageHeader skip = header(MessageType::fileSkip, QStringLiteral("~/a"));
    peer.push(skip);
    peer.push(header(MessageType::error));
    runTask(engine().receive());
    EXPECT_EQ(engine().progress()->error(), QStringLiteral("Unknown error from source"));
    EXPECT_TRUE(engine().progress()->isPaused());
    ASSERT_EQ(engine().progress()->fileErrors().size(), 1);
    EXPECT_EQ(engine().progress()->fileErrors()[0].error, QStringLiteral("Skipped by source"));
    EXPECT_EQ(engine().manifest()->items[0].transferStatus, FileTransferStatus::skipped);
    EXPECT_TRUE(ResumeState::load(transfers(), QStringLiteral("T-1"))) << "the checkpoint stays for a later resume";

    ScriptedConnection other;
    other.push(header(MessageType::chunkData));
    TransferEngine second(DeviceRole::destination, &other, QStringLiteral("x"), home());
    runTask(second.receive());
    EXPECT_EQ(second.progress()->error(),
              QStringLiteral("Invalid protocol message: Expected manifest or pre-flight conflict request, got chunkData"));
}

TEST_F(DestinationFixture, CancelAndCleanupRemovesWrittenFilesButKeepsTheCheckpoint)
{
    addItem(QStringLiteral("~/a/one"), "one");
    addItem(QStringLiteral("~/a/two"), "two");
    pushManifest();
    pushCategory(QStringLiteral("userFiles"));
    runTask(engine().receive());
    ASSERT_EQ(engine().writtenPaths().size(), 2);
    runTask(engine().cancelAndCleanup());
    EXPECT_FALSE(QFile::exists(home() + QStringLiteral("/a/one")));
    EXPECT_FALSE(QFile::exists(home() + QStringLiteral("/a/two")));
    EXPECT_TRUE(engine().progress()->isCancelled());
    EXPECT_TRUE(ResumeState::load(transfers(), QStringLiteral("T-1")));
}
