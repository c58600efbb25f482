#pragma once

#include "transfer/CategoryTransferHandler.h"
#include "transfer/FileHasher.h"
#include "transfer/TransferConnection.h"
#include "transfer/TransferError.h"

#include <QFile>
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

// A real connection whose outgoing messages are kept, headers only, for a look at the conversation.
class RecordingConnection : public TransferConnection {
public:
    explicit RecordingConnection(TransferConnection* inner) : m_inner(inner) {}
    bool isConnected() const override { return m_inner->isConnected(); }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override
    {
        sent.append(header);
        return m_inner->sendMessage(std::move(header), std::move(payload));
    }
    QCoro::Task<Message> receiveMessage() override { return m_inner->receiveMessage(); }
    void close() override { m_inner->close(); }

    QList<MessageHeader> sent;

private:
    TransferConnection* m_inner;
};

// Records what the engine asks of a category; failImport makes postImport throw.
class RecordingHandler : public CategoryTransferHandler {
public:
    explicit RecordingHandler(QString id, bool failImport = false) : m_id(std::move(id)), m_failImport(failImport) {}
    QString categoryID() const override { return m_id; }
    QCoro::Task<QList<Item>> enumerateFiles(QStringList) override { co_return {}; }
    QCoro::Task<QStringList> validateSourceAccess(QList<Item> items) override
    {
        ++validateCalls;
        validatedItems = items.size();
        co_return unreadable;
    }
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item>) override { co_return refusals; }
    QCoro::Task<void> postImport(QStringList received) override
    {
        imported = received;
        if (m_failImport)
            throw std::runtime_error("import failures are ignored");
        co_return;
    }

    QStringList unreadable;
    QList<Refusal> refusals;
    QStringList imported;
    int validateCalls = 0;
    qsizetype validatedItems = 0;

private:
    QString m_id;
    bool m_failImport;
};

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

inline QByteArray patterned(qsizetype size, int seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        out[i] = char((i * 31 + seed * 7) ^ (i >> 11));
    return out;
}

inline void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        throw std::runtime_error("cannot write test file");
    f.write(bytes);
}

inline QByteArray readBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

} // namespace kivo::test
