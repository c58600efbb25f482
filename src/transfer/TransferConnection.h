// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"
#include "transfer/MessageHeader.h"

#include <QCoroTask>
#include <QIODevice>

#include <chrono>
#include <memory>
#include <optional>

namespace kivo {

// The message channel the transfer engine talks through. One sender and one
// receiver at a time; frames never interleave.
class TransferConnection {
public:
    virtual ~TransferConnection() = default;
    virtual bool isConnected() const = 0;
    virtual QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) = 0;
    virtual QCoro::Task<Message> receiveMessage() = 0;
    // Sends without waiting for the bytes to leave: frames queued together go
    // out in one write when the receiver next waits, or once enough is queued.
    virtual QCoro::Task<void> queueMessage(MessageHeader header, std::optional<QByteArray> payload)
    {
        return sendMessage(std::move(header), std::move(payload));
    }
    // A message whose payload, `header.payloadSize` bytes, is read from `payload`
    // as it goes out, so that a large one is never held whole.
    virtual QCoro::Task<void> sendMessageFrom(MessageHeader header, QIODevice* payload)
    {
        QByteArray bytes = payload->read(header.payloadSize.value_or(0));
        return sendMessage(std::move(header), std::move(bytes));
    }
    virtual void close() = 0;
    // A receive that hears nothing from the peer for `limit` fails with
    // connectionLost and the connection is dropped; zero waits for ever.
    virtual void setIdleDeadline(std::shared_ptr<Clock> clock, std::chrono::milliseconds limit)
    {
        (void)clock;
        (void)limit;
    }
};

} // namespace kivo
