// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "support/CoroTest.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/TransferSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace kivo::test {

// A destination engine over a scripted source, receiving into a temporary home.
class DestinationFixture : public ::testing::Test {
public:
    DestinationFixture() { QDir().mkpath(home()); }

    QString home() const { return dir.filePath(QStringLiteral("home")); }
    QString transfers() const { return TransferEngine::transfersDirectory(home()); }

    TransferManifest::FileItem& addItem(const QString& relativePath, const QByteArray& content,
                                        const QString& category = QStringLiteral("userFiles"))
    {
        contents.append(content);
        return add(manifest, fileItem(relativePath, QStringLiteral("/Users/old") + relativePath.mid(1), content.size(), category));
    }
    void pushManifest()
    {
        MessageHeader h = header(MessageType::manifest);
        h.manifestData = manifest.encoded();
        peer.push(h);
    }
    void pushChunk(const QString& path, std::uint32_t index, const QByteArray& bytes, std::optional<QString> hash = std::nullopt)
    {
        MessageHeader h = header(MessageType::chunkData, path, index);
        h.chunkHash = hash.value_or(FileHasher::sha256Hex(bytes));
        peer.push(h, bytes);
    }
    // Every chunk of each item in the category, each followed by its fileComplete.
    void pushCategory(const QString& id)
    {
        peer.push(header(MessageType::categoryStart, id));
        for (qsizetype i = 0; i < manifest.items.size(); ++i) {
            if (manifest.items[i].categoryID != id)
                continue;
            const QByteArray& data = contents[i];
            for (qsizetype offset = 0, c = 0; offset < data.size(); offset += 1048576, ++c)
                pushChunk(manifest.items[i].relativePath, std::uint32_t(c), data.mid(offset, 1048576));
            MessageHeader done = header(MessageType::fileComplete, manifest.items[i].relativePath);
            done.chunkHash = FileHasher::sha256Hex(data);
            peer.push(done);
        }
        peer.push(header(MessageType::categoryComplete, id));
    }
    DestinationTransfer& engine()
    {
        if (!m_engine)
            m_engine = std::make_unique<DestinationTransfer>(&peer, QStringLiteral("ignored"), home());
        return *m_engine;
    }
    TransferProgress* progress() { return engine().progress(); }
    void receive() { runTask(engine().run()); }
    QList<Message> repliesTo(const QString& path) const
    {
        QList<Message> out;
        for (const Message& m : peer.sent)
            if ((m.header.type == MessageType::chunkAck || m.header.type == MessageType::chunkNack) && m.header.filePath == path)
                out.append(m);
        return out;
    }
    QTemporaryDir dir;
    TransferManifest manifest = manifestFor(QStringLiteral("T-1"));
    QList<QByteArray> contents;
    ScriptedConnection peer;
    std::unique_ptr<DestinationTransfer> m_engine;
};

} // namespace kivo::test
