#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
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

QCoro::Task<QList<Message>> receiveAll(TransferSession* session, int count)
{
    QList<Message> out;
    for (int i = 0; i < count; ++i)
        out.append(co_await session->receiveMessage());
    co_return out;
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

// Every message kind's encoding is the wire format's test, and replies from the accepting side
// run in every engine test over TLS; here, frames larger than the socket buffer.
TEST(TransferSession, BackToBackFramesLargerThanTheSocketBufferArriveInOrder)
{
    LoopbackPair pair = makeLoopbackPair(TransferSession::Security::tls);
    ASSERT_TRUE(pair.client->socket()->isEncrypted());

    // Several MiB sent ahead of the reader: the kernel buffer fills, so a send
    // has to wait for the socket to drain instead of returning with bytes held back.
    constexpr int kFrames = 6;
    auto received = receiveAll(pair.accepted.get(), kFrames * 2);
    QList<QByteArray> payloads;
    runTask([&]() -> QCoro::Task<void> {
        for (int i = 0; i < kFrames; ++i) {
            MessageHeader h = headerOf(MessageType::chunkData, std::uint64_t(i) * 2 + 1);
            h.filePath = u"~/f%1"_s.arg(i);
            h.chunkIndex = 0;
            QByteArray payload(1048576 - i, char('a' + i));
            h.payloadSize = std::uint32_t(payload.size());
            payloads.append(payload);
            co_await pair.client->sendMessage(h, payload);
            co_await pair.client->sendMessage(headerOf(MessageType::fileComplete, std::uint64_t(i) * 2 + 2), std::nullopt);
        }
    }());
    const QList<Message> messages = runTask(std::move(received));
    ASSERT_EQ(messages.size(), kFrames * 2);
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(messages[i * 2].header.filePath, u"~/f%1"_s.arg(i));
        EXPECT_EQ(messages[i * 2].payload, payloads[i]);
        EXPECT_EQ(messages[i * 2 + 1].header.type, MessageType::fileComplete);
        EXPECT_EQ(messages[i * 2 + 1].header.sequenceNumber, std::uint64_t(i) * 2 + 2);
    }
}

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
