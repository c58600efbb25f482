// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/TransferConnection.h"

#include <QObject>
#include <QPointer>
#include <QSslSocket>

#include <functional>
#include <memory>

namespace kivo {

// Turns one stream connection into a channel of framed messages. The socket is
// owned by the session; `start` begins connecting it (connectToHostEncrypted on
// the dialling side, startServerEncryption on the accepting side) and may be
// empty for a socket that is already up.
class TransferSession : public QObject, public TransferConnection {
    Q_OBJECT
public:
    enum class Security { tls, plain };

    TransferSession(QSslSocket* socket, Security security, std::function<void(QSslSocket&)> start,
                    QObject* parent = nullptr);
    ~TransferSession() override;

    // Waits for the first decisive state: ready returns, failure throws the
    // network error, a close before that throws connectionCancelled. Later
    // state changes never reach the caller again.
    QCoro::Task<void> connect();

    bool isConnected() const override { return m_connected; }
    QCoro::Task<void> sendMessage(MessageHeader header, std::optional<QByteArray> payload) override;
    QCoro::Task<Message> receiveMessage() override;
    QCoro::Task<void> queueMessage(MessageHeader header, std::optional<QByteArray> payload) override;
    QCoro::Task<void> sendMessageFrom(MessageHeader header, QIODevice* payload) override;
    void close() override;
    // Each message must arrive whole within `limit` of the wait for it, plus
    // time for its announced payload at kSlowestPeerBytesPerSecond: bytes that
    // trickle in do not restart it. Zero turns it off.
    void setIdleDeadline(std::shared_ptr<Clock> clock, std::chrono::milliseconds limit) override;
    static constexpr std::uint64_t kSlowestPeerBytesPerSecond = 64 * 1024;
    // The extra time a payload of `bytes` is given.
    static std::chrono::milliseconds payloadAllowance(std::uint64_t bytes);

    // Sends one complete frame and returns once the socket has handed it to the system.
    QCoro::Task<void> sendRaw(QByteArray frame);

    QSslSocket* socket() const { return m_socket.data(); }

Q_SIGNALS:
    void connectedChanged(bool connected);

private:
    QCoro::Task<void> sendFrame(QByteArray head, std::optional<QByteArray> payload);
    void writeFrame(const QByteArray& head, const std::optional<QByteArray>& payload);
    // Waits until no more than `limit` bytes wait in the socket.
    QCoro::Task<void> drainTo(qint64 limit);
    bool isReady() const;
    void setConnected(bool connected);
    [[noreturn]] void throwSocketFailure() const;
    void armWatchdog(std::chrono::nanoseconds in);
    void checkIdle();

    QPointer<QSslSocket> m_socket;
    Security m_security;
    std::function<void(QSslSocket&)> m_start;
    bool m_connected = false;
    bool m_closedLocally = false;
    bool m_failed = false;
    QString m_failure;

    // The message deadline: one timer per wait, not per byte.
    std::shared_ptr<Clock> m_clock;
    std::chrono::milliseconds m_idleLimit{0};
    std::chrono::nanoseconds m_waitingSince{0};
    std::chrono::milliseconds m_payloadAllowance{0};
    bool m_receiving = false;
    bool m_idleExpired = false;
    std::unique_ptr<QObject> m_watchdog;
};

} // namespace kivo
