#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "support/ManualClock.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/FileHasher.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/ResumeState.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// A real destination engine over TLS, and the other end of the connection
// driven by hand as a hostile or silent source would drive it.
class HostileSource : public ::testing::Test {
protected:
    HostileSource() : pair(makeLoopbackPair(TransferSession::Security::tls))
    {
        QDir().mkpath(home());
        QDir().mkpath(outside());
        writeBytes(outside() + u"/target"_s, "untouched");
        writeBytes(home() + u"/exists.txt"_s, "here");
        // Links planted in the home that lead out of it.
        ::symlink(QFile::encodeName(outside()).constData(), QFile::encodeName(home() + u"/linkdir"_s).constData());
        ::symlink(QFile::encodeName(outside() + u"/target"_s).constData(),
                  QFile::encodeName(home() + u"/linkfile"_s).constData());
        destination = std::make_unique<DestinationTransfer>(pair.accepted.get(), u"unknown-yet"_s, home());
    }

    QString home() const { return dir.filePath(u"home"_s); }
    QString outside() const { return dir.filePath(u"outside"_s); }

    // Everything in the temporary folder but the home, with sizes.
    QStringList treeOutsideHome() const
    {
        QStringList out;
        QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(home() + u'/'))
                out.append(path + u' ' + QString::number(it.fileInfo().size()));
        }
        out.sort();
        return out;
    }

    QCoro::Task<void> send(MessageHeader h, std::optional<QByteArray> payload = std::nullopt)
    {
        h.transferID = u"hostile-1"_s;
        h.sequenceNumber = ++sequence;
        if (payload)
            h.payloadSize = std::uint32_t(payload->size());
        co_await pair.client->sendMessage(std::move(h), std::move(payload));
    }
    QCoro::Task<Message> reply() { return pair.client->receiveMessage(); }

    QTemporaryDir dir;
    LoopbackPair pair;
    std::unique_ptr<DestinationTransfer> destination;
    std::uint64_t sequence = 0;
};

TransferManifest manifestOf(const QList<std::pair<QString, QByteArray>>& files)
{
    TransferManifest m = manifestFor(u"hostile-1"_s);
    for (const auto& [path, bytes] : files)
        add(m, fileItem(path, u"/Users/evil/x"_s, bytes.size())).mode = 0755;
    return m;
}

} // namespace

