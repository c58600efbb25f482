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

bool isRequest(MessageType type)
{
    return type == MessageType::manifest || type == MessageType::chunkData || type == MessageType::fileComplete
        || type == MessageType::fileBundle || type == MessageType::verificationRequest;
}

// The source's side of a real connection: checks the numbering, counts what is
// unanswered at each send, and spoils chosen chunk sends on their way out.
class WatchedConnection : public TransferConnection {
public:
    explicit WatchedConnection(TransferConnection* inner) : m_inner(inner) {}
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
        outstanding -= 1;
        co_return m;
    }
    void close() override { m_inner->close(); }

    // Spoils the sends of (path, chunk) numbered in `attempts` (0 = the first send).
    void spoil(const QString& path, std::uint32_t chunk, QList<int> attempts) { m_spoil[key(path, chunk)] = attempts; }
    int sendsOf(const QString& path, std::uint32_t chunk) const { return m_sends.value(key(path, chunk)); }

    QList<MessageType> sentTypes;
    int misnumbered = 0; // messages not numbered one after the other from 1
    int outstanding = 0;
    int mostOutstanding = 0;
    // Sends made while a reply was still due.
    int sendsWhileWaiting = 0;

private:
    static QString key(const QString& path, std::uint32_t chunk) { return path + u'#' + QString::number(chunk); }
    void watch(const MessageHeader& header, std::optional<QByteArray>& payload)
    {
        misnumbered += header.sequenceNumber != std::uint64_t(sentTypes.size() + 1);
        if (outstanding > 0)
            ++sendsWhileWaiting;
        if (isRequest(header.type))
            mostOutstanding = std::max(mostOutstanding, ++outstanding);
        sentTypes.append(header.type);
        if (header.type == MessageType::fileBundle && header.fileHashes) {
            // Each file of a bundle counts as its one chunk would.
            qsizetype offset = 0;
            for (const FileVerification& f : *header.fileHashes) {
                spoilSend(key(f.filePath, 0), payload, offset, qsizetype(f.size));
                offset += qsizetype(f.size);
            }
        }
        if (header.type == MessageType::chunkData && payload)
            spoilSend(key(*header.filePath, *header.chunkIndex), payload, 0, payload->size());
    }
    void spoilSend(const QString& k, std::optional<QByteArray>& payload, qsizetype offset, qsizetype size)
    {
        const int attempt = m_sends[k]++;
        if (m_spoil.value(k).contains(attempt) && payload && size > 0)
            (*payload)[offset] = char((*payload)[offset] ^ 0x5a);
    }

    TransferConnection* m_inner;
    QHash<QString, QList<int>> m_spoil;
    QHash<QString, int> m_sends;
};

struct WatchedPair {
    WatchedPair(const QString& sourceFolder, const QString& destinationHome)
        : pair(makeLoopbackPair(TransferSession::Security::tls)),
          watched(pair.client.get()),
          source(&watched, u"window-1"_s, sourceFolder),
          destination(pair.accepted.get(), u"unknown-yet"_s, destinationHome)
    {
    }
    void run()
    {
        runTask([](WatchedPair* self) -> QCoro::Task<void> {
            auto receiving = self->destination.run();
            co_await self->source.run();
            co_await std::move(receiving);
        }(this));
    }

    LoopbackPair pair;
    WatchedConnection watched;
    SourceTransfer source;
    DestinationTransfer destination;
};

struct Tree {
    TransferManifest manifest = manifestFor(u"window-1"_s);
    QHash<QString, QByteArray> contents;

    void add(const QString& folder, const QString& name, QByteArray bytes)
    {
        writeBytes(folder + u'/' + name, bytes);
        kivo::test::add(manifest, fileItem(u"~/"_s + name, folder + u'/' + name, bytes.size()));
        contents.insert(name, std::move(bytes));
    }
};

} // namespace

