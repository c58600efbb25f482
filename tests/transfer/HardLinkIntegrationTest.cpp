// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/EnginePair.h"
#include "transfer/RequestWindow.h"

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// Marks every name listed as one of several names of its file, its time in whole
// seconds as the manifest carries it.
void markLinked(SourceTree& tree)
{
    for (auto& item : tree.manifest.items) {
        item.multiplyLinked = true;
        item.sourceModified =
            QDateTime::fromSecsSinceEpoch(QFileInfo(item.absolutePath()).lastModified().toSecsSinceEpoch(), Qt::UTC);
    }
}

} // namespace

// A tree with files of two and three names (one of several chunks), to a
// destination that takes links, one that announces nothing (a kivo of before),
// and from a source that does not offer them: links and bytes once in the
// first case; in the others every name as bytes, exactly as without groups.
TEST(TransferHardLinks, LaterNamesArriveAsLinksOnlyWhenBothSidesOfferThem)
{
    enum class Offer { both, destinationSilent, sourceDeclines };
    for (const Offer offer : {Offer::both, Offer::destinationSilent, Offer::sourceDeclines}) {
        SCOPED_TRACE(int(offer));
        QTemporaryDir dir;
        SourceTree tree(dir.path(), u"links-1"_s);
        tree.add(u"d/big"_s, patterned(2 * 1048576 + 77, 1));
        tree.link(u"d/big"_s, u"e/big-again"_s);
        tree.link(u"d/big"_s, u"d/sub/big-third"_s);
        tree.add(u"d/small"_s, "small file\n");
        tree.link(u"d/small"_s, u"small-too"_s);
        tree.add(u"alone"_s, patterned(5000, 2));
        markLinked(tree);
        const std::uint64_t total = tree.manifest.totalSize;
        std::uint64_t distinct = 0;
        for (const QString& name : {u"d/big"_s, u"d/small"_s, u"alone"_s})
            distinct += std::uint64_t(tree.contents[name].size());

        Engines engines(u"links-1"_s, tree.from, tree.to);
        engines.destination.setAnnouncedHardLinks(offer != Offer::destinationSilent);
        engines.source.setHardLinks(offer != Offer::sourceDeclines);
        engines.source.setManifest(tree.manifest);
        engines.run();

        const TransferProgress& source = *engines.source.progress();
        ASSERT_TRUE(source.isComplete()) << engines.sourceError().toStdString();
        ASSERT_TRUE(engines.destination.progress()->isComplete());
        EXPECT_TRUE(source.fileErrors().isEmpty());
        EXPECT_TRUE(source.verificationMismatches().isEmpty());
        EXPECT_EQ(source.verificationFilesChecked(), 6);
        const bool linked = offer == Offer::both;
        // Both sides' figures are the bytes that travel.
        for (const TransferProgress* side : std::initializer_list<const TransferProgress*>{&source, engines.destination.progress()}) {
            EXPECT_EQ(side->bytesTransferred(), linked ? distinct : total);
            EXPECT_EQ(side->totalBytes(), side->bytesTransferred());
        }
        tree.expectArrived(tree.to);

        const QString& to = tree.to;
        EXPECT_EQ(engines.source.sendsHardLinks(), linked);
        EXPECT_EQ(engines.watched.links, linked ? 3 : 0);
        EXPECT_EQ(engines.watched.chunkBytes, linked ? distinct : total);
        EXPECT_EQ(inodeOf(to + u"/d/big"_s) == inodeOf(to + u"/e/big-again"_s), linked);
        EXPECT_EQ(inodeOf(to + u"/d/big"_s) == inodeOf(to + u"/d/sub/big-third"_s), linked);
        EXPECT_EQ(inodeOf(to + u"/d/small"_s) == inodeOf(to + u"/small-too"_s), linked);
        EXPECT_TRUE(QDir(TransferEngine::transfersDirectory(to)).entryList(QDir::Files).isEmpty());
    }
}

