// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QHash>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace kivo::test {

// The source's side of a real connection: keeps every header each way, counts
// what the tests ask about, and spoils chosen chunk sends on their way out.
class WatchedConnection : public TransferConnection {
public:
    explicit WatchedConnection(TransferConnection* inner) : m_inner(inner) {}
    bool isConnected() const override { return m_inner->isConnected(); }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        watch(header, payload);
        if (beforeSending)
            beforeSending(header);
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
        outstanding -= 1;
        co_return m;
    }
    void close() override { m_inner->close(); }

    // Spoils the sends of (path, chunk) numbered in `attempts` (0: the first); a file
    // inside a bundle counts as its chunk 0. With fitHash the chunk's own hash is made
    // to fit the spoiled bytes, so that only the file's hash can catch it.
    void spoil(const QString& path, std::uint32_t chunk, QList<int> attempts, bool fitHash = false)
    {
        m_spoil[key(path, chunk)] = {attempts, fitHash};
    }
    int sendsOf(const QString& path, std::uint32_t chunk) const { return m_sends.value(key(path, chunk)); }
    qsizetype count(MessageType type) const
    {
        return std::count_if(sent.cbegin(), sent.cend(), [&](const MessageHeader& h) { return h.type == type; });
    }
    static QStringList encoded(const QList<MessageHeader>& headers)
    {
        QStringList out;
        for (const MessageHeader& h : headers)
            if (h.type != MessageType::manifest) // it carries the offers
                out.append(QString::fromUtf8(h.encoded()));
        return out;
    }

    std::function<void(const MessageHeader&)> beforeSending;
    QList<MessageHeader> sent, received;
    QHash<QString, int> bundled; // how often each file went out inside a bundle
    std::uint64_t chunkBytes = 0; // file bytes sent, holes counted
    int links = 0;
    int misnumbered = 0; // messages not numbered one after the other from 1
    int outstanding = 0, mostOutstanding = 0;
    int sendsWhileWaiting = 0; // sends made while a reply was still due

private:
    static QString key(const QString& path, std::uint32_t chunk) { return path + u'#' + QString::number(chunk); }
    static bool isRequest(MessageType type)
    {
        return type == MessageType::manifest || type == MessageType::chunkData || type == MessageType::fileComplete
            || type == MessageType::fileBundle || type == MessageType::verificationRequest;
    }
    void watch(MessageHeader& header, std::optional<QByteArray>& payload)
    {
        misnumbered += header.sequenceNumber != std::uint64_t(sent.size() + 1);
        sendsWhileWaiting += outstanding > 0;
        if (isRequest(header.type))
            mostOutstanding = std::max(mostOutstanding, ++outstanding);
        links += header.linkTarget.has_value();
        if (header.type == MessageType::chunkData) {
            chunkBytes += payload ? std::uint64_t(payload->size()) : header.holeSize.value_or(0);
            if (payload)
                spoilSend(header, key(*header.filePath, *header.chunkIndex), payload, 0, payload->size());
        }
        if (header.type == MessageType::fileBundle) {
            chunkBytes += payload ? std::uint64_t(payload->size()) : 0;
            qsizetype offset = 0;
            for (const FileVerification& f : header.fileHashes.value_or(QList<FileVerification>{})) {
                bundled[f.filePath] += 1;
                spoilSend(header, key(f.filePath, 0), payload, offset, qsizetype(f.size));
                offset += qsizetype(f.size);
            }
        }
        sent.append(header);
    }
    void spoilSend(MessageHeader& header, const QString& k, std::optional<QByteArray>& payload, qsizetype offset,
                   qsizetype size)
    {
        const int attempt = m_sends[k]++;
        const auto spoiled = m_spoil.value(k);
        if (!spoiled.first.contains(attempt) || !payload || size == 0)
            return;
        (*payload)[offset] = char((*payload)[offset] ^ 0x5a);
        if (spoiled.second)
            header.chunkHash = FileHasher::sha256Hex(*payload);
    }

    TransferConnection* m_inner;
    QHash<QString, std::pair<QList<int>, bool>> m_spoil;
    QHash<QString, int> m_sends;
};

// A source and a destination engine over a real socket on 127.0.0.1.
struct Engines {
    Engines(const QString& transferID, const QString& from, const QString& to,
            TransferSession::Security security = TransferSession::Security::tls)
        : pair(makeLoopbackPair(security)),
          watched(pair.client.get()),
          source(&watched, transferID, from),
          destination(pair.accepted.get(), QStringLiteral("unknown-yet"), to)
    {
    }
    void run(std::chrono::milliseconds deadline = std::chrono::seconds(60))
    {
        runTask([](Engines* self) -> QCoro::Task<void> {
            auto receiving = self->destination.run();
            co_await self->source.run();
            co_await std::move(receiving);
        }(this), deadline);
    }
    QString sourceError() const { return source.progress()->error().value_or(QString()); }

    LoopbackPair pair;
    WatchedConnection watched;
    SourceTransfer source;
    DestinationTransfer destination;
};

// Files written beneath `from` and listed, as userFiles, in one manifest; `to` is an empty home.
struct SourceTree {
    SourceTree(const QString& root, const QString& transferID)
        : from(root + QStringLiteral("/from")), to(root + QStringLiteral("/to")), manifest(manifestFor(transferID))
    {
        QDir().mkpath(from);
        QDir().mkpath(to);
    }
    TransferManifest::FileItem& add(const QString& relative, QByteArray bytes, const QString& wirePath = {})
    {
        writeBytes(from + u'/' + relative, bytes);
        contents.insert(relative, std::move(bytes));
        return list(relative, wirePath);
    }
    // Another name of a file already added.
    TransferManifest::FileItem& link(const QString& existing, const QString& relative)
    {
        QDir().mkpath(QFileInfo(from + u'/' + relative).path());
        if (::link(QFile::encodeName(from + u'/' + existing).constData(), QFile::encodeName(from + u'/' + relative).constData()) != 0)
            throw std::runtime_error("cannot link test file");
        contents.insert(relative, contents.value(existing));
        return list(relative, {});
    }
    TransferManifest::FileItem& list(const QString& relative, const QString& wirePath)
    {
        return kivo::test::add(manifest, fileItem(wirePath.isEmpty() ? QStringLiteral("~/") + relative : wirePath,
                                                  from + u'/' + relative, std::uint64_t(contents.value(relative).size())));
    }
    // Every file arrived beneath `home` as it was sent; those in `missing` never did.
    void expectArrived(const QString& home, const QStringList& missing = {}) const
    {
        for (auto it = contents.cbegin(); it != contents.cend(); ++it)
            EXPECT_EQ(readBytes(home + u'/' + it.key()), missing.contains(it.key()) ? QByteArray("<missing>") : it.value())
                << it.key().toStdString();
    }

    QString from, to;
    TransferManifest manifest;
    QHash<QString, QByteArray> contents;
};

// A tmpfs of `size` at `path`, unmounted when the guard goes; needs root.
inline auto mountSmallVolume(const QString& path, const char* size)
{
    QDir().mkpath(path);
    const QByteArray where = QFile::encodeName(path);
    const bool mounted = ::geteuid() == 0
                      && ::mount("tmpfs", where.constData(), "tmpfs", 0, (QByteArray("size=") + size).constData()) == 0;
    return std::pair(mounted, qScopeGuard([where, mounted] {
                         if (mounted)
                             ::umount2(where.constData(), MNT_DETACH);
                     }));
}

} // namespace kivo::test