// Which names are refused is the path check's table; here, that both the answerer and the
// writer apply it over a real connection, and what a link in the home does to each.
TEST_F(HostileSource, PathsOutsideTheHomeAreNeitherAnsweredNorWrittenNorVerified)
{
    const QStringList before = treeOutsideHome();
    // Conflict questions: what the answer holds for each asked path.
    enum class Answer { conflict, absent, refused };
    const QList<std::pair<QString, Answer>> questions = {
        {u"~/exists.txt"_s, Answer::conflict},
        {u"~/absent.txt"_s, Answer::absent},
        {u"~/linkdir/target"_s, Answer::absent}, // never looked at through the link
        {u"~/linkfile"_s, Answer::conflict},     // the link itself, not its target
        {outside() + u"/target"_s, Answer::refused},
        {u"~/../outside/target"_s, Answer::refused},
        {u"~/exists.txt"_s + QChar(0) + u"x"_s, Answer::refused},
    };
    // Files: the hostile ones and the nack each chunk gets; two ordinary ones.
    const QList<std::pair<QString, QString>> hostile = {
        {outside() + u"/evil.sh"_s, u"Outside home folder"_s},
        {u"~/../outside/x"_s, u"Invalid path"_s},
        {u"~/a"_s + QChar(0) + u"b"_s, u"Invalid path"_s},
    };
    QList<std::pair<QString, QByteArray>> files;
    for (const auto& [path, nack] : hostile)
        files.append({path, "#!/bin/sh\necho owned\n"});
    files.append({u"~/docs/one.txt"_s, "one"});
    files.append({u"~/two.bin"_s, patterned(1048576 + 5, 2)});
    const TransferManifest manifest = manifestOf(files);

    PreFlightConflictResponse answer;
    QHash<QString, QStringList> replies; // path -> "ack" or the nack's text, per chunk
    std::optional<QList<FileVerification>> verified;
    auto receiving = destination->run();
    QStringList asked;
    for (const auto& [path, expected] : questions)
        asked.append(path);
    const QByteArray question = PreFlightConflictRequest{asked, u"R1"_s}.encoded();
    // Plain loops and locals only: g++ 12 mishandles structured bindings,
    // conditional temporaries and co_await inside larger expressions in coroutines.
    runTask([&]() -> QCoro::Task<void> {
        co_await send(header(MessageType::preFlightConflictRequest), question);
        const Message answered = co_await reply();
        answer = PreFlightConflictResponse::decode(answered.payload.value_or(QByteArray()));

        MessageHeader m = header(MessageType::manifest);
        m.manifestData = manifest.encoded();
        co_await send(m);
        const Message ack = co_await reply();
        EXPECT_EQ(ack.header.type, MessageType::manifestAck);
        co_await send(header(MessageType::categoryStart, u"userFiles"_s));
        for (qsizetype i = 0; i < files.size(); ++i) {
            const QString path = files[i].first;
            const QByteArray bytes = files[i].second;
            for (qsizetype offset = 0, c = 0; offset < bytes.size(); offset += FileHasher::kChunkSize, ++c) {
                const QByteArray chunk = bytes.mid(offset, FileHasher::kChunkSize);
                MessageHeader h = header(MessageType::chunkData, path, std::uint32_t(c));
                h.chunkHash = FileHasher::sha256Hex(chunk);
                co_await send(h, chunk);
                const Message r = co_await reply();
                QString outcome = u"ack"_s;
                if (r.header.type != MessageType::chunkAck)
                    outcome = r.header.errorMessage.value_or(u"?"_s);
                replies[path].append(outcome);
            }
            MessageHeader done = header(MessageType::fileComplete, path);
            done.chunkHash = FileHasher::sha256Hex(bytes);
            co_await send(done);
            const Message fileAck = co_await reply();
            EXPECT_EQ(fileAck.header.type, MessageType::fileAck);
        }
        co_await send(header(MessageType::categoryComplete, u"userFiles"_s));
        co_await send(header(MessageType::verificationRequest));
        const Message verification = co_await reply();
        verified = verification.header.fileHashes;
        co_await send(header(MessageType::transferComplete));
    }());
    runTask(std::move(receiving));

    QStringList conflicts;
    for (const ConflictSummary& c : answer.conflicts) {
        conflicts.append(c.path);
        EXPECT_EQ(c.destSize, c.path == u"~/exists.txt"_s ? 4u : 0u) << "a link is not measured by its target";
    }
    for (const auto& [path, expected] : questions) {
        EXPECT_EQ(conflicts.contains(path), expected == Answer::conflict) << path.toStdString();
        EXPECT_EQ(answer.refusedPaths.contains(path), expected == Answer::refused) << path.toStdString();
    }

    // Every hostile item nacked and failed, nothing new or changed outside the home.
    const TransferProgress& progress = *destination->progress();
    ASSERT_EQ(progress.fileErrors().size(), hostile.size());
    for (qsizetype i = 0; i < hostile.size(); ++i) {
        EXPECT_EQ(replies.value(hostile[i].first), QStringList{hostile[i].second}) << i;
        EXPECT_EQ(progress.fileErrors()[i].filePath, hostile[i].first) << i;
    }
    EXPECT_EQ(treeOutsideHome(), before);

    // The ordinary files are written and verified, and the transfer ends.
    EXPECT_TRUE(progress.isComplete());
    EXPECT_EQ(progress.filesCompleted(), 2);
    EXPECT_EQ(replies.value(u"~/two.bin"_s), (QStringList{u"ack"_s, u"ack"_s}));
    EXPECT_EQ(verified, (QList<FileVerification>{{u"~/docs/one.txt"_s, FileHasher::sha256Hex("one"), 3},
                                                 {u"~/two.bin"_s, FileHasher::sha256Hex(files.last().second), 1048581}}));
    EXPECT_EQ(readBytes(home() + u"/two.bin"_s), files.last().second);
}

