#pragma once

#include "transfer/MessageHeader.h"

#include <QCoroTask>
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
    virtual void close() = 0;
};

} // namespace kivo
