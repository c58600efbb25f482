// SPDX-License-Identifier: Apache-2.0
#include "transfer/EnginePair.h"

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

struct Tree : QTemporaryDir, SourceTree {
    Tree() : SourceTree(path(), u"hash-1"_s)
    {
        add(u"large.bin"_s, patterned(3 * FileHasher::kChunkSize + 5, 3));
        add(u"small.txt"_s, patterned(5000, 4));
        add(u"empty"_s, {});
    }
};

} // namespace

// Two of ours agree on chunk digests; either one paired with a peer that
// announces nothing keeps to whole-file hashes, and the exchange is then
// exactly the one two plain peers have, message for message.
TEST(FileHashSchemeIntegration, NegotiatedBothWaysAndPlainPeersSeeTodaysExchange)
{
    struct Case {
        bool offers;
        bool accepts;
        FileHashScheme expected;
    };
    QStringList plainSent, plainReceived;
    for (const Case& c : {Case{false, false, FileHashScheme::wholeFile}, Case{true, true, FileHashScheme::chunkDigests},
                          Case{false, true, FileHashScheme::wholeFile}, Case{true, false, FileHashScheme::wholeFile}}) {
        SCOPED_TRACE(::testing::Message() << "source offers " << c.offers << ", destination accepts " << c.accepts);
        Tree tree;
        Engines run(u"hash-1"_s, tree.from, tree.to);
        if (!c.offers)
            run.source.setOfferedHashScheme(std::nullopt);
        if (!c.accepts)
            run.destination.setAcceptedHashScheme(std::nullopt);
        run.source.setManifest(tree.manifest);
        run.run();

        EXPECT_EQ(run.source.fileHashScheme(), c.expected);
        EXPECT_EQ(run.destination.fileHashScheme(), c.expected);
        ASSERT_TRUE(run.source.progress()->isComplete()) << run.sourceError().toStdString();
        EXPECT_TRUE(run.source.progress()->fileErrors().isEmpty());
        EXPECT_TRUE(run.source.progress()->verificationMismatches().isEmpty());
        EXPECT_EQ(run.source.progress()->verificationFilesChecked(), 3);
        tree.expectArrived(tree.to);
        const QByteArray& large = tree.contents[u"large.bin"_s];
        const QString largeHash = FileHasher::hashOfDescriptor(fs::openForReading(tree.from + u"/large.bin"_s), c.expected);
        EXPECT_EQ(run.source.sentHash(u"~/large.bin"_s), Sha256Digest::fromHex(largeHash));
        EXPECT_EQ(largeHash == FileHasher::sha256Hex(large), c.expected == FileHashScheme::wholeFile);
        // A one-chunk file's hash is its bytes' digest either way.
        EXPECT_EQ(run.source.sentHash(u"~/small.txt"_s), Sha256Digest::fromHex(FileHasher::sha256Hex(tree.contents[u"small.txt"_s])));

        const QStringList sent = WatchedConnection::encoded(run.watched.sent);
        const QStringList received = WatchedConnection::encoded(run.watched.received);
        if (!c.offers && !c.accepts) {
            plainSent = sent;
            plainReceived = received;
        } else if (c.expected == FileHashScheme::wholeFile) {
            EXPECT_EQ(sent, plainSent);
            EXPECT_EQ(received, plainReceived);
        }
        ASSERT_FALSE(run.watched.received.isEmpty());
        EXPECT_EQ(run.watched.received.first().type, MessageType::manifestAck);
        EXPECT_EQ(run.watched.received.first().fileHashScheme.has_value(), c.expected == FileHashScheme::chunkDigests);
        EXPECT_EQ(run.watched.sent.first().fileHashScheme.has_value(), c.offers);
    }
}

// A chunk spoiled on the wire is refused by its own hash and sent again; one
// whose hash was made to fit the spoiled bytes passes as a chunk, and the
// file's hash catches it: the file fails and nothing takes its name.
TEST(FileHashSchemeIntegration, ASpoiledChunkOfALargeFileIsCaughtInEitherScheme)
{
    for (const bool digests : {true, false}) {
        for (const bool fitHash : {false, true}) {
            SCOPED_TRACE(::testing::Message() << (digests ? "chunk digests" : "whole file") << (fitHash ? ", hash made to fit" : ""));
            Tree tree;
            Engines run(u"hash-1"_s, tree.from, tree.to);
            if (!digests)
                run.source.setOfferedHashScheme(std::nullopt);
            run.watched.spoil(u"~/large.bin"_s, 2, {0}, fitHash);
            run.source.setManifest(tree.manifest);
            run.run();

            ASSERT_TRUE(run.source.progress()->isComplete());
            ASSERT_TRUE(run.destination.progress()->isComplete());
            EXPECT_EQ(run.watched.sendsOf(u"~/large.bin"_s, 2), fitHash ? 1 : 2);
            EXPECT_EQ(errorsOf(*run.destination.progress()),
                      fitHash ? QStringList{u"~/large.bin: File hash mismatch"_s} : QStringList());
            tree.expectArrived(tree.to, fitHash ? QStringList{u"large.bin"_s} : QStringList());
            if (!fitHash) {
                EXPECT_TRUE(run.source.progress()->verificationMismatches().isEmpty());
            }
        }
    }
}