// A peer that stops talking: the engine ends as with a lost connection once its
// limit passes with nothing heard, and not before; a pause holds the limit.
TEST_F(HostileSource, ASilentPeerEndsTheTransferAsALostConnectionAndTheCheckpointStays)
{
    const TransferManifest manifest = manifestOf({{u"~/a.txt"_s, "alpha"}});
    MessageHeader offer = header(MessageType::manifest);
    offer.manifestData = manifest.encoded();
    const std::optional<MessageHeader> read;
    struct Case {
        QString name;
        DeviceRole silent;                        // the side that stops talking
        QList<std::optional<MessageHeader>> peer; // what it does first: send, or read one message
        bool pausedFirst = false;
        std::chrono::seconds allowance{0}; // beyond the idle limit
    };
    const QList<Case> cases = {
        {u"source silent before the manifest"_s, DeviceRole::source, {}, false, 1h - 120s},
        {u"silent source"_s, DeviceRole::source, {offer, read}},
        {u"paused, then silent source"_s, DeviceRole::source, {offer, read, header(MessageType::pause)}, true},
        {u"silent destination"_s, DeviceRole::destination, {read, header(MessageType::manifestAck), read, read}},
        // Hashing five bytes at one byte a second: the wait for the answer grows by five seconds.
        {u"destination silent at verification"_s, DeviceRole::destination,
         {read, header(MessageType::manifestAck), read, read, header(MessageType::chunkAck), read,
          header(MessageType::fileAck), read, read},
         false, 5s},
    };
    writeBytes(dir.filePath(u"a.txt"_s), "alpha");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        LoopbackPair link = makeLoopbackPair(TransferSession::Security::tls);
        auto clock = std::make_shared<ManualClock>();
        std::unique_ptr<TransferEngine> engine;
        if (c.silent == DeviceRole::source) {
            engine = std::make_unique<DestinationTransfer>(link.accepted.get(), u"x"_s, home());
        } else {
            auto source = std::make_unique<SourceTransfer>(link.accepted.get(), u"hostile-1"_s, dir.path());
            TransferManifest m = manifest;
            m.items[0].absolutePath = dir.filePath(u"a.txt"_s);
            source->setManifest(m);
            engine = std::move(source);
        }
        engine->setTimeouts({120s, 1h, 1});
        engine->setClock(clock);
        bool finished = false;
        QObject::connect(engine.get(), &TransferEngine::finished, [&] { finished = true; });
        auto running = engine->run();
        runTask([&]() -> QCoro::Task<void> {
            for (const std::optional<MessageHeader>& step : c.peer) {
                if (step)
                    co_await link.client->sendMessage(*step, std::nullopt);
                else
                    co_await link.client->receiveMessage();
            }
        }());
        if (c.pausedFirst) {
            ASSERT_TRUE(waitUntil([&] { return engine->progress()->isPaused(); }));
            clock->advance(1h);
            EXPECT_FALSE(finished) << "a pause is no silence";
            runTask(link.client->sendMessage(header(MessageType::resume), std::nullopt));
            ASSERT_TRUE(waitUntil([&] { return !engine->progress()->isPaused(); }));
        }
        clock->advance(engine->timeouts().idle + c.allowance - 1s);
        QCoreApplication::processEvents();
        EXPECT_FALSE(finished);
        clock->advance(2s);
        ASSERT_TRUE(waitUntil([&] { return finished; }));
        runTask(std::move(running));
        EXPECT_EQ(engine->progress()->error(), u"Connection to the other Mac was lost"_s);
        EXPECT_FALSE(engine->progress()->isTransferring());
        if (c.silent == DeviceRole::source && !c.peer.isEmpty()) {
            EXPECT_TRUE(ResumeState::load(TransferEngine::transfersDirectory(home()), u"hostile-1"_s));
        }
        engine.reset();
        QDir(TransferEngine::transfersDirectory(home())).removeRecursively();
    }
}
