// SPDX-License-Identifier: Apache-2.0
#include "support/FileBytes.h"
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/DestinationFixture.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/RequestWindow.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// The source's side of a real connection, counting what it sends.
class CountingConnection : public TransferConnection {
public:
    explicit CountingConnection(TransferConnection* inner) : m_inner(inner) {}
    bool isConnected() const override { return m_inner->isConnected(); }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        count(header, payload);
        return m_inner->sendMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<void> queueMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        count(header, payload);
        return m_inner->queueMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<Message> receiveMessage() override { return m_inner->receiveMessage(); }
    void close() override { m_inner->close(); }

    std::uint64_t chunkBytes = 0;
    int links = 0;

private:
    void count(const MessageHeader& header, const std::optional<QByteArray>& payload)
    {
        if (header.type == MessageType::chunkData)
            chunkBytes += payload ? std::uint64_t(payload->size()) : header.holeSize.value_or(0);
        if (header.type == MessageType::fileBundle)
            chunkBytes += payload ? std::uint64_t(payload->size()) : 0;
        links += header.linkTarget.has_value();
    }
    TransferConnection* m_inner;
};

struct Engines {
    Engines(const QString& transferID, const QString& sourceFolder, const QString& destinationHome)
        : pair(makeLoopbackPair(TransferSession::Security::tls)),
          counted(pair.client.get()),
          source(&counted, transferID, sourceFolder),
          destination(pair.accepted.get(), u"unknown-yet"_s, destinationHome)
    {
    }
    void run()
    {
        runTask([](Engines* self) -> QCoro::Task<void> {
            auto receiving = self->destination.run();
            co_await self->source.run();
            co_await std::move(receiving);
        }(this));
    }
    LoopbackPair pair;
    CountingConnection counted;
    SourceTransfer source;
    DestinationTransfer destination;
};

// Source files, some of them several names of one file, and the manifest listing them.
struct LinkedTree {
    QString root;
    TransferManifest manifest;
    std::uint64_t distinctBytes = 0;

    LinkedTree(const QString& folder, const QString& transferID) : root(folder), manifest(manifestFor(transferID)) {}

