// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/ManualClock.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class SourceFixture : public ::testing::Test {
protected:
    TransferManifest::FileItem addFile(const QString& name, const QByteArray& bytes)
    {
        writeBytes(dir.filePath(name), bytes);
        return add(manifest, fileItem(u"~/"_s + name, dir.filePath(name), bytes.size()));
    }
    SourceTransfer& engine()
    {
        if (!m_engine) {
            m_engine = std::make_unique<SourceTransfer>(&peer.connection, u"T-1"_s, dir.path());
            m_engine->setManifest(manifest);
        }
        return *m_engine;
    }
    TransferProgress* progress() { return engine().progress(); }
    void start() { runTask(engine().run()); }
    // The manifest sent to `to` under an 8 Mbps cap, its waits on `clock`.
    std::unique_ptr<SourceTransfer> pacedTo(AckingDestination& to, const std::shared_ptr<ManualClock>& clock)
    {
        auto paced = std::make_unique<SourceTransfer>(&to.connection, u"T-1"_s, dir.path());
        paced->setManifest(manifest);
        paced->setClock(clock);
        paced->setBandwidthCap(8);
        return paced;
    }
    qsizetype chunksSentFor(const QString& path) const
    {
        const QList<Message> chunks = peer.connection.sentOfType(MessageType::chunkData);
        return std::count_if(chunks.begin(), chunks.end(), [&](const Message& m) { return m.header.filePath == path; });
    }

    QTemporaryDir dir;
    TransferManifest manifest = manifestFor(u"T-1"_s);
    AckingDestination peer;
    std::unique_ptr<SourceTransfer> m_engine;
};

// Retries and rejections are the request window's table and the window run's; here, a
// placeholder, an unreadable file, a refused file and a verification mismatch (answered
// in batches) each stay with their own file and the transfer completes.
TEST_F(SourceFixture, PerFileTroubleStaysWithItsFile)
{
    const auto fine = addFile(u"fine"_s, patterned(2000, 4));
    // The placeholder's path does not exist: opening it would fail and be reported.
    add(manifest, fileItem(u"~/Documents/.report.pdf.icloud"_s, dir.filePath(u"nowhere/.report.pdf.icloud"_s), 4096));
    const auto secret = addFile(u"secret"_s, "top");
    const auto refused = addFile(u"refused"_s, patterned(2000, 5));
    auto handler = std::make_shared<RecordingHandler>(u"userFiles"_s);
    handler->unreadable = {secret.absolutePath()};
    engine().registerHandler(handler);
    peer.reply = [&](const MessageHeader& h) -> std::optional<MessageHeader> {
        if (h.type == MessageType::verificationRequest) {
            // In two batches: the mismatch in the first must still count.
            MessageHeader first = header(MessageType::verificationResponse);
            first.fileHashes = QList<FileVerification>{{fine.relativePath, QString(64, u'0'), 2000}};
            first.hashesRemaining = 1;
            peer.connection.push(first);
            MessageHeader last = header(MessageType::verificationResponse);
            last.fileHashes = QList<FileVerification>{{u"~/never-sent"_s, QString(64, u'1'), 1}};
            last.hashesRemaining = 0;
            return last;
        }
        if (h.type != MessageType::chunkData || h.filePath != refused.relativePath)
            return std::nullopt;
        MessageHeader skip = header(MessageType::fileSkip, h.filePath);
        skip.errorMessage = u"App must be closed"_s;
        return skip;
    };
    start();

    EXPECT_EQ(chunksSentFor(secret.relativePath), 0);
    EXPECT_EQ(chunksSentFor(refused.relativePath), 1) << "a file the destination refuses stops at once";
    // The destination hears of every file given up, but not of one it refused.
    QStringList skips;
    for (const Message& m : peer.connection.sentOfType(MessageType::fileSkip))
        skips.append(*m.header.filePath + u": "_s + m.header.errorMessage.value_or(QString()));
    EXPECT_EQ(skips, (QStringList{u"~/Documents/.report.pdf.icloud: iCloud Drive placeholder — download to local first"_s,
                                  u"~/secret: Permission denied"_s}));
    EXPECT_EQ(errorsOf(*progress()), (QStringList{u"~/secret: Permission denied"_s, u"~/refused: App must be closed"_s}))
        << "the placeholder is counted, not an error";
    EXPECT_EQ(progress()->iCloudStubsBytesSkipped(), 4096u);
    QList<FileTransferStatus> statuses;
    for (const auto& item : engine().manifest()->items)
        statuses.append(item.transferStatus);
    using S = FileTransferStatus;
    EXPECT_EQ(statuses, (QList<S>{S::completed, S::skipped, S::skipped, S::skipped}));
    EXPECT_EQ(peer.connection.sentOfType(MessageType::verificationRequest).first().header.hashBatches, 1u);
    EXPECT_EQ(progress()->verificationMismatches(), QStringList{fine.relativePath}) << "an unknown path is no mismatch";
    EXPECT_TRUE(progress()->isComplete());
}

