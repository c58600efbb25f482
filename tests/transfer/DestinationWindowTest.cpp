// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/HeaderOrPayload.h"
#include "transfer/RequestWindow.h"

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

class DestinationWindow : public DestinationFixture {
protected:
    QByteArray chunkOf(qsizetype item, int c) const { return contents[item].mid(qsizetype(c) * 1048576, 1048576); }
    QList<Message> fileAcks() const { return peer.sentOfType(MessageType::fileAck); }
};

} // namespace

// Chunks after a rejected one land at their offsets; a fileComplete that
// arrives before the resend finishes nothing; the checkpoint names only the
// prefix without a hole (resuming from a checkpoint is the resume-from-every-phase table's).
TEST_F(DestinationWindow, ChunksAfterARejectedOneAreKeptAndTheCheckpointStopsAtTheHole)
{
    addItem(u"~/a.bin"_s, patterned(2 * 1048576 + 7, 1));
    addItem(u"~/b.bin"_s, patterned(4 * 1048576 + 10, 2));
    const QString wrong = FileHasher::sha256Hex("not it");
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    // a: its first chunk rejected, the rest and its fileComplete already on the way, then the resend.
    pushChunk(u"~/a.bin"_s, 0, chunkOf(0, 0), wrong);
    pushChunk(u"~/a.bin"_s, 1, chunkOf(0, 1));
    pushChunk(u"~/a.bin"_s, 2, chunkOf(0, 2));
    pushComplete(u"~/a.bin"_s, hashOf(contents[0]));
    pushChunk(u"~/a.bin"_s, 0, chunkOf(0, 0));
    pushComplete(u"~/a.bin"_s, hashOf(contents[0]));
    // b: chunk 1 rejected, and the connection drops before its resend.
    for (int c = 0; c < 4; ++c)
        pushChunk(u"~/b.bin"_s, std::uint32_t(c), chunkOf(1, c), c == 1 ? std::optional(wrong) : std::nullopt);
    pushComplete(u"~/b.bin"_s, hashOf(contents[1]));
    receive();

    EXPECT_EQ(readBytes(home() + u"/a.bin"_s), contents[0]) << "the resent first chunk did not cut off the rest";
    ASSERT_EQ(fileAcks().size(), 3);
    EXPECT_EQ(fileAcks()[0].header.errorCode, QString::fromLatin1(RequestWindow::kChunksPending));
    EXPECT_FALSE(fileAcks()[1].header.errorCode);
    EXPECT_EQ(fileAcks()[2].header.errorCode, QString::fromLatin1(RequestWindow::kChunksPending));
    EXPECT_FALSE(QFile::exists(home() + u"/b.bin"_s));
    const auto checkpoint = ResumeState::load(transfers(), u"T-1"_s);
    ASSERT_TRUE(checkpoint);
    EXPECT_EQ(checkpoint->completedFiles(), QStringList{u"~/a.bin"_s});
    EXPECT_EQ(checkpoint->inProgressFile, (ResumeState::InProgressFile{u"~/b.bin"_s, u"userFiles"_s, 0, 1048576}));
}

// A source that asks for batches gets the same entries as one that does not,
// spread over responses that count down what is still to come; one that does
// not ask gets a single response, as before.
TEST_F(DestinationWindow, VerificationComesInBatchesOnlyToASourceThatAsks)
{
    // Long names, so that the answer outgrows one batch.
    for (int i = 0; i < 400; ++i)
        addItem(u"~/"_s + QString(200, u'n') + QString::number(i), i % 2 ? QByteArray("x") : QByteArray());
    pushManifest();
    pushCategory(u"userFiles"_s);
    peer.push(header(MessageType::verificationRequest));
    MessageHeader batched = header(MessageType::verificationRequest);
    batched.hashBatches = 1;
    peer.push(batched);
    peer.push(header(MessageType::transferComplete));
    receive();

    const auto responses = peer.sentOfType(MessageType::verificationResponse);
    ASSERT_GE(responses.size(), 3);
    const Message& single = responses.first();
    EXPECT_FALSE(single.header.hashesRemaining);
    const QList<FileVerification> whole = *hashesOf(single);
    ASSERT_EQ(whole.size(), 400);
    EXPECT_EQ(whole.first().sha256Hash, FileHasher::sha256Hex({}));
    QList<FileVerification> joined;
    std::uint64_t remaining = whole.size();
    for (qsizetype k = 1; k < responses.size(); ++k) {
        const MessageHeader& h = responses[k].header;
        ASSERT_TRUE(h.fileHashes && h.hashesRemaining);
        EXPECT_FALSE(responses[k].payload) << "every batch fits in its header";
        EXPECT_EQ(*h.hashesRemaining, remaining - std::uint64_t(h.fileHashes->size()));
        remaining = *h.hashesRemaining;
        joined += *h.fileHashes;
    }
    EXPECT_EQ(remaining, 0u);
    EXPECT_EQ(joined, whole);
}