// The first run ends after the first name and a link to it; the second name
// is then removed here. The run that follows sends no byte of the group: the
// missing link is made again and the third name is linked to the first.
TEST(TransferHardLinks, AResumeLinksTheRestOfAGroupToWhatTheEarlierRunWrote)
{
    QTemporaryDir dir;
    SourceTree tree(dir.path(), u"T-1"_s);
    const QByteArray bytes = patterned(1048576 + 9, 3);
    tree.add(u"a1"_s, bytes);
    tree.link(u"a1"_s, u"a2"_s);
    tree.link(u"a1"_s, u"sub/a3"_s);
    markLinked(tree);
    for (auto& item : tree.manifest.items)
        item.linkGroup = 1;
    {
        // The scheme the second run's kivo peers agree on: a hash recorded in another one could not answer for a link.
        struct FirstRun : DestinationFixture {
            void TestBody() override {}
        } first;
        first.scheme = FileHashScheme::chunkDigests;
        first.manifest = tree.manifest;
        first.contents = {bytes};
        first.pushManifest();
        first.peer.push(header(MessageType::categoryStart, u"userFiles"_s));
        for (std::uint32_t c = 0; c < 2; ++c)
            first.pushChunk(u"~/a1"_s, c, bytes.mid(c * 1048576, 1048576));
        first.pushComplete(u"~/a1"_s, first.hashOf(bytes));
        MessageHeader link = header(MessageType::fileComplete, u"~/a2"_s);
        link.linkTarget = u"~/a1"_s;
        first.peer.push(link);
        runTask(DestinationTransfer(&first.peer, u"ignored"_s, tree.to).run()); // the source is gone after that
        ASSERT_EQ(inodeOf(tree.to + u"/a1"_s), inodeOf(tree.to + u"/a2"_s));
    }
    ASSERT_TRUE(QFile::remove(tree.to + u"/a2"_s));

    Engines engines(u"T-1"_s, tree.from, tree.to);
    engines.source.setManifest(tree.manifest);
    engines.run();
    const TransferProgress& source = *engines.source.progress();
    ASSERT_TRUE(source.isComplete()) << engines.sourceError().toStdString();
    EXPECT_TRUE(source.fileErrors().isEmpty());
    EXPECT_TRUE(source.verificationMismatches().isEmpty());
    EXPECT_EQ(engines.watched.chunkBytes, 0u);
    EXPECT_EQ(engines.watched.links, 2);
    // The names that came as links leave the totals.
    EXPECT_EQ(source.bytesTransferred(), std::uint64_t(bytes.size()));
    EXPECT_EQ(source.totalBytes(), source.bytesTransferred());
    EXPECT_EQ(inodeOf(tree.to + u"/a1"_s), inodeOf(tree.to + u"/a2"_s));
    EXPECT_EQ(inodeOf(tree.to + u"/a1"_s), inodeOf(tree.to + u"/sub/a3"_s));
    tree.expectArrived(tree.to);
    EXPECT_TRUE(QDir(TransferEngine::transfersDirectory(tree.to)).entryList(QDir::Files).isEmpty());
}

namespace {

class HostileLinks : public DestinationFixture {
protected:
    void pushLink(const QString& path, const QString& target)
    {
        MessageHeader h = header(MessageType::fileComplete, path);
        h.linkTarget = target;
        h.chunkHash = FileHasher::sha256Hex(contents[0]);
        peer.push(h);
    }
    // The reply to each fileComplete, in order: "ok", or the refusal's text.
    QStringList fileAcks() const
    {
        QStringList out;
        for (const Message& m : peer.sent) {
            if (m.header.type == MessageType::fileSkip)
                out << u"skip: "_s + m.header.errorMessage.value_or(QString());
            if (m.header.type == MessageType::fileAck)
                out << (m.header.errorCode ? *m.header.errorCode + u": "_s + m.header.errorMessage.value_or(QString())
                                           : u"ok"_s);
        }
        return out;
    }
};

} // namespace

