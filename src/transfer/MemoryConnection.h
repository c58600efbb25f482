// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/TransferConnection.h"

#include <memory>
#include <utility>

namespace kivo {

// Both ends of a connection inside one process, for two engines on one event
// loop. Every message is framed and decoded exactly as on the network, so the
// same header and payload limits hold, and each direction buffers at most
// `capacity` bytes plus the frame being written: a sender waits for room, as
// it waits for a socket to drain.
class MemoryConnection : public TransferConnection {
public:
    static constexpr qint64 kDefaultCapacity = 8 * 1024 * 1024;

    static std::pair<std::unique_ptr<MemoryConnection>, std::unique_ptr<MemoryConnection>>
    makePair(qint64 capacity = kDefaultCapacity);
    ~MemoryConnection() override;

    bool isConnected() const override;
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override;
    QCoro::Task<Message> receiveMessage() override;
    QCoro::Task<void> sendMessageFrom(MessageHeader header, QIODevice* payload) override;
    // The peer still receives what was sent before, then the end of the stream.
    void close() override;
    // As the network's: each message must arrive whole within `limit` of the
    // wait for it, plus time for its announced payload at the slowest peer's pace.
    void setIdleDeadline(std::shared_ptr<Clock> clock, std::chrono::milliseconds limit) override;

    // Bytes waiting to be received by this end.
    qint64 bufferedIn() const;

    class Pipe;

private:
    MemoryConnection(std::shared_ptr<Pipe> in, std::shared_ptr<Pipe> out);
    QCoro::Task<void> write(QByteArray piece);
    void checkIdle();
    void armWatchdog(std::chrono::nanoseconds in);

    std::shared_ptr<Pipe> m_in;
    std::shared_ptr<Pipe> m_out;
    bool m_closedLocally = false;
    bool m_idleExpired = false;

    std::shared_ptr<Clock> m_clock;
    std::chrono::milliseconds m_idleLimit{0};
    std::chrono::nanoseconds m_waitingSince{0};
    std::chrono::milliseconds m_payloadAllowance{0};
    bool m_receiving = false;
    std::unique_ptr<QObject> m_watchdog;
};

} // namespace kivo
