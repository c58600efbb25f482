// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// The source's side of a real connection: keeps every header that passes,
// each way, and tampers with chosen chunks on their way out.
class RecordingConnection : public TransferConnection {
public:
    enum class Tamper { none, payloadOnce, payloadAndHash };

    explicit RecordingConnection(TransferConnection* inner) : m_inner(inner) {}
    bool isConnected() const override { return m_inner->isConnected(); }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        watch(header, payload);
        return m_inner->sendMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<void> queueMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        watch(header, payload);
        return m_inner->queueMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<Message> receiveMessage() override
    {
        Message m = co_await m_inner->receiveMessage();
        received.append(m.header);
        co_return m;
    }
    void close() override { m_inner->close(); }

    void tamper(const QString& path, std::uint32_t chunk, Tamper how)
    {
        m_path = path;
        m_chunk = chunk;
        m_how = how;
    }

    QList<MessageHeader> sent;
    QList<MessageHeader> received;

private:
    void watch(MessageHeader& header, std::optional<QByteArray>& payload)
    {
        if (header.type == MessageType::chunkData && payload && header.filePath == m_path && header.chunkIndex == m_chunk
            && m_how != Tamper::none) {
            (*payload)[0] = char((*payload)[0] ^ 0x5a);
            if (m_how == Tamper::payloadAndHash)
                header.chunkHash = FileHasher::sha256Hex(*payload); // consistent, and wrong
            else
                m_how = Tamper::none;
        }
        sent.append(header);
    }

    TransferConnection* m_inner;
    QString m_path;
    std::uint32_t m_chunk = 0;
    Tamper m_how = Tamper::none;
};

struct Peers {
    Peers(const QString& from, const QString& to)
        : pair(makeLoopbackPair(TransferSession::Security::tls)),
          recording(pair.client.get()),
          source(&recording, u"hash-1"_s, from),
          destination(pair.accepted.get(), u"unknown-yet"_s, to)
    {
    }
    void run()
    {
        runTask([](Peers* self) -> QCoro::Task<void> {
            auto receiving = self->destination.run();
            co_await self->source.run();
            co_await std::move(receiving);
        }(this));
    }

    LoopbackPair pair;
    RecordingConnection recording;
    SourceTransfer source;
    DestinationTransfer destination;
};

struct Tree {
    Tree()
    {
        QDir().mkpath(from());
        QDir().mkpath(to());
        add(u"large.bin"_s, patterned(3 * FileHasher::kChunkSize + 5, 3));
        add(u"small.txt"_s, patterned(5000, 4));
        add(u"empty"_s, {});
    }
    QString from() const { return dir.filePath(u"from"_s); }
    QString to() const { return dir.filePath(u"to"_s); }
    void add(const QString& name, QByteArray bytes)
    {
        writeBytes(from() + u'/' + name, bytes);
        kivo::test::add(manifest, fileItem(u"~/"_s + name, from() + u'/' + name, bytes.size()));
        contents.insert(name, std::move(bytes));
    }

    QTemporaryDir dir;
    TransferManifest manifest = manifestFor(u"hash-1"_s);
    QHash<QString, QByteArray> contents;
};

