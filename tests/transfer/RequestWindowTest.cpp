// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/ManualClock.h"
#include "transfer/DurableCompletions.h"
#include "transfer/RequestWindow.h"
#include "transfer/TransferSupport.h"

#include <QThread>
#include <gtest/gtest.h>

#include <atomic>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

using Request = RequestWindow::Request;
using Kind = RequestWindow::Outcome::Kind;

Request chunk(qsizetype item, std::uint32_t index, int attempt = 0, qsizetype bytes = 10)
{
    return {.kind = Request::Kind::chunk, .item = item, .path = u"~/f"_s + QString::number(item), .chunkIndex = index,
            .totalChunks = 4, .bytes = QByteArray(bytes, 'x'), .hash = u"h"_s, .attempt = attempt, .linkTarget = {}, .files = {}};
}

Request complete(qsizetype item)
{
    return {.kind = Request::Kind::fileComplete, .item = item, .path = u"~/f"_s + QString::number(item), .totalChunks = 4,
            .bytes = {}, .hash = u"whole"_s, .linkTarget = {}, .files = {}};
}

MessageHeader reply(MessageType type, std::optional<QString> code = std::nullopt)
{
    MessageHeader h = header(type);
    h.errorCode = std::move(code);
    return h;
}

MessageHeader ackAnnouncing(std::optional<std::uint32_t> requests, std::optional<std::uint32_t> bytes)
{
    MessageHeader h = header(MessageType::manifestAck);
    h.maxInFlight = requests;
    h.maxInFlightBytes = bytes;
    return h;
}

} // namespace

