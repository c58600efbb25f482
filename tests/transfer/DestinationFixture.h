// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "support/CoroTest.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/FileHashScheme.h"
#include "transfer/ResumeState.h"
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
    QString at(const QString& relativePath) const { return home() + relativePath.mid(1); }

    TransferManifest::FileItem& addItem(const QString& relativePath, const QByteArray& content,
                                        const QString& category = QStringLiteral("userFiles"))
    {
        contents.append(content);
        return add(manifest, fileItem(relativePath, QStringLiteral("/Users/old") + relativePath.mid(1), content.size(), category));
    }
    // The file's hash as the source computes it in `scheme`.
    QString hashOf(const QByteArray& content) const
    {
        if (scheme == FileHashScheme::wholeFile)
            return FileHasher::sha256Hex(content);
        ChunkDigestHash hash(std::uint64_t(content.size()));
        for (qsizetype at = 0; at < content.size(); at += FileHasher::kChunkSize)
            hash.addHex(FileHasher::sha256Hex(content.mid(at, FileHasher::kChunkSize)));
        return hash.finishHex();
    }
    // The manifest, offering chunk digests when that is the scheme (as a source of ours does).
    void pushManifest()
    {
        MessageHeader h = header(MessageType::manifest);
        h.manifestData = manifest.encoded();
        if (scheme == FileHashScheme::chunkDigests)
            h.fileHashScheme = toString(scheme);
        peer.push(h);
    }
    void pushChunk(const QString& path, std::uint32_t index, const QByteArray& bytes, std::optional<QString> hash = std::nullopt)
    {
        MessageHeader h = header(MessageType::chunkData, path, index);
        h.chunkHash = hash.value_or(FileHasher::sha256Hex(bytes));
        peer.push(h, bytes);
    }
    void pushComplete(const QString& path, std::optional<QString> hash)
    {
        MessageHeader h = header(MessageType::fileComplete, path);
        h.chunkHash = std::move(hash);
        peer.push(h);
    }
    // Each item of the category not finished by `resume`, from the chunk after its
    // last acknowledged one, each followed by its fileComplete.
    void pushCategory(const QString& id, const std::optional<ResumeState>& resume = std::nullopt)
    {
        peer.push(header(MessageType::categoryStart, id));
        for (qsizetype i = 0; i < manifest.items.size(); ++i) {
            const auto& item = manifest.items[i];
            if (item.categoryID != id || (resume && resume->isCompleted(item.relativePath)))
                continue;
            qsizetype first = 0;
            if (resume && resume->inProgressFile && resume->inProgressFile->relativePath == item.relativePath)
                first = resume->inProgressFile->lastAcknowledgedChunk + 1;
            for (qsizetype c = first; c * FileHasher::kChunkSize < contents[i].size(); ++c)
                pushChunk(item.relativePath, std::uint32_t(c), contents[i].mid(c * FileHasher::kChunkSize, FileHasher::kChunkSize));
            pushComplete(item.relativePath, hashOf(contents[i]));
        }
        peer.push(header(MessageType::categoryComplete, id));
    }
    void pushEnd()
    {
        peer.push(header(MessageType::verificationRequest));
        peer.push(header(MessageType::transferComplete));
    }
    // What a source honouring the checkpoint sends after the manifest, up to the end.
    void pushRest(const std::optional<ResumeState>& resume = std::nullopt)
    {
        for (const QString& category : manifest.categoryOrder)
            pushCategory(category, resume);
        pushEnd();
    }
    DestinationTransfer& engine()
    {
        if (!m_engine)
            m_engine = std::make_unique<DestinationTransfer>(&peer, QStringLiteral("ignored"), home());
        return *m_engine;
    }
    TransferProgress* progress() { return engine().progress(); }
    void receive() { runTask(engine().run()); }
    // A second run of the same transfer over a fresh connection, as after a restart.
    void restart()
    {
        m_engine.reset();
        peer.sent.clear();
        peer.inbox.clear();
        peer.onSend = nullptr;
        peer.connected = true;
    }
    // A new transfer into an empty home.
    void reset()
    {
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
        restart();
        manifest = manifestFor(QStringLiteral("T-1"));
        contents.clear();
    }
    // A run whose source resumes from whatever the manifestAck carries.
    void resumeRun(const std::function<void(DestinationTransfer&)>& setUp = {})
    {
        restart();
        if (setUp)
            setUp(engine());
        pushManifest();
        peer.onSend = [this](const Message& m) {
            if (m.header.type == MessageType::manifestAck)
                pushRest(m.header.resumeState ? std::optional(ResumeState::decode(*m.header.resumeState)) : std::nullopt);
        };
        receive();
    }
    QList<Message> repliesTo(const QString& path) const
    {
        QList<Message> out;
        for (const Message& m : peer.sent)
            if ((m.header.type == MessageType::chunkAck || m.header.type == MessageType::chunkNack) && m.header.filePath == path)
                out.append(m);
        return out;
    }
    // Every hash the verification answers gave, in order.
    QList<FileVerification> verified() const
    {
        QList<FileVerification> out;
        for (const Message& m : peer.sentOfType(MessageType::verificationResponse))
            out += m.header.fileHashes.value_or(QList<FileVerification>{});
        return out;
    }
    // Paths whose reported hash differs from what was sent (missing ones report an empty hash).
    QStringList mismatches() const
    {
        QStringList out;
        for (const FileVerification& v : verified())
            for (qsizetype i = 0; i < manifest.items.size(); ++i)
                if (manifest.items[i].relativePath == v.filePath && hashOf(contents[i]) != v.sha256Hash)
                    out.append(v.filePath);
        out.sort();
        return out;
    }
    QStringList failedPaths() { return errorsOf(*progress(), false); }

    QTemporaryDir dir;
    TransferManifest manifest = manifestFor(QStringLiteral("T-1"));
    QList<QByteArray> contents;
    FileHashScheme scheme = FileHashScheme::wholeFile;
    ScriptedConnection peer;
    std::unique_ptr<DestinationTransfer> m_engine;
};

} // namespace kivo::test
