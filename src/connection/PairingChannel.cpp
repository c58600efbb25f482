// SPDX-License-Identifier: Apache-2.0
#include "connection/PairingChannel.h"

#include "platform/Error.h"
#include "platform/Json.h"
#include "platform/SocketActivity.h"
#include "transfer/TransferError.h"
#include "transfer/TransferSession.h"
#include "transfer/WireFormat.h"

#include <QJsonDocument>
#include <QPointer>
#include <QtEndian>

namespace kivo::pairingchannel {

namespace {

// Exactly `count` bytes, waiting for the socket as needed.
QCoro::Task<QByteArray> readExact(QPointer<TransferSession> session, qint64 count)
{
    for (;;) {
        QSslSocket* socket = session ? session->socket() : nullptr;
        if (!socket)
            throw TransferError::connectionLost();
        // What arrived before the peer hung up is still read: its last words
        // are often the reason.
        if (socket->bytesAvailable() >= count)
            co_return socket->read(count);
        if (!session->isConnected() || socket->state() != QAbstractSocket::ConnectedState)
            throw TransferError::connectionLost();
        co_await SocketActivity(socket);
    }
}

} // namespace

QCoro::Task<Message> receive(TransferSession* session)
{
    QPointer<TransferSession> guard(session);
    const QByteArray prefix = co_await readExact(guard, 4);
    const quint32 headerLength = qFromBigEndian<quint32>(prefix.constData());
    if (headerLength < 1 || headerLength > kMaxHeaderBytes)
        throw TransferError::invalidMessage(QStringLiteral("Invalid header length: %1").arg(headerLength));
    const QByteArray headerBytes = co_await readExact(guard, headerLength);
    Message message;
    message.header = MessageHeader::fromJson(json::parseObject(headerBytes));
    const std::uint32_t payloadSize = message.header.payloadSize.value_or(0);
    if (payloadSize > kMaxPayloadBytes)
        throw TransferError::invalidMessage(QStringLiteral("Pairing message too large: %1").arg(payloadSize));
    if (payloadSize > 0)
        message.payload = co_await readExact(guard, payloadSize);
    co_return message;
}

QCoro::Task<void> send(TransferSession* session, MessageType type, QJsonObject body)
{
    MessageHeader header;
    header.type = type;
    header.sequenceNumber = 0;
    std::optional<QByteArray> payload;
    if (!body.isEmpty()) {
        payload = QJsonDocument(body).toJson(QJsonDocument::Compact);
        header.payloadSize = static_cast<std::uint32_t>(payload->size());
    }
    co_await session->sendRaw(WireFormat::encodeMessage(header, payload));
}

QCoro::Task<void> sendError(TransferSession* session, QString code, QString text)
{
    MessageHeader header;
    header.type = MessageType::error;
    header.sequenceNumber = 0;
    header.errorCode = std::move(code);
    header.errorMessage = std::move(text);
    co_await session->sendRaw(WireFormat::encodeMessage(header));
}

QJsonObject payloadObject(const Message& message)
{
    if (!message.payload)
        throw DecodingError(QStringLiteral("%1 without payload").arg(toString(message.header.type)));
    return json::parseObject(*message.payload);
}

} // namespace kivo::pairingchannel