    void file(const QString& name, const QByteArray& bytes)
    {
        writeBytes(root + u'/' + name, bytes);
        distinctBytes += std::uint64_t(bytes.size());
        list(name);
    }
    void link(const QString& existing, const QString& name)
    {
        QDir().mkpath(QFileInfo(root + u'/' + name).path());
        ASSERT_EQ(::link(QFile::encodeName(root + u'/' + existing).constData(), QFile::encodeName(root + u'/' + name).constData()), 0);
        list(name);
    }
    void list(const QString& name)
    {
        auto& item = add(manifest, fileItem(u"~/"_s + name, root + u'/' + name, QFileInfo(root + u'/' + name).size()));
        item.multiplyLinked = true;
        // Whole seconds, as the manifest carries them.
        item.sourceModified =
            QDateTime::fromSecsSinceEpoch(QFileInfo(root + u'/' + name).lastModified().toSecsSinceEpoch(), Qt::UTC);
    }
};

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
        const QString from = dir.filePath(u"from"_s), to = dir.filePath(u"to"_s);
        QDir().mkpath(to);
        LinkedTree tree(from, u"links-1"_s);
        tree.file(u"d/big"_s, patterned(2 * 1048576 + 77, 1));
        tree.link(u"d/big"_s, u"e/big-again"_s);
        tree.link(u"d/big"_s, u"d/sub/big-third"_s);
        tree.file(u"d/small"_s, "small file\n");
        tree.link(u"d/small"_s, u"small-too"_s);
        tree.file(u"alone"_s, patterned(5000, 2));
            const std::uint64_t total = tree.manifest.totalSize;

        Engines engines(u"links-1"_s, from, to);
        engines.destination.setAnnouncedHardLinks(offer != Offer::destinationSilent);
        engines.source.setHardLinks(offer != Offer::sourceDeclines);
        engines.source.setManifest(tree.manifest);
        engines.run();

        const TransferProgress& source = *engines.source.progress();
        ASSERT_TRUE(source.isComplete()) << source.error().value_or(QString()).toStdString();
        ASSERT_TRUE(engines.destination.progress()->isComplete());
        EXPECT_TRUE(source.fileErrors().isEmpty());
        EXPECT_TRUE(source.verificationMismatches().isEmpty());
        EXPECT_EQ(source.verificationFilesChecked(), 6);
        EXPECT_EQ(source.bytesTransferred(), total);
        EXPECT_EQ(engines.destination.progress()->bytesTransferred(), total);
        for (const auto& item : tree.manifest.items)
            EXPECT_EQ(readBytes(to + item.relativePath.mid(1)), readBytes(item.absolutePath())) << item.relativePath.toStdString();

        const bool linked = offer == Offer::both;
        EXPECT_EQ(engines.source.sendsHardLinks(), linked);
        EXPECT_EQ(engines.counted.links, linked ? 3 : 0);
        EXPECT_EQ(engines.counted.chunkBytes, linked ? tree.distinctBytes : total);
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
    const QString from = dir.filePath(u"from"_s), to = dir.filePath(u"to"_s);
    QDir().mkpath(to);
    LinkedTree tree(from, u"T-1"_s);
    tree.file(u"a1"_s, patterned(1048576 + 9, 3));
    tree.link(u"a1"_s, u"a2"_s);
    tree.link(u"a1"_s, u"sub/a3"_s);
    for (auto& item : tree.manifest.items)
        item.linkGroup = 1;

    ScriptedConnection peer;
    {
        DestinationTransfer first(&peer, u"ignored"_s, to);
        // The scheme the second run's kivo peers agree on: a hash recorded in another one could not answer for a link.
        MessageHeader manifest = header(MessageType::manifest);
        manifest.manifestData = tree.manifest.encoded();
        manifest.fileHashScheme = toString(FileHashScheme::chunkDigests);
        peer.push(manifest);
        peer.push(header(MessageType::categoryStart, u"userFiles"_s));
        const QByteArray bytes = readBytes(from + u"/a1"_s);
        ChunkDigestHash whole(std::uint64_t(bytes.size()));
        for (std::uint32_t c = 0; c < 2; ++c) {
            MessageHeader chunk = header(MessageType::chunkData, u"~/a1"_s, c);
            chunk.chunkHash = FileHasher::sha256Hex(bytes.mid(c * 1048576, 1048576));
            whole.addHex(*chunk.chunkHash);
            peer.push(chunk, bytes.mid(c * 1048576, 1048576));
        }
        MessageHeader done = header(MessageType::fileComplete, u"~/a1"_s);
        done.chunkHash = whole.finishHex();
        peer.push(done);
        MessageHeader link = header(MessageType::fileComplete, u"~/a2"_s);
        link.linkTarget = u"~/a1"_s;
        peer.push(link);
        runTask(first.run()); // the source is gone after that
        ASSERT_EQ(inodeOf(to + u"/a1"_s), inodeOf(to + u"/a2"_s));
    }
    ASSERT_TRUE(QFile::remove(to + u"/a2"_s));

    Engines engines(u"T-1"_s, from, to);
    engines.source.setManifest(tree.manifest);
    engines.run();
    const TransferProgress& source = *engines.source.progress();
    ASSERT_TRUE(source.isComplete()) << source.error().value_or(QString()).toStdString();
    EXPECT_TRUE(source.fileErrors().isEmpty());
    EXPECT_TRUE(source.verificationMismatches().isEmpty());
    EXPECT_EQ(engines.counted.chunkBytes, 0u);
    EXPECT_EQ(engines.counted.links, 2);
    EXPECT_EQ(inodeOf(to + u"/a1"_s), inodeOf(to + u"/a2"_s));
    EXPECT_EQ(inodeOf(to + u"/a1"_s), inodeOf(to + u"/sub/a3"_s));
    EXPECT_EQ(readBytes(to + u"/sub/a3"_s), readBytes(from + u"/a1"_s));
    EXPECT_TRUE(QDir(TransferEngine::transfersDirectory(to)).entryList(QDir::Files).isEmpty());
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
    for (const char* name : {"~/a1", "~/a2", "~/a3", "~/a4", "~/a5", "~/a6"}) {
        addItem(QString::fromLatin1(name), bytes).linkGroup = 1;
    }
    const QString outside = dir.filePath(u"elsewhere/victim"_s);
    addItem(u"~/x"_s, bytes).linkGroup = 1;
    manifest.items.last().relativePath = outside;
    manifest.items.last().setAbsolutePath(outside);
    addItem(u"~/other"_s, "other\n").linkGroup = 2;
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    pushLink(u"~/a2"_s, u"~/a1"_s);          // not received yet
    pushChunk(u"~/a1"_s, 0, bytes);
    MessageHeader done = header(MessageType::fileComplete, u"~/a1"_s);
    done.chunkHash = FileHasher::sha256Hex(bytes);
    peer.push(done);
    pushLink(u"~/a3"_s, u"~/nowhere"_s);     // no such file
    pushLink(u"~/a4"_s, outside);            // a listed file outside the home
    pushLink(u"~/a5"_s, u"~/a5"_s);          // itself
    pushLink(u"~/a6"_s, u"~/other"_s);       // not the same file
    pushLink(u"~/a2"_s, u"~/a1"_s);          // now fine
    pushLink(u"../../etc/passwd"_s, u"~/a1"_s);
    peer.push(header(MessageType::categoryComplete, u"userFiles"_s));
    peer.push(header(MessageType::verificationRequest));
    peer.push(header(MessageType::transferComplete));
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
    QStringList failed;
    for (const FileError& e : progress()->fileErrors())
        failed << e.filePath;
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
    MessageHeader done = header(MessageType::fileComplete, u"~/a1"_s);
    done.chunkHash = FileHasher::sha256Hex(bytes);
    peer.push(done);
    pushLink(u"~/a2"_s, u"~/a1"_s);
    peer.push(header(MessageType::transferComplete));
    receive();

    ASSERT_FALSE(peer.sentOfType(MessageType::manifestAck).isEmpty());
    EXPECT_FALSE(peer.sentOfType(MessageType::manifestAck).first().header.hardLinks.has_value());
    EXPECT_EQ(fileAcks(), (QStringList{u"ok"_s, QString::fromLatin1(RequestWindow::kLinkRefused) + u": Links were not offered"_s}));
    EXPECT_FALSE(QFile::exists(home() + u"/a2"_s));
}