QStringList encoded(const QList<MessageHeader>& headers, bool withManifest)
{
    QStringList out;
    for (const MessageHeader& h : headers)
        if (withManifest || h.type != MessageType::manifest)
            out.append(QString::fromUtf8(h.encoded()));
    return out;
}

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
        Peers run(tree.from(), tree.to());
        if (!c.offers)
            run.source.setOfferedHashScheme(std::nullopt);
        if (!c.accepts)
            run.destination.setAcceptedHashScheme(std::nullopt);
        run.source.setManifest(tree.manifest);
        run.run();

        EXPECT_EQ(run.source.fileHashScheme(), c.expected);
        EXPECT_EQ(run.destination.fileHashScheme(), c.expected);
        ASSERT_TRUE(run.source.progress()->isComplete()) << run.source.progress()->error().value_or(QString()).toStdString();
        EXPECT_TRUE(run.source.progress()->fileErrors().isEmpty());
        EXPECT_TRUE(run.source.progress()->verificationMismatches().isEmpty());
        EXPECT_EQ(run.source.progress()->verificationFilesChecked(), 3);
        for (auto it = tree.contents.cbegin(); it != tree.contents.cend(); ++it)
            EXPECT_EQ(readBytes(tree.to() + u'/' + it.key()), it.value()) << it.key().toStdString();
        const QByteArray& large = tree.contents[u"large.bin"_s];
        const QString largeHash = FileHasher::hashOfDescriptor(fs::openForReading(tree.from() + u"/large.bin"_s), c.expected);
        EXPECT_EQ(run.source.sentHash(u"~/large.bin"_s), Sha256Digest::fromHex(largeHash));
        EXPECT_EQ(largeHash == FileHasher::sha256Hex(large), c.expected == FileHashScheme::wholeFile);
        // A one-chunk file's hash is its bytes' digest either way.
        EXPECT_EQ(run.source.sentHash(u"~/small.txt"_s), Sha256Digest::fromHex(FileHasher::sha256Hex(tree.contents[u"small.txt"_s])));

        const QStringList sent = encoded(run.recording.sent, false);
        const QStringList received = encoded(run.recording.received, true);
        if (!c.offers && !c.accepts) {
            plainSent = sent;
            plainReceived = received;
        } else if (c.expected == FileHashScheme::wholeFile) {
            EXPECT_EQ(sent, plainSent);
            EXPECT_EQ(received, plainReceived);
        }
        ASSERT_FALSE(run.recording.received.isEmpty());
        EXPECT_EQ(run.recording.received.first().type, MessageType::manifestAck);
        EXPECT_EQ(run.recording.received.first().fileHashScheme.has_value(), c.expected == FileHashScheme::chunkDigests);
        EXPECT_EQ(run.recording.sent.first().fileHashScheme.has_value(), c.offers);
    }
}

// A chunk spoiled on the wire is refused by its own hash and sent again; one
// whose hash was made to fit the spoiled bytes passes as a chunk, and the
// file's hash catches it: the file fails and nothing takes its name.
TEST(FileHashSchemeIntegration, ASpoiledChunkOfALargeFileIsCaughtInEitherScheme)
{
    using Tamper = RecordingConnection::Tamper;
    for (const bool digests : {true, false}) {
        for (const Tamper how : {Tamper::payloadOnce, Tamper::payloadAndHash}) {
            SCOPED_TRACE(::testing::Message() << (digests ? "chunk digests" : "whole file") << ", tamper " << int(how));
            Tree tree;
            Peers run(tree.from(), tree.to());
            if (!digests)
                run.source.setOfferedHashScheme(std::nullopt);
            run.recording.tamper(u"~/large.bin"_s, 2, how);
            run.source.setManifest(tree.manifest);
            run.run();

            ASSERT_TRUE(run.source.progress()->isComplete());
            ASSERT_TRUE(run.destination.progress()->isComplete());
            EXPECT_EQ(readBytes(tree.to() + u"/small.txt"_s), tree.contents[u"small.txt"_s]);
            QStringList failed;
            for (const FileError& e : run.destination.progress()->fileErrors())
                failed << e.filePath + u": "_s + e.error;
            if (how == Tamper::payloadOnce) {
                EXPECT_TRUE(failed.isEmpty()) << failed.join(u", "_s).toStdString();
                EXPECT_EQ(readBytes(tree.to() + u"/large.bin"_s), tree.contents[u"large.bin"_s]);
                EXPECT_TRUE(run.source.progress()->verificationMismatches().isEmpty());
            } else {
                EXPECT_EQ(failed, QStringList{u"~/large.bin: File hash mismatch"_s});
                EXPECT_FALSE(QFile::exists(tree.to() + u"/large.bin"_s));
            }
        }
    }
}