// Links from a source that lies: each is refused on its own, nothing is
// linked or written outside the home, and the honest files around them arrive.
TEST_F(HostileLinks, EachBadLinkIsRefusedAloneAndNothingLeavesTheHome)
{
    const QByteArray bytes = "the one file\n";
    for (const char* name : {"~/a1", "~/a2", "~/a3", "~/a4", "~/a5", "~/a6"})
        addItem(QString::fromLatin1(name), bytes).linkGroup = 1;
    const QString outside = dir.filePath(u"elsewhere/victim"_s);
    addItem(u"~/x"_s, bytes).linkGroup = 1;
    manifest.items.last().relativePath = outside;
    manifest.items.last().setAbsolutePath(outside);
    addItem(u"~/other"_s, "other\n").linkGroup = 2;
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    pushLink(u"~/a2"_s, u"~/a1"_s);          // not received yet
    pushChunk(u"~/a1"_s, 0, bytes);
    pushComplete(u"~/a1"_s, FileHasher::sha256Hex(bytes));
    pushLink(u"~/a3"_s, u"~/nowhere"_s);     // no such file
    pushLink(u"~/a4"_s, outside);            // a listed file outside the home
    pushLink(u"~/a5"_s, u"~/a5"_s);          // itself
    pushLink(u"~/a6"_s, u"~/other"_s);       // not the same file
    pushLink(u"~/a2"_s, u"~/a1"_s);          // now fine
    pushLink(u"../../etc/passwd"_s, u"~/a1"_s);
    peer.push(header(MessageType::categoryComplete, u"userFiles"_s));
    pushEnd();
    receive();

    const QString refused = QString::fromLatin1(RequestWindow::kLinkRefused) + u": "_s;
    EXPECT_EQ(fileAcks(), (QStringList{refused + u"Link target not received"_s, u"ok"_s,
                                       refused + u"Link target is not a file of this transfer"_s,
                                       refused + u"Link target refused: "_s + toString(PathRefusal::outsideHome),
                                       refused + u"Link target is the file itself"_s,
                                       refused + u"Link target is not another name of this file"_s, u"ok"_s,
                                       u"skip: "_s + toString(PathRefusal::invalid)}));
    EXPECT_EQ(inodeOf(home() + u"/a1"_s), inodeOf(home() + u"/a2"_s));
    for (const char* never : {"/a3", "/a4", "/a5", "/a6"})
        EXPECT_FALSE(QFile::exists(home() + QString::fromLatin1(never))) << never;
    EXPECT_FALSE(QFile::exists(outside));
    EXPECT_TRUE(progress()->isComplete());
    QStringList failed = failedPaths();
    failed.sort();
    EXPECT_EQ(failed, (QStringList{outside, u"~/a3"_s, u"~/a4"_s, u"~/a5"_s, u"~/a6"_s, u"~/other"_s}));
}

// A destination that did not offer links takes none, even from a source that sends them anyway.
TEST_F(HostileLinks, ADestinationThatOfferedNoLinksTakesNone)
{
    const QByteArray bytes = "shared\n";
    addItem(u"~/a1"_s, bytes).linkGroup = 1;
    addItem(u"~/a2"_s, bytes).linkGroup = 1;
    engine().setAnnouncedHardLinks(false);
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    pushChunk(u"~/a1"_s, 0, bytes);
    pushComplete(u"~/a1"_s, FileHasher::sha256Hex(bytes));
    pushLink(u"~/a2"_s, u"~/a1"_s);
    peer.push(header(MessageType::transferComplete));
    receive();

    ASSERT_FALSE(peer.sentOfType(MessageType::manifestAck).isEmpty());
    EXPECT_FALSE(peer.sentOfType(MessageType::manifestAck).first().header.hardLinks.has_value());
    EXPECT_EQ(fileAcks(), (QStringList{u"ok"_s, QString::fromLatin1(RequestWindow::kLinkRefused) + u": Links were not offered"_s}));
    EXPECT_FALSE(QFile::exists(home() + u"/a2"_s));
}
