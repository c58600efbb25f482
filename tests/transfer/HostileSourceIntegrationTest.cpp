// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "support/ManualClock.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/ResumeState.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>


using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// A peer that stops talking: the engine ends as with a lost connection once its
// limit passes with nothing heard, and not before; a pause holds the limit. A real
// engine over TLS, and the other end of the connection driven by hand as a silent peer would.
TEST(HostileSource, ASilentPeerEndsTheTransferAsALostConnectionAndTheCheckpointStays)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s);
    QDir().mkpath(home);
    writeBytes(dir.filePath(u"a.txt"_s), "alpha");
    TransferManifest manifest = manifestFor(u"hostile-1"_s);
    add(manifest, fileItem(u"~/a.txt"_s, dir.filePath(u"a.txt"_s), 5)).mode = 0755;
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        LoopbackPair link = makeLoopbackPair(TransferSession::Security::tls);
        auto clock = std::make_shared<ManualClock>();
        std::unique_ptr<TransferEngine> engine;
        if (c.silent == DeviceRole::source) {
            engine = std::make_unique<DestinationTransfer>(link.accepted.get(), u"x"_s, home);
        } else {
            auto source = std::make_unique<SourceTransfer>(link.accepted.get(), u"hostile-1"_s, dir.path());
            source->setManifest(manifest);
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
            EXPECT_TRUE(ResumeState::load(TransferEngine::transfersDirectory(home), u"hostile-1"_s));
        }
        engine.reset();
        QDir(TransferEngine::transfersDirectory(home)).removeRecursively();
    }
}
