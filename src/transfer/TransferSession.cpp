// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferSession.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/SocketActivity.h"
#include "transfer/TransferError.h"
#include "transfer/WireFormat.h"

#include <algorithm>

namespace kivo {

TransferSession::TransferSession(QSslSocket* socket, Security security, std::function<void(QSslSocket&)> start,
                                 QObject* parent)
    : QObject(parent), m_socket(socket), m_security(security), m_start(std::move(start))
{
    socket->setParent(this);
    QObject::connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A peer closing the stream is not a failure of its own; reads report it as connectionLost.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        if (!m_failed) {
            m_failed = true;
            m_failure = m_socket ? m_socket->errorString() : QStringLiteral("Socket error");
        }
        setConnected(false);
    });
    QObject::connect(socket, &QAbstractSocket::disconnected, this, [this] { setConnected(false); });
}

TransferSession::~TransferSession()
{
    if (m_socket) {
        // Waiting coroutines resume inside socket signals; none may run into this half-destroyed session.
        m_socket->blockSignals(true);
        m_socket->abort();
    }
}

bool TransferSession::isReady() const
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return m_security == Security::plain || m_socket->isEncrypted();
}

void TransferSession::setConnected(bool connected)
{
    if (m_connected == connected)
        return;
    m_connected = connected;
    Q_EMIT connectedChanged(connected);
}

void TransferSession::throwSocketFailure() const
{
    throw SystemError(m_failure.isEmpty() ? QStringLiteral("Connection failed") : m_failure);
}

QCoro::Task<void> TransferSession::connect()
{
    if (!isReady() && m_start && m_socket) {
        auto start = std::exchange(m_start, nullptr);
        start(*m_socket);
    }
    for (;;) {
        if (m_closedLocally || !m_socket)
            throw TransferError::connectionCancelled();
        if (m_failed)
            throwSocketFailure();
        if (isReady()) {
            // One request in flight at a time: Nagle would hold each reply's tail for the peer's delayed ACK.
            m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            // Unbounded, a busy receiver would take in all the kernel holds at
            // once (megabytes, twice: encrypted and plain); a few frames will do.
            m_socket->setReadBufferSize(2 * 1024 * 1024);
            setConnected(true);
            co_return;
        }
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            throw SystemError(QStringLiteral("Connection closed before it was ready"));
        co_await SocketActivity(m_socket.data());
    }
}

QCoro::Task<void> TransferSession::sendRaw(QByteArray frame)
{
    co_await sendFrame(std::move(frame), std::nullopt);
}

void TransferSession::writeFrame(const QByteArray& head, const std::optional<QByteArray>& payload)
{
    if (!m_socket || m_closedLocally)
        throw TransferError::connectionCancelled();
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        throw TransferError::connectionLost();
    // Head and payload go in separately: joining them first would copy every chunk once more.
    for (const QByteArray* part : {&head, payload ? &*payload : nullptr}) {
        if (part && m_socket->write(*part) != part->size()) {
            if (m_failed)
                throwSocketFailure();
            throw TransferError::connectionLost();
        }
    }
}

QCoro::Task<void> TransferSession::drainTo(qint64 limit)
{
    // Encrypted bytes the system has not taken yet wait in a buffer of their
    // own; while a slow reader lets it grow, a large message would pile up
    // there whole, so it is held to a few pieces as well.
    constexpr qint64 kEncryptedBacklog = 4 * 1024 * 1024;
    const auto backlogged = [&] {
        return m_socket->bytesToWrite() > limit || m_socket->encryptedBytesToWrite() > std::max(limit, kEncryptedBacklog);
    };
    // Hand the bytes to the system now: waiting for the queued flush and the
    // bytesWritten wake-up costs several event-loop turns per message.
    if (m_socket && m_socket->bytesToWrite() > limit)
        m_socket->flush();
    while (m_socket && backlogged()) {
        if (m_failed)
            throwSocketFailure();
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            throw TransferError::connectionLost();
        co_await SocketActivity(m_socket.data());
    }
    if (!m_socket)
        throw TransferError::connectionCancelled();
}

QCoro::Task<void> TransferSession::sendFrame(QByteArray head, std::optional<QByteArray> payload)
{
    // A large payload (a manifest of many files) goes in pieces, each handed to
    // the system before the next is written: the socket's buffers, plain and
    // encrypted, never hold a copy of the whole of it.
    constexpr qsizetype kPiece = 1024 * 1024;
    if (payload && payload->size() > 4 * kPiece) {
        writeFrame(head, std::nullopt);
        for (qsizetype at = 0; at < payload->size(); at += kPiece) {
            writeFrame(payload->mid(at, kPiece), std::nullopt);
            co_await drainTo(kPiece);
        }
        payload.reset();
        co_await drainTo(0);
        co_return;
    }
    writeFrame(head, payload);
    head = QByteArray(); // the socket holds its own copy
    payload.reset();
    co_await drainTo(0);
}