TEST(WindowLimits, TheSourceKeepsTheSmallerOfBothAndNothingAnnouncedIsOneAtATime)
{
    const WindowLimits own{64, 1000};
    struct Case {
        std::optional<std::uint32_t> requests, bytes;
        WindowLimits expected;
    };
    const QList<Case> cases = {
        {std::nullopt, std::nullopt, {1, 0}},
        {0, std::nullopt, {1, 0}},
        {16, std::nullopt, {16, 1000}},
        {1u << 30, 1u << 30, {64, 1000}},
        {16, 200, {16, 200}},
        {16, 0, {16, 1}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WindowLimits::negotiate(own, ackAnnouncing(c.requests, c.bytes)), c.expected)
            << c.requests.value_or(0) << " / " << c.bytes.value_or(0);
}

TEST(RequestWindow, RoomIsCountedInRequestsAndPayloadBytesButOneRequestAlwaysFits)
{
    RequestWindow window({3, 25});
    EXPECT_TRUE(window.hasRoom(1 << 20)) << "an empty window takes any chunk";
    window.sent(chunk(0, 0, 0, 10));
    window.sent(complete(0));
    EXPECT_TRUE(window.hasRoom(15));
    EXPECT_FALSE(window.hasRoom(16));
    window.sent(chunk(1, 0, 0, 15));
    EXPECT_FALSE(window.hasRoom(0)) << "three requests";
    window.answer(reply(MessageType::chunkAck));
    EXPECT_EQ(window.bytesInFlight(), 15u);
    EXPECT_TRUE(window.hasRoom(10));

    RequestWindow stopAndWait;
    EXPECT_TRUE(stopAndWait.limits().isStopAndWait());
    stopAndWait.sent(complete(0));
    EXPECT_FALSE(stopAndWait.hasRoom(0));
}

// What each reply to a single chunk or fileComplete means.
TEST(RequestWindow, RepliesToOneRequest)
{
    struct Case {
        const char* what;
        Request request;
        MessageHeader reply;
        Kind expected;
        QString failure;
        bool rejected = false;
    };
    MessageHeader otherError = reply(MessageType::error);
    otherError.errorMessage = u"boom"_s;
    MessageHeader failedThere = reply(MessageType::chunkNack, QString::fromLatin1(RequestWindow::kFileFailed));
    failedThere.errorMessage = u"~/f0: Permission denied"_s;
    const QList<Case> cases = {
        {"ack", chunk(0, 0), reply(MessageType::chunkAck), Kind::chunkStored, {}},
        {"nack", chunk(0, 0), reply(MessageType::chunkNack), Kind::resend, {}, true},
        {"a stray reply is a rejection, unlogged", chunk(0, 0), reply(MessageType::fileAck), Kind::resend, {}},
        {"third nack", chunk(0, 2, 2), reply(MessageType::chunkNack), Kind::fileFailed,
         TransferError::maxRetriesExceeded(u"~/f0"_s, 2).description(), true},
        {"nack: failed there for good, with its reason", chunk(0, 0), failedThere, Kind::failedByDestination,
         u"~/f0: Permission denied"_s, true},
        {"nack disk_full", chunk(0, 0), reply(MessageType::chunkNack, u"disk_full"_s), Kind::diskFull, {}, true},
        {"error disk_full", chunk(0, 0), reply(MessageType::error, u"disk_full"_s), Kind::diskFull, {}},
        {"other error", chunk(0, 0), otherError, Kind::fileFailed, u"Invalid protocol message: boom"_s},
        {"fileAck", complete(0), reply(MessageType::fileAck), Kind::fileDone, {}},
        {"wrong reply to fileComplete", complete(0), reply(MessageType::chunkAck), Kind::fileFailed,
         u"Invalid protocol message: Expected fileAck, got chunkAck"_s},
        {"fileAck still missing chunks", complete(0), reply(MessageType::fileAck, u"chunks_pending"_s),
         Kind::fileFailed, u"Invalid protocol message: File incomplete"_s},
    };
    for (const Case& c : cases) {
        RequestWindow window({8, 0});
        window.sent(c.request);
        const RequestWindow::Outcome out = window.answer(c.reply);
        EXPECT_EQ(out.kind, c.expected) << c.what;
        EXPECT_EQ(out.failure ? out.failure->description() : out.skipReason, c.failure) << c.what;
        EXPECT_EQ(out.rejected, c.rejected) << c.what;
        EXPECT_TRUE(window.isEmpty()) << c.what;
        EXPECT_EQ(window.hasFailed(0), c.expected == Kind::fileFailed || c.expected == Kind::failedByDestination) << c.what;
    }
}

// A chunk rejected while its file's fileComplete is already on the way: the
// chunk goes again, then a fresh fileComplete; the overtaken one's reply means nothing.
TEST(RequestWindow, ANackInAFullWindowResendsTheChunkAndCompletesTheFileAgain)
{
    RequestWindow window({16, 0});
    window.sent(chunk(0, 0));
    window.sent(chunk(0, 1));
    window.sent(complete(0));
    window.sent(chunk(1, 0));

    RequestWindow::Outcome out = window.answer(reply(MessageType::chunkNack));
    ASSERT_EQ(out.kind, Kind::resend);
    EXPECT_EQ(out.request.chunkIndex, 0u);
    EXPECT_EQ(out.request.attempt, 1);
    ASSERT_TRUE(out.completeAgain);
    EXPECT_EQ(out.completeAgain->hash, u"whole"_s);
    window.sent(out.request);
    window.sent(*out.completeAgain);

    EXPECT_EQ(window.answer(reply(MessageType::chunkAck)).kind, Kind::chunkStored);
    EXPECT_EQ(window.answer(reply(MessageType::fileAck, u"chunks_pending"_s)).kind, Kind::ignored);
    EXPECT_EQ(window.answer(reply(MessageType::chunkAck)).kind, Kind::chunkStored) << "the next file's chunk";
    EXPECT_EQ(window.answer(reply(MessageType::chunkAck)).kind, Kind::chunkStored) << "the resend";
    EXPECT_EQ(window.answer(reply(MessageType::fileAck)).kind, Kind::fileDone);
    EXPECT_TRUE(window.isEmpty());
}

TEST(RequestWindow, AFileGivenUpIgnoresWhatIsStillOnTheWayForItButNotAFullDisk)
{
    RequestWindow window({16, 0});
    window.sent(chunk(0, 0, 2));
    window.sent(chunk(0, 1));
    window.sent(complete(0));
    window.sent(chunk(1, 0));
    window.sent(chunk(2, 0));
    ASSERT_EQ(window.answer(reply(MessageType::chunkNack)).kind, Kind::fileFailed);
    EXPECT_EQ(window.answer(reply(MessageType::chunkNack)).kind, Kind::ignored);
    EXPECT_EQ(window.answer(reply(MessageType::fileAck)).kind, Kind::ignored);
    EXPECT_EQ(window.answer(reply(MessageType::chunkAck)).kind, Kind::chunkStored);
    window.failFile(2);
    EXPECT_EQ(window.answer(reply(MessageType::error, u"disk_full"_s)).kind, Kind::diskFull);
}

namespace {

// A flush that ends when the test lets it, counting how often it ran.
struct GatedFlush {
    std::atomic<int> calls{0};
    std::atomic<bool> open{true};
    std::atomic<bool> fail{false};
    DurableCompletions::Flush fn()
    {
        return [this] {
            calls += 1;
            while (!open)
                QThread::msleep(1);
            if (fail)
                throw std::runtime_error("I/O error");
        };
    }
};

} // namespace

TEST(DurableCompletions, FilesAreRecordedInGroupsOnlyAfterTheirFlushEnded)
{
    auto clock = std::make_shared<ManualClock>();
    GatedFlush flush;
    QList<QStringList> recorded;
    DurableCompletions durable(flush.fn(), [&](const QStringList& paths) { recorded.append(paths); }, clock,
                               {3, std::chrono::seconds(1)});
    durable.fileFinished(u"a"_s);
    durable.fileFinished(u"b"_s);
    EXPECT_EQ(flush.calls, 0) << "a group waits for its size or its age";
    flush.open = false;
    durable.fileFinished(u"c"_s);
    ASSERT_TRUE(waitUntil([&] { return flush.calls == 1; }));
    durable.fileFinished(u"d"_s);
    EXPECT_TRUE(recorded.isEmpty()) << "nothing is listed before its flush ended";
    flush.open = true;
    clock->advance(2s);
    ASSERT_TRUE(waitUntil([&] {
        durable.fileFinished(u"x"_s);
        return !recorded.isEmpty();
    }));
    EXPECT_EQ(recorded.first(), (QStringList{u"a"_s, u"b"_s, u"c"_s}));

    runTask(durable.flushAll());
    QStringList all;
    for (const QStringList& group : std::as_const(recorded))
        all += group;
    EXPECT_EQ(all.mid(0, 4), (QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s}));
    EXPECT_EQ(all.size(), 4 + all.count(u"x"_s));
    EXPECT_EQ(durable.stats().flushes, flush.calls.load());

    // A flush that fails lists nothing: those files are sent again on a resume.
    flush.fail = true;
    const qsizetype before = recorded.size();
    durable.fileFinished(u"lost"_s);
    runTask(durable.flushAll());
    EXPECT_EQ(recorded.size(), before);
}
