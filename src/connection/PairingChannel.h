// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MessageHeader.h"
#include "transfer/TransferConnection.h"

#include <QCoroTask>
#include <QJsonObject>

namespace kivo {

class TransferSession;

// The messages of the code-proving exchange, read and written before the peer
// has proved anything. Reading is bounded: a stranger cannot make us buffer
// more than a small header and payload, whatever its length fields claim.
namespace pairingchannel {

constexpr std::uint32_t kMaxHeaderBytes = 4096;
constexpr std::uint32_t kMaxPayloadBytes = 512;

// One frame. Throws TransferError (closed, too large) or DecodingError.
QCoro::Task<Message> receive(TransferSession* session);
// One frame whose payload is `body`'s compact JSON (none when empty).
QCoro::Task<void> send(TransferSession* session, MessageType type, QJsonObject body = {});
// An `error` frame with a reason the peer shows its user.
QCoro::Task<void> sendError(TransferSession* session, QString code, QString text);
// The payload as a JSON object. Throws DecodingError.
QJsonObject payloadObject(const Message& message);

} // namespace pairingchannel
} // namespace kivo
