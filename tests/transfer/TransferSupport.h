// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "support/FileBytes.h"
#include "transfer/CategoryTransferHandler.h"
#include "transfer/FileHasher.h"
#include "transfer/TransferConnection.h"
#include "transfer/TransferError.h"
#include "transfer/TransferProgress.h"

#include <QHash>
#include <QList>

#include <deque>
#include <functional>

namespace kivo::test {

// An in-memory peer: records what the engine sends and hands it scripted replies.
class ScriptedConnection : public TransferConnection {
public:
    bool isConnected() const override { return connected; }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        Message m{std::move(header), std::move(payload), {}};
        sent.append(m);
        if (onSend)
            onSend(m);
        co_return;
    }
    QCoro::Task<Message> receiveMessage() override
    {
        if (inbox.empty()) {
            connected = false;
            throw TransferError::connectionLost();
        }
        Message m = std::move(inbox.front());
        inbox.pop_front();
        co_return m;
    }
    void close() override { connected = false; }

    void push(MessageHeader h, std::optional<QByteArray> payload = std::nullopt)
    {
        if (payload)
            h.payloadSize = std::uint32_t(payload->size());
        inbox.push_back({std::move(h), std::move(payload), {}});
    }
    QList<Message> sentOfType(MessageType type) const
    {
        QList<Message> out;
        for (const Message& m : sent)
            if (m.header.type == type)
                out.append(m);
        return out;
    }

    std::function<void(const Message&)> onSend;
    QList<Message> sent;
    std::deque<Message> inbox;
    bool connected = true;
};

// Records what the engine or the category manager asks of a category; lists `listed`,
// or fails to list with failListing; failImport makes postImport throw.
class RecordingHandler : public CategoryTransferHandler {
public:
    explicit RecordingHandler(QString id, bool failImport = false) : m_id(std::move(id)), m_failImport(failImport) {}
    QString categoryID() const override { return m_id; }
    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override
    {
        askedFor = paths;
        if (failListing)
            throw std::runtime_error("cannot list");
        co_return listed;
    }
    QCoro::Task<QStringList> validateSourceAccess(QList<Item>) override { co_return unreadable; }
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item>) override { co_return refusals; }
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList received) override
    {
        imported = received;
        if (m_failImport)
            throw std::runtime_error("cannot import");
        co_return ImportCounts{int(received.size()), 0, 0, {}, {}, {}};
    }

    QList<Item> listed;
    bool failListing = false;
    QStringList askedFor, unreadable, imported;
    QList<Refusal> refusals;

private:
    QString m_id;
    bool m_failImport;
};

inline TransferManifest::FileItem fileItem(QString relativePath, QString absolutePath, std::uint64_t size,
                                           QString category = QStringLiteral("userFiles"))
{
    TransferManifest::FileItem item;
    item.relativePath = std::move(relativePath);
    item.setAbsolutePath(std::move(absolutePath));
    item.size = size;
    item.categoryID = std::move(category);
    return item;
}

// Appends the item and keeps the manifest's total and category lists in step.
inline TransferManifest::FileItem& add(TransferManifest& manifest, TransferManifest::FileItem item)
{
    manifest.totalSize += item.size;
    if (!manifest.categoryOrder.contains(item.categoryID))
        manifest.categoryOrder.append(item.categoryID);
    manifest.categoryIDs = manifest.categoryOrder;
    return manifest.items.emplace_back(std::move(item));
}

// An empty manifest as the source "old-mac" announces it.
inline TransferManifest manifestFor(const QString& transferID)
{
    TransferManifest m;
    m.transferID = transferID;
    m.sourceHostname = QStringLiteral("old-mac");
    m.createdAt = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    return m;
}

inline MessageHeader header(MessageType type, std::optional<QString> path = std::nullopt,
                            std::optional<std::uint32_t> chunk = std::nullopt)
{
    MessageHeader h;
    h.type = type;
    h.transferID = QStringLiteral("T-1");
    h.filePath = std::move(path);
    h.chunkIndex = chunk;
    return h;
}

// The files a run gave up on, in the order it did: "path: reason", or the paths alone.
inline QStringList errorsOf(const TransferProgress& progress, bool withReasons = true)
{
    QStringList out;
    for (const FileError& e : progress.fileErrors())
        out.append(withReasons ? e.filePath + QStringLiteral(": ") + e.error : e.filePath);
    return out;
}

// A destination that acknowledges everything and verifies nothing; `reply` may answer
// a request first (or act on it and return nothing to let the usual answer go).
struct AckingDestination {
    ScriptedConnection connection;
    std::function<std::optional<MessageHeader>(const MessageHeader&)> reply;
    MessageHeader manifestAck = header(MessageType::manifestAck);

    AckingDestination() { connection.onSend = [this](const Message& m) { answer(m.header); }; }

    void answer(const MessageHeader& h)
    {
        std::optional<MessageHeader> r = reply ? reply(h) : std::nullopt;
        if (!r) {
            switch (h.type) {
            case MessageType::manifest: r = manifestAck; break;
            case MessageType::chunkData: r = header(MessageType::chunkAck, h.filePath, h.chunkIndex); break;
            case MessageType::fileComplete: r = header(MessageType::fileAck, h.filePath); break;
            case MessageType::verificationRequest:
                r = header(MessageType::verificationResponse);
                r->fileHashes = QList<FileVerification>{};
                break;
            default: return;
            }
        }
        connection.push(*r);
    }
};

} // namespace kivo::test
