// SPDX-License-Identifier: Apache-2.0
// The source's side of strangers connecting: several pairing attempts at once,
// each under its own deadlines, until one proves the code.
#include "connection/ConnectionManager.h"

#include "platform/Logging.h"

#include <QSslSocket>

namespace kivo {

namespace {

// An IPv4 peer on a dual-stack listener arrives mapped into IPv6; it is shown as people write it.
QString addressText(const QHostAddress& address)
{
    bool ipv4 = false;
    const quint32 mapped = address.toIPv4Address(&ipv4);
    return ipv4 ? QHostAddress(mapped).toString() : address.toString();
}

} // namespace

bool ConnectionManager::takeConnectionToken()
{
    const Timeouts& t = m_deps.timeouts;
    const auto now = m_clock.monotonic();
    const double refill = t.connectionRefill.count() > 0
        ? double(std::chrono::duration_cast<std::chrono::milliseconds>(now - m_tokensAt).count()) / double(t.connectionRefill.count())
        : double(t.connectionBurst);
    m_tokens = std::min(double(t.connectionBurst), m_tokens + refill);
    m_tokensAt = now;
    if (m_tokens < 1)
        return false;
    m_tokens -= 1;
    return true;
}

std::unique_ptr<QObject> ConnectionManager::deadlineFor(TransferSession* session, std::chrono::milliseconds after,
                                                        std::shared_ptr<bool> fired)
{
    QPointer<TransferSession> guard(session);
    return m_clock.schedule(after, [guard, fired] {
        if (guard) {
            qCWarning(lcConnectionManager) << "Peer missed its deadline; closing the connection";
            if (fired)
                *fired = true;
            guard->close();
        }
    });
}

void ConnectionManager::handleIncomingConnection(QSslSocket* socket)
{
    QList<AttemptStage> stages;
    for (const Attempt& a : std::as_const(m_attempts))
        stages.append(a.stage);
    const PairingSlots::Decision decision = m_session ? PairingSlots::Decision{} : PairingSlots::decide(stages);
    if (!decision.admit) {
        qCWarning(lcConnectionManager).noquote() << "Refused incoming connection:"
                                                 << (m_session ? "a peer is paired" : "every pairing slot is proving a code");
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (decision.evict)
        dropAttempt(m_attempts[*decision.evict].session, QStringLiteral("made room for a newer connection"));
    m_certificates->prepareSocket(socket);
    auto* session = new TransferSession(socket, TransferSession::Security::tls,
                                        [](QSslSocket& s) { s.startServerEncryption(); }, this);
    m_attempts.append(Attempt{session, AttemptStage::handshaking, QSslCertificate()});
    acceptIncoming(session);
}

QCoro::Task<void> ConnectionManager::acceptIncoming(TransferSession* session)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    QString failure;
    auto deadline = deadlineFor(session, m_deps.timeouts.handshake);
    try {
        co_await session->connect();
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    deadline.reset();
    // Dropped meanwhile (room for another, a fresh code, disconnect): not a failure of its own.
    if (!self || !guard || !isAttempt(session))
        co_return;
    // The pairing is bound to this handshake's certificate and no other; a
    // peer that showed none has nothing to bind to.
    const QSslCertificate peer = session->socket() ? session->socket()->peerCertificate() : QSslCertificate();
    if (failure.isEmpty() && peer.isNull())
        failure = QStringLiteral("the peer presented no certificate");
    if (!failure.isEmpty()) {
        qCWarning(lcConnectionManager).noquote() << "Failed to accept incoming connection:" << failure;
        dropAttempt(session, failure);
        // The listener stays up, so the destination can try again.
        if (!m_session)
            setState(ConnectionState::failed(ConnectionError::tlsHandshakeFailed()));
        co_return;
    }
    for (Attempt& a : m_attempts) {
        if (a.session == session)
            a.peer = peer;
    }
    setStage(session, AttemptStage::awaitingShare);
    qCInfo(lcConnectionManager) << "Incoming connection established";
    Q_EMIT destinationConnected();
    co_await runSourcePairing(session);
}

bool ConnectionManager::isAttempt(const TransferSession* session) const
{
    return session && std::any_of(m_attempts.cbegin(), m_attempts.cend(), [session](const Attempt& a) {
               return a.session == session;
           });
}

void ConnectionManager::setStage(const TransferSession* session, AttemptStage stage)
{
    for (Attempt& a : m_attempts) {
        if (a.session == session)
            a.stage = stage;
    }
    refreshPeerReady();
}

QSslCertificate ConnectionManager::peerCertificateOf(const TransferSession* session) const
{
    for (const Attempt& a : m_attempts) {
        if (a.session == session)
            return a.peer;
    }
    return QSslCertificate();
}

void ConnectionManager::dropAttempt(TransferSession* session, const QString& reason)
{
    const auto it = std::find_if(m_attempts.begin(), m_attempts.end(), [session](const Attempt& a) {
        return a.session == session;
    });
    if (it == m_attempts.end())
        return;
    qCWarning(lcConnectionManager).noquote() << "Dropping a pairing attempt:" << reason;
    m_attempts.erase(it);
    if (session) {
        session->setParent(nullptr);
        SessionDeleter{}(session);
    }
    refreshPeerReady();
}

void ConnectionManager::dropAllAttempts()
{
    for (const Attempt& a : std::exchange(m_attempts, {})) {
        if (a.session) {
            a.session->setParent(nullptr);
            SessionDeleter{}(a.session.data());
        }
    }
    refreshPeerReady();
}

void ConnectionManager::winAttempt(TransferSession* session)
{
    const QSslCertificate peer = peerCertificateOf(session);
    m_attempts.erase(std::remove_if(m_attempts.begin(), m_attempts.end(),
                                    [session](const Attempt& a) { return a.session == session; }),
                     m_attempts.end());
    dropAllAttempts();
    session->setParent(nullptr);
    // What the connection itself tells of the peer: the address a destination that gives no
    // name is shown by, and the link it came over (none on loopback).
    m_destinationIdentity.reset();
    if (const QSslSocket* socket = session->socket()) {
        m_peerAddress = addressText(socket->peerAddress());
        setActiveTransport(transportOfLocalAddress(socket->localAddress()));
    }
    setSession(std::unique_ptr<TransferSession>(session));
    m_certificates->pinRemoteCertificate(peer);
    refreshPeerReady();
}

void ConnectionManager::refreshPeerReady()
{
    // A destination is at work on the code, or has proved it.
    const bool proving = std::any_of(m_attempts.cbegin(), m_attempts.cend(), [](const Attempt& a) {
        return a.stage == AttemptStage::proving;
    });
    setIncomingPeerReady(m_session != nullptr || proving);
}

} // namespace kivo