// Many small files and a large one; one chunk of a small file deep in the window and one in
// the middle of the large file are spoiled once, and every send of one file is: those two end
// byte-identical after a resend, the third fails alone. With the small files in bundles (a
// spoiled one is sent again alone), with requests in flight file by file, and to a destination
// that announces nothing, as one built to the plain rules: then nothing is sent while a reply is due.
TEST(TransferWindow, ANackIsResentAndOnlyThreeRejectionsFailAFileWithOrWithoutAWindow)
{
    enum class Mode { bundles, window, oneAtATime };
    for (const Mode mode : {Mode::bundles, Mode::window, Mode::oneAtATime}) {
        SCOPED_TRACE(mode == Mode::bundles ? "bundles" : mode == Mode::window ? "window" : "one at a time");
        const bool announced = mode != Mode::oneAtATime;
        QTemporaryDir dir;
        const QString from = dir.filePath(u"from"_s), to = dir.filePath(u"to"_s);
        QDir().mkpath(from + u"/d"_s);
        QDir().mkpath(to);
        Tree tree;
        for (int i = 0; i < 300; ++i) {
            tree.add(from, u"d/f%1"_s.arg(i, 3, 10, QChar(u'0')), patterned((i * 97) % 5000, i));
            if (i == 200)
                tree.add(from, u"d/large.bin"_s, patterned(3 * 1048576 + 5, 7));
        }
        tree.add(from, u"doomed"_s, patterned(3000, 9));
        WatchedPair engines(from, to);
        if (!announced)
            engines.destination.setAnnouncedWindow(std::nullopt);
        if (mode != Mode::bundles)
            engines.destination.setAcceptedFileBundles(false);
        engines.source.setManifest(tree.manifest);
        engines.watched.spoil(u"~/d/f150"_s, 0, {0});
        engines.watched.spoil(u"~/d/large.bin"_s, 1, {0});
        engines.watched.spoil(u"~/doomed"_s, 0, {0, 1, 2});
        engines.run();

        EXPECT_EQ(engines.source.sendsFileBundles(), mode == Mode::bundles);
        if (mode == Mode::bundles) {
            // Two runs of small files, each a bundle, around the large file; then the spoiled ones again.
            EXPECT_EQ(engines.watched.sentTypes.count(MessageType::fileBundle), 2 + 1 + 2);
            // Only the large file completes on its own (again after its resent chunk).
            EXPECT_EQ(engines.watched.sentTypes.count(MessageType::fileComplete), 2);
            EXPECT_GT(engines.watched.mostOutstanding, 2) << "requests were kept in flight";
        } else if (announced) {
            EXPECT_GT(engines.watched.mostOutstanding, 10) << "requests were kept in flight";
        } else {
            EXPECT_EQ(engines.source.window(), (WindowLimits{1, 0}));
            EXPECT_EQ(engines.watched.mostOutstanding, 1);
            EXPECT_EQ(engines.watched.sendsWhileWaiting, 0);
        }
        EXPECT_EQ(engines.watched.misnumbered, 0);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/f150"_s, 0), 2);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/large.bin"_s, 1), 2);
        EXPECT_EQ(engines.watched.sendsOf(u"~/d/large.bin"_s, 2), 1) << "later chunks are not sent again";
        EXPECT_EQ(engines.watched.sendsOf(u"~/doomed"_s, 0), 3);

        const TransferProgress& source = *engines.source.progress();
        ASSERT_TRUE(source.isComplete()) << source.error().value_or(QString()).toStdString();
        ASSERT_EQ(source.fileErrors().size(), 1);
        EXPECT_EQ(source.fileErrors().first().filePath + u": "_s + source.fileErrors().first().error,
                  u"~/doomed: Max retries exceeded"_s);
        EXPECT_EQ(source.bytesTransferred(), tree.manifest.totalSize - 3000) << "each acknowledged chunk once";
        EXPECT_TRUE(source.verificationMismatches().isEmpty());
        EXPECT_TRUE(engines.destination.progress()->isComplete());
        for (auto it = tree.contents.cbegin(); it != tree.contents.cend(); ++it)
            EXPECT_EQ(QFile::exists(to + u'/' + it.key()) ? readBytes(to + u'/' + it.key()) : QByteArray("<none>"),
                      it.key() == u"doomed"_s ? QByteArray("<none>") : it.value())
                << it.key().toStdString();
        EXPECT_TRUE(QDir(TransferEngine::transfersDirectory(to)).entryList(QDir::Files).isEmpty())
            << "the checkpoint goes with the finished transfer";
    }
}
