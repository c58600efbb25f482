// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "support/ManualClock.h"
#include "transfer/TransferError.h"
#include "transfer/WireFormat.h"

#include <QtEndian>
#include <gtest/gtest.h>


using namespace kivo;
using namespace Qt::StringLiterals;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

MessageHeader headerOf(MessageType type, std::uint64_t sequence)
{
    MessageHeader h;
    h.type = type;
    h.transferID = u"0F6A8E52-3C1B-4D8A-9E0C-5B2F7D9A1C33"_s;
    h.sequenceNumber = sequence;
    return h;
}

QString errorText(const std::function<void()>& f)
{
    try {
        f();
    } catch (const Error& e) {
        return e.description();
    }
    return u"<no error>"_s;
}

} // namespace

// Bad lengths and every way a stream can end early are the decoder's table; here, that a
// peer closing mid-frame ends the read instead of leaving it waiting, and a send on a closed session fails.
TEST(TransferSession, APeerClosingMidFrameEndsTheReadAndAClosedSessionRefusesToSend)
{
    LoopbackPair pair = makeLoopbackPair(TransferSession::Security::tls);
    char prefix[4];
    qToBigEndian<quint32>(40, prefix);
    pair.client->socket()->write(prefix, 4);
    pair.client->socket()->flush();
    auto received = pair.accepted->receiveMessage();
    QTimer::singleShot(50, pair.client->socket(), [&] { pair.client->close(); });
    EXPECT_EQ(errorText([&] { runTask(std::move(received)); }), "Connection to the other Mac was lost");
    EXPECT_FALSE(pair.accepted->isConnected());
    EXPECT_EQ(errorText([&] { runTask(pair.client->sendMessage(headerOf(MessageType::pause, 1), std::nullopt)); }),
              "Connection was cancelled");
}

// A peer that trickles a message a byte at a time does not hold the reader:
// the whole message is due within the limit (plus time for the payload it
// announced), however often a byte arrives; the next message gets a fresh limit.
TEST(TransferSession, AMessageIsDueWholeWithinItsDeadlineHoweverItsBytesTrickle)
{
    struct Case {
        const char* name;
        std::uint32_t payload;        // announced
        int bytesSent;                // of the frame, one per step
        bool survives;                // still waiting after the last step
    };
    constexpr auto kLimit = 1000ms;
    constexpr auto kStep = 400ms;
    const std::uint32_t twoSeconds = std::uint32_t(2 * TransferSession::kSlowestPeerBytesPerSecond);
    const Case cases[] = {
        {"two bytes of a bare header within the limit", 0, 2, true},
        {"a third byte past the limit", 0, 3, false},
        {"a large payload earns its time", twoSeconds, 7, true},
        {"but not without end", twoSeconds, 8, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackPair link = makeLoopbackPair(TransferSession::Security::plain);
        auto clock = std::make_shared<ManualClock>();
        link.accepted->setIdleDeadline(clock, kLimit);
        MessageHeader h = headerOf(MessageType::chunkData, 1);
        h.payloadSize = c.payload;
        const QByteArray head = WireFormat::encodeHead(h);
        // Most of the header at once, so that the payload size is known from the first steps.
        const qsizetype upfront = c.payload ? head.size() : 0;
        link.client->socket()->write(head.left(upfront));
        auto receiving = link.accepted->receiveMessage();
        bool lost = false;
        for (int i = 0; i < c.bytesSent; ++i) {
            link.client->socket()->write(QByteArray(1, c.payload ? 'x' : head.at(upfront + i)));
            link.client->socket()->flush();
            ASSERT_TRUE(waitUntil([&] { return link.accepted->socket()->bytesAvailable() == 0 || lost; }));
            QCoreApplication::processEvents();
            clock->advance(kStep);
            lost = !link.accepted->isConnected();
        }
        EXPECT_EQ(!lost, c.survives);
        if (!c.survives) {
            EXPECT_EQ(errorText([&] { runTask(std::move(receiving)); }), u"Connection to the other Mac was lost"_s);
        }
    }
}

// Answering in good time, message after message, never runs into the limit.
TEST(TransferSession, EachMessageGetsAFreshDeadline)
{
    LoopbackPair link = makeLoopbackPair(TransferSession::Security::plain);
    auto clock = std::make_shared<ManualClock>();
    link.accepted->setIdleDeadline(clock, 1000ms);
    for (std::uint64_t i = 1; i <= 5; ++i) {
        auto receiving = link.accepted->receiveMessage();
        clock->advance(900ms);
        runTask(link.client->sendMessage(headerOf(MessageType::chunkAck, i), std::nullopt));
        EXPECT_EQ(runTask(std::move(receiving)).header.sequenceNumber, i);
    }
}