// Pacing is the same whether or not requests may wait in flight.
TEST_F(SourceFixture, BandwidthCapPacesChunksOnTheInjectedClock)
{
    addFile(u"ten.bin"_s, patterned(10 * 1048576, 1));
    for (const std::optional<std::uint32_t> window : {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(64)}) {
        AckingDestination destination;
        destination.manifestAck.maxInFlight = window;
        const auto clock = std::make_shared<ManualClock>();
        const std::unique_ptr<SourceTransfer> engine = pacedTo(destination, clock);
        SourceTransfer& paced = *engine;
        QList<double> sendTimes;
        destination.connection.onSend = [&](const Message& m) {
            if (m.header.type == MessageType::chunkData)
                sendTimes.append(std::chrono::duration<double>(clock->monotonic()).count());
            destination.answer(m.header);
        };
        runTask(paced.run());

        ASSERT_EQ(sendTimes.size(), 10);
        EXPECT_EQ(sendTimes[0], 0.0);
        for (int i = 1; i < 10; ++i)
            EXPECT_NEAR(sendTimes[i] - sendTimes[i - 1], 1.048576, 0.001);
        EXPECT_TRUE(paced.progress()->isComplete());
        EXPECT_EQ(paced.window().requests, window.value_or(1));
    }
}

// A cancel or a pause half-way through the wait before a chunk ends that wait on the
// injected clock; a paused chunk goes early but keeps its slot, so the next one waits for it.
TEST_F(SourceFixture, CancelOrPauseEndsThePacingWaitAtOnce)
{
    addFile(u"five.bin"_s, patterned(5 * 1048576, 3));
    constexpr double kSlot = 1.048576; // one chunk at 8 Mbps
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancelled" : "paused");
        AckingDestination destination;
        const auto clock = std::make_shared<ManualClock>();
        const std::unique_ptr<SourceTransfer> engine = pacedTo(destination, clock);
        SourceTransfer& paced = *engine;
        QList<double> sendTimes;
        std::unique_ptr<QObject> halfWay;
        destination.connection.onSend = [&](const Message& m) {
            if (m.header.type == MessageType::chunkData) {
                sendTimes.append(std::chrono::duration<double>(clock->monotonic()).count());
                if (sendTimes.size() == 2)
                    halfWay = clock->schedule(std::chrono::milliseconds(500),
                                              [&] { cancel ? paced.cancel() : paced.setPaused(true); });
            }
            if (m.header.type == MessageType::pause)
                QTimer::singleShot(0, &paced, [&] { paced.setPaused(false); });
            destination.answer(m.header);
        };
        runTask(paced.run());

        const double stopped = sendTimes.value(1) + 0.5;
        if (cancel) {
            EXPECT_EQ(sendTimes.size(), 2) << "nothing goes out once cancelled";
            EXPECT_LT(std::chrono::duration<double>(clock->monotonic()).count(), stopped + 0.1);
        } else {
            ASSERT_EQ(sendTimes.size(), 5);
            EXPECT_LT(sendTimes[2], stopped + 0.1);
            EXPECT_NEAR(sendTimes[3] - sendTimes[1], 2 * kSlot, 0.001) << "the cap still holds";
            EXPECT_TRUE(paced.progress()->isComplete());
        }
    }
}