QCoro::Task<void> TransferSession::queueMessage(MessageHeader header, std::optional<QByteArray> payload)
{
    // Queued frames may gather up to this much before the sender waits for the system to take them.
    constexpr qint64 kMaxQueued = 2 * 1024 * 1024;
    writeFrame(WireFormat::encodeHead(header), payload);
    payload.reset();
    if (m_socket->bytesToWrite() > kMaxQueued)
        co_await drainTo(kMaxQueued / 2);
}

QCoro::Task<void> TransferSession::sendMessageFrom(MessageHeader header, QIODevice* payload)
{
    constexpr qint64 kPiece = 1024 * 1024;
    const qint64 total = header.payloadSize.value_or(0);
    writeFrame(WireFormat::encodeHead(header), std::nullopt);
    for (qint64 sent = 0; sent < total;) {
        const QByteArray piece = payload->read(std::min(kPiece, total - sent));
        // Half a frame is out: the connection cannot carry anything further.
        if (piece.isEmpty()) {
            close();
            throw SystemError(QStringLiteral("A message's payload ended before its announced size"));
        }
        writeFrame(piece, std::nullopt);
        sent += piece.size();
        co_await drainTo(kPiece);
    }
    co_await drainTo(0);
}

QCoro::Task<void> TransferSession::sendMessage(MessageHeader header, std::optional<QByteArray> payload)
{
    co_await sendFrame(WireFormat::encodeHead(header), std::move(payload));
}

QCoro::Task<Message> TransferSession::receiveMessage()
{
    struct Receiving {
        bool& flag;
        explicit Receiving(bool& f) : flag(f) { flag = true; }
        ~Receiving() { flag = false; }
    } receiving(m_receiving);
    const bool timed = m_idleLimit.count() > 0;
    if (timed) {
        m_waitingSince = m_clock->monotonic();
        m_payloadAllowance = std::chrono::milliseconds(0);
        if (!m_watchdog)
            armWatchdog(m_idleLimit);
    }
    FrameDecoder decoder;
    for (;;) {
        if (m_idleExpired)
            throw TransferError::connectionLost();
        if (!m_socket || m_closedLocally)
            throw TransferError::connectionCancelled();
        const qint64 available = m_socket->bytesAvailable();
        if (available > 0) {
            decoder.readFrom(*m_socket, available);
            m_payloadAllowance = payloadAllowance(decoder.announcedPayloadSize());
            if (decoder.hasMessage())
                co_return decoder.take();
            continue;
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            if (m_failed && decoder.atFrameStart())
                throwSocketFailure();
            decoder.endOfStream();
        }
        // Everything queued goes out before we wait: the peer may be waiting for it.
        // Flushing a TLS socket also takes in what arrived, announcing it right
        // away, before anyone listens: look again before waiting.
        if (m_socket->bytesToWrite() > 0) {
            m_socket->flush();
            if (m_socket->bytesAvailable() > 0 || m_socket->state() != QAbstractSocket::ConnectedState)
                continue;
        }
        co_await SocketActivity(m_socket.data());
    }
}

void TransferSession::setIdleDeadline(std::shared_ptr<Clock> clock, std::chrono::milliseconds limit)
{
    m_clock = std::move(clock);
    m_idleLimit = m_clock ? limit : std::chrono::milliseconds(0);
    m_watchdog.reset();
    if (m_receiving && m_idleLimit.count() > 0) {
        m_waitingSince = m_clock->monotonic();
        armWatchdog(m_idleLimit + m_payloadAllowance);
    }
}

std::chrono::milliseconds TransferSession::payloadAllowance(std::uint64_t bytes)
{
    return std::chrono::milliseconds(bytes * 1000 / kSlowestPeerBytesPerSecond);
}

void TransferSession::armWatchdog(std::chrono::nanoseconds in)
{
    // The firing timer may be the one replaced: let it finish before it goes.
    if (m_watchdog)
        m_watchdog.release()->deleteLater();
    m_watchdog = m_clock->schedule(std::chrono::ceil<std::chrono::milliseconds>(in), [this] { checkIdle(); });
}

void TransferSession::checkIdle()
{
    if (!m_receiving || m_idleLimit.count() <= 0) {
        // The next receive arms a fresh one.
        if (m_watchdog)
            m_watchdog.release()->deleteLater();
        return;
    }
    const std::chrono::nanoseconds waited = m_clock->monotonic() - m_waitingSince;
    const std::chrono::nanoseconds allowed = m_idleLimit + m_payloadAllowance;
    if (waited < allowed) {
        armWatchdog(allowed - waited);
        return;
    }
    qCWarning(lcTransferEngine, "No whole message from the peer in %lld s; dropping the connection",
              qlonglong(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    m_idleExpired = true;
    if (m_watchdog)
        m_watchdog.release()->deleteLater();
    setConnected(false);
    // Wakes the waiting receive, which reports the connection lost; the engine
    // may finish inside this call, so nothing of ours is touched after it.
    if (m_socket)
        m_socket->abort();
}

void TransferSession::close()
{
    m_closedLocally = true;
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->disconnectFromHost();
    setConnected(false);
}

} // namespace kivo
