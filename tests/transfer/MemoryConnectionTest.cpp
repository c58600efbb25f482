// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/ManualClock.h"
#include "transfer/MemoryConnection.h"
#include "transfer/TransferError.h"
#include "transfer/TransferSession.h"
#include "transfer/WireFormat.h"

#include <QBuffer>
#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

MessageHeader headerOf(MessageType type, std::uint32_t payloadSize)
{
    MessageHeader h;
    h.type = type;
    h.transferID = QStringLiteral("A1B2C3D4-0000-4000-8000-000000000001");
    h.filePath = QStringLiteral("~/Documents/a.bin");
    if (payloadSize)
        h.payloadSize = payloadSize;
    return h;
}

std::optional<TransferError::Kind> failureOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const TransferError& e) {
        return e.kind();
    }
    return std::nullopt;
}

} // namespace

// The receiving end decodes what it is handed as the network's does (each kind's
// limit is the decoder's table): a frame past its limit fails, a large manifest
// goes into a scratch file.
TEST(MemoryConnection, FramesKeepTheWiresLimits)
{
    struct Case {
        const char* name;
        MessageType type;
        std::uint32_t payload;
        bool arrives;
        bool spooled;
    };
    const Case cases[] = {
        {"whole chunk", MessageType::chunkData, WireFormat::kMaxChunkPayload, true, false},
        {"chunk one byte too large", MessageType::chunkData, WireFormat::kMaxChunkPayload + 1, false, false},
        {"large manifest", MessageType::manifest, WireFormat::kSpoolAbove + 1, true, true},
        {"no payload", MessageType::transferComplete, 0, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto [a, b] = MemoryConnection::makePair(64 * 1024);
        const QByteArray payload(qsizetype(c.payload), 'k');
        std::optional<QByteArray> body;
        if (c.payload)
            body = payload;
        auto sending = a->sendMessage(headerOf(c.type, c.payload), body);
        std::optional<Message> got;
        const auto failure = failureOf([&] { got = runTask(b->receiveMessage(), 10s); });
        if (!c.arrives) {
            EXPECT_EQ(failure, TransferError::Kind::invalidMessage);
            continue;
        }
        ASSERT_FALSE(failure);
        EXPECT_EQ(got->header.type, c.type);
        EXPECT_EQ(got->payload.value_or(QByteArray()), payload);
        EXPECT_EQ(got->spool != nullptr, c.spooled);
    }
}

// A sender ahead of its reader waits for room: no more than the capacity and
// the frame in hand ever waits in between, and nothing is lost or reordered.
TEST(MemoryConnection, ASenderAheadOfItsReaderWaitsForRoom)
{
    constexpr qint64 kCapacity = 256 * 1024;
    auto [a, b] = MemoryConnection::makePair(kCapacity);
    constexpr int kFrames = 12;
    // The file is read as it goes out, a piece at a time.
    QByteArray file(3 * 1024 * 1024 + 5, '\0');
    for (qsizetype i = 0; i < file.size(); ++i)
        file[i] = char(i * 31);
    QBuffer device(&file);
    device.open(QIODevice::ReadOnly);
    bool sent = false;
    // Named: a coroutine lambda's captures live in the lambda, which must outlive it.
    const auto sender = [&]() -> QCoro::Task<void> {
        for (int i = 0; i < kFrames; ++i)
            co_await a->sendMessage(headerOf(MessageType::chunkData, 1024 * 1024), QByteArray(1024 * 1024, char('a' + i)));
        co_await a->sendMessageFrom(headerOf(MessageType::manifest, std::uint32_t(file.size())), &device);
        sent = true;
    };
    auto sending = sender();
    qint64 mostBuffered = 0;
    const auto reader = [&]() -> QCoro::Task<void> {
        for (int i = 0; i < kFrames; ++i) {
            mostBuffered = std::max(mostBuffered, b->bufferedIn());
            const Message m = co_await b->receiveMessage();
            EXPECT_EQ(m.payload->at(0), char('a' + i));
        }
        const Message manifest = co_await b->receiveMessage();
        EXPECT_EQ(*manifest.payload, file);
    };
    runTask(reader());
    EXPECT_TRUE(sent);
    EXPECT_GT(mostBuffered, 0);
    EXPECT_LE(mostBuffered, kCapacity + 1024 * 1024 + 1024);
}

// Closing is a socket's: the peer gets what was sent, then the end; whoever
// writes after it learns the connection is gone, the closing side that it cancelled.
TEST(MemoryConnection, CloseDeliversWhatWasSentThenEnds)
{
    auto [a, b] = MemoryConnection::makePair();
    runTask(a->sendMessage(headerOf(MessageType::fileAck, 0), std::nullopt));
    a->close();
    EXPECT_FALSE(a->isConnected());
    EXPECT_FALSE(b->isConnected());
    EXPECT_EQ(runTask(b->receiveMessage()).header.type, MessageType::fileAck);
    EXPECT_EQ(failureOf([&] { runTask(b->receiveMessage()); }), TransferError::Kind::connectionLost);
    EXPECT_EQ(failureOf([&] { runTask(b->sendMessage(headerOf(MessageType::fileAck, 0), std::nullopt)); }),
              TransferError::Kind::connectionLost);
    EXPECT_EQ(failureOf([&] { runTask(a->sendMessage(headerOf(MessageType::fileAck, 0), std::nullopt)); }),
              TransferError::Kind::connectionCancelled);
    EXPECT_EQ(failureOf([&] { runTask(a->receiveMessage()); }), TransferError::Kind::connectionCancelled);

    // A receive already waiting wakes when the peer goes, and an end that is
    // destroyed mid-wait never resumes into freed memory.
    auto [c, d] = MemoryConnection::makePair();
    auto waiting = d->receiveMessage();
    auto orphan = c->receiveMessage();
    c.reset();
    EXPECT_EQ(failureOf([&] { runTask(std::move(waiting)); }), TransferError::Kind::connectionLost);
}

// A peer that says nothing for the deadline (plus its announced payload's
// allowance) is dropped: the waiting receive fails, the peer sees the end.
TEST(MemoryConnection, SilenceBeyondTheDeadlineDropsTheConnection)
{
    auto clock = std::make_shared<ManualClock>();
    auto [a, b] = MemoryConnection::makePair();
    b->setIdleDeadline(clock, 30s);
    std::optional<TransferError::Kind> failure;
    bool done = false;
    const auto waiter = [&]() -> QCoro::Task<void> {
        try {
            co_await b->receiveMessage();
        } catch (const TransferError& e) {
            failure = e.kind();
        }
        done = true;
    };
    auto waiting = waiter();
    clock->advance(29s);
    QCoreApplication::processEvents();
    EXPECT_FALSE(done);
    // Half a frame with a large payload announced: it gets time for the payload.
    runTask(a->sendMessage(headerOf(MessageType::chunkData, 1024 * 1024), std::nullopt));
    waitUntil([&] { return b->bufferedIn() == 0; }, 2s);
    clock->advance(2s);
    QCoreApplication::processEvents();
    EXPECT_FALSE(done) << "the announced payload's allowance was not given";
    clock->advance(TransferSession::payloadAllowance(1024 * 1024));
    EXPECT_TRUE(waitUntil([&] { return done; }, 5s));
    EXPECT_EQ(failure, TransferError::Kind::connectionLost);
    EXPECT_FALSE(a->isConnected());
    EXPECT_EQ(failureOf([&] { runTask(a->sendMessage(headerOf(MessageType::fileAck, 0), std::nullopt)); }),
              TransferError::Kind::connectionLost);
}