// With requests in flight or without, pause and cancel act between chunks and
// everything already sent is answered first.
TEST_F(SourceFixture, PauseHoldsChunksUntilResumedOrCancelled)
{
    addFile(u"a"_s, "alpha");
    addFile(u"b"_s, patterned(3 * 1048576, 2));
    for (const std::optional<std::uint32_t> window : {std::optional<std::uint32_t>(), std::optional<std::uint32_t>(64)}) {
        for (const bool cancel : {false, true}) {
            SCOPED_TRACE(std::to_string(window.value_or(1)) + (cancel ? " cancelled" : " resumed"));
            AckingDestination peerSide;
            peerSide.manifestAck.maxInFlight = window;
            SourceTransfer engine(&peerSide.connection, u"T-1"_s, dir.path());
            engine.setManifest(manifest);
            // Paused as the second file starts; resumed, or cancelled, once the destination has heard of it.
            peerSide.connection.onSend = [&](const Message& m) {
                if (m.header.type == MessageType::chunkData && m.header.filePath == u"~/b"_s && m.header.chunkIndex == 0u)
                    engine.setPaused(true);
                if (m.header.type == MessageType::pause)
                    QTimer::singleShot(0, &engine, [&] { cancel ? engine.cancel() : engine.setPaused(false); });
                peerSide.answer(m.header);
            };
            runTask(engine.run());
            EXPECT_TRUE(peerSide.connection.inbox.empty()) << "every reply in flight was taken";
            EXPECT_EQ(engine.progress()->isComplete(), !cancel);
            if (cancel) {
                EXPECT_EQ(peerSide.connection.sentOfType(MessageType::chunkData).size(), 2) << "a's chunk and b's first";
                EXPECT_EQ(engine.progress()->bytesTransferred(), 5u + 1048576u);
                EXPECT_TRUE(engine.progress()->isCancelled());
                continue;
            }
            QList<MessageType> kinds;
            for (const Message& m : peerSide.connection.sent)
                kinds.append(m.header.type);
            const qsizetype pause = kinds.indexOf(MessageType::pause);
            ASSERT_GE(pause, 0);
            EXPECT_EQ(kinds.mid(pause, 3), (QList<MessageType>{MessageType::pause, MessageType::resume, MessageType::chunkData}));
        }
    }
}

// A destination with no room says so in place of the acknowledgement; anything else is a fault.
TEST_F(SourceFixture, AnUnexpectedReplyToTheManifestEndsTheTransfer)
{
    addFile(u"a"_s, "alpha");
    MessageHeader full = header(MessageType::error);
    full.errorCode = u"disk_full"_s;
    MessageHeader measured = full;
    measured.spaceNeeded = 4200000;
    measured.spaceAvailable = 1000000;
    MessageHeader otherError = header(MessageType::error);
    otherError.errorCode = u"refused"_s;
    const struct {
        MessageHeader reply;
        QString error;
    } cases[] = {
        {header(MessageType::chunkAck), u"Invalid protocol message: Expected manifestAck, got chunkAck"_s},
        {otherError, u"Invalid protocol message: Expected manifestAck, got error"_s},
        // A peer that does not say how much room it has.
        {full, u"Not enough disk space. Need 5 bytes, only Zero KB available"_s},
        {measured, u"Not enough disk space. Need 4.2 MB, only 1 MB available"_s},
    };
    for (const auto& c : cases) {
        AckingDestination other;
        SourceTransfer confused(&other.connection, u"T-3"_s, dir.path());
        confused.setManifest(manifest);
        other.connection.onSend = [&](const Message&) { other.connection.push(c.reply); };
        runTask(confused.run());
        EXPECT_EQ(confused.progress()->error(), c.error);
    }
}
