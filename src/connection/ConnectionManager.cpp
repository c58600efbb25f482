// SPDX-License-Identifier: Apache-2.0
#include "connection/ConnectionManager.h"

#include "connection/BonjourAdvertiser.h"
#include "platform/Logging.h"
#include "platform/Observable.h"
#include "transfer/WireFormat.h"

#include <QSslSocket>

namespace kivo {

namespace {
constexpr char kTcpUpProperty[] = "kivoTcpUp";
constexpr std::chrono::milliseconds kResolveTimeout = std::chrono::seconds(10);
} // namespace

std::chrono::milliseconds stepWait(std::chrono::milliseconds limit, std::chrono::nanoseconds now,
                                   std::optional<std::chrono::nanoseconds> giveUpAt)
{
    if (!giveUpAt)
        return limit;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*giveUpAt - now);
    return std::max(std::chrono::milliseconds(0), std::min(limit, left));
}

void ConnectionManager::SessionDeleter::operator()(TransferSession* session) const
{
    // Closing first wakes a coroutine that is suspended on the session, which
    // then sees the cancellation before the object goes away.
    session->close();
    session->deleteLater();
}

ConnectionManager::ConnectionManager(QObject* parent) : ConnectionManager(Dependencies{}, parent) {}

ConnectionManager::ConnectionManager(Dependencies dependencies, QObject* parent)
    : QObject(parent), m_deps(std::move(dependencies)), m_clock(m_deps.clock ? *m_deps.clock : *Clock::system()),
      m_pairing(new PairingManager(m_clock, this)), m_certificates(new CertificateManager(this)),
      m_thunderbolt(new ThunderboltDetector(m_deps.interfaceAddresses, m_clock, this)),
      m_tokens(m_deps.timeouts.connectionBurst), m_tokensAt(m_clock.monotonic())
{
    QObject::connect(m_thunderbolt, &ThunderboltDetector::peerDetected, this, [this](const ThunderboltPeer& peer) {
        if (m_state.kind == ConnectionState::Kind::discovering)
            setState(ConnectionState::thunderboltDetected(peer.peerIP));
    });
    QObject::connect(m_thunderbolt, &ThunderboltDetector::peerLost, this, [this](const ThunderboltPeer&) {
        const bool listed = std::any_of(m_discoveredPeers.begin(), m_discoveredPeers.end(), [](const DiscoveredPeer& p) {
            return p.transport == TransportType::thunderbolt;
        });
        if (m_state.kind == ConnectionState::Kind::thunderboltDetected && !listed)
            setState(ConnectionState::discovering());
    });
}

ConnectionManager::~ConnectionManager()
{
    m_thunderbolt->stopMonitoring();
    m_advertiser.reset();
}

QString ConnectionManager::uuidText(const QUuid& id)
{
    return id.toString(QUuid::WithoutBraces).toUpper();
}

quint16 ConnectionManager::listeningPort() const
{
    return m_advertiser ? m_advertiser->port() : 0;
}

// ---- observable fields -------------------------------------------------------

void ConnectionManager::setState(ConnectionState state)
{
    if (assignAndNotify(this, m_state, std::move(state), &ConnectionManager::stateChanged))
        qCDebug(lcConnectionManager).noquote() << "State:" << m_state.toString();
}

void ConnectionManager::setDiscoveredPeers(QList<DiscoveredPeer> peers)
{
    assignAndNotify(this, m_discoveredPeers, std::move(peers), &ConnectionManager::discoveredPeersChanged);
}

void ConnectionManager::setActiveTransport(std::optional<TransportType> transport)
{
    assignAndNotify(this, m_activeTransport, transport, &ConnectionManager::activeTransportChanged);
}

void ConnectionManager::setSessionID(std::optional<QUuid> id)
{
    assignAndNotify(this, m_sessionID, id, &ConnectionManager::sessionIDChanged);
}

void ConnectionManager::setIncomingPeerReady(bool ready)
{
    assignAndNotify(this, m_incomingPeerReady, ready, &ConnectionManager::incomingPeerReadyChanged);
}

void ConnectionManager::setDiscoveryFailure(std::optional<QString> reason)
{
    assignAndNotify(this, m_discoveryFailure, std::move(reason), &ConnectionManager::discoveryFailureChanged);
}

void ConnectionManager::setSession(std::unique_ptr<TransferSession> session)
{
    if (m_session.get() == session.get())
        return;
    m_session.reset(session.release());
    Q_EMIT transferSessionChanged();
}

QDateTime ConnectionManager::expiryOrDefault() const
{
    return m_pairing->expiresAt().value_or(m_clock.now().addSecs(PairingManager::kCodeLifetime.count()));
}

// ---- destination: discovery ----------------------------------------------------

void ConnectionManager::startDiscovery()
{
    setState(ConnectionState::discovering());
    if (m_browser)
        m_browser.release()->deleteLater();
    m_browser = m_deps.makeBrowser ? m_deps.makeBrowser() : std::make_unique<BonjourBrowser>();
    QPointer<ConnectionManager> self(this);
    PeerBrowser* browser = m_browser.get();
    m_browser->onPeersUpdated = [self, browser](QList<DiscoveredPeer> peers) {
        // A browser that was stopped may still deliver one queued list.
        if (self && self->m_browser.get() == browser)
            self->handlePeersUpdated(std::move(peers));
    };
    m_browser->onFailed = [self, browser](QString reason) {
        if (self && self->m_browser.get() == browser)
            self->setDiscoveryFailure(std::move(reason));
    };
    setDiscoveryFailure(std::nullopt);
    m_browser->start();
    m_thunderbolt->startMonitoring();
}

void ConnectionManager::handlePeersUpdated(QList<DiscoveredPeer> peers)
{
    setDiscoveredPeers(std::move(peers));
    for (const auto& p : m_discoveredPeers) {
        if (p.transport == TransportType::thunderbolt) {
            if (m_state.kind == ConnectionState::Kind::discovering)
                setState(ConnectionState::thunderboltDetected(p.hostname));
            break;
        }
    }
}

void ConnectionManager::stopDiscovery()
{
    // Deferred: this may run inside the browser's own callback.
    if (m_browser)
        m_browser.release()->deleteLater();
    m_thunderbolt->stopMonitoring();
    if (m_state.kind == ConnectionState::Kind::discovering || m_state.kind == ConnectionState::Kind::thunderboltDetected)
        setState(ConnectionState::idle());
}

// ---- source: advertising and the incoming connection ----------------------------

void ConnectionManager::startAdvertising(QString hostname, QString username, quint16 port)
{
    const quint16 portBefore = listeningPort();
    const auto session = m_pairing->generateSession();
    m_seenShares.clear();
    const QSslConfiguration tls = m_certificates->makeTLSParameters(true);
    setLocalNames(hostname, username);
    m_advertiser = std::make_unique<BonjourAdvertiser>(std::move(hostname), std::move(username));
    if (m_deps.listenAddress)
        m_advertiser->setListenAddress(*m_deps.listenAddress);
    QPointer<ConnectionManager> self(this);
    m_advertiser->onConnectionReceived = [self](QSslSocket* socket) {
        if (self)
            self->handleIncomingConnection(socket);
        else
            delete socket;
    };
    // Kept over each fresh code's advertisement until the daemon publishes one.
    m_advertiser->onFailed = [self](QString reason) {
        if (self)
            self->setDiscoveryFailure(std::move(reason));
    };
    QObject::connect(m_advertiser.get(), &BonjourAdvertiser::published, this, [this] { setDiscoveryFailure(std::nullopt); });
    // The code goes on the network only for peers that cannot pair securely,
    // and only when the user allowed those.
    m_advertiser->setAnnouncesSecurePairing(true);
    m_advertiser->setCodeInInstanceName(m_allowUnverified);
    m_advertiser->start(session.code, tls, port);
    if (listeningPort() != portBefore)
        Q_EMIT listeningPortChanged();
    setState(ConnectionState::pairingInitiated(session.code, expiryOrDefault()));
}

void ConnectionManager::setLocalNames(QString hostname, QString username)
{
    m_localHostname = std::move(hostname);
    m_localUsername = std::move(username);
}

void ConnectionManager::stopAdvertising()
{
    const quint16 portBefore = listeningPort();
    m_advertiser.reset();
    if (portBefore != 0)
        Q_EMIT listeningPortChanged();
    // Attempts at the old code end with it.
    dropAllAttempts();
    m_pairing->reset();
    m_unverified = false;
    m_destinationIdentity.reset();
    m_peerAddress.clear();
    setIncomingPeerReady(false);
    if (m_state.kind == ConnectionState::Kind::pairingInitiated)
        setState(ConnectionState::idle());
}


// ---- destination: connecting and confirming -----------------------------------

std::optional<TransportType> ConnectionManager::transportOfLocalAddress(const QHostAddress& local) const
{
    const QString name = interfaceHolding(local, m_deps.interfaceAddresses ? m_deps.interfaceAddresses()
                                                                          : netif::systemInterfaceAddresses());
    // An address no interface claims (it went away meanwhile) says nothing of the link.
    return name.isEmpty() ? std::nullopt : transportOfDevice(netif::netdevFacts(name));
}

QCoro::Task<PeerEndpoint> ConnectionManager::resolveEndpoint(PeerEndpoint endpoint)
{
    if (m_deps.resolve)
        return m_deps.resolve(std::move(endpoint));
    return BonjourBrowser::resolve(std::move(endpoint), waitOnSource(kResolveTimeout));
}

QCoro::Task<void> ConnectionManager::connectToPeer(DiscoveredPeer peer)
{
    QPointer<ConnectionManager> self(this);
    // A peer that cannot prove the code is refused unless the user allowed it;
    // then the old rules hold, advertised code included.
    if (!peer.securePairing && !m_allowUnverified) {
        setState(ConnectionState::failed(ConnectionError::insecurePeer()));
        throw ConnectionError::insecurePeer();
    }
    if (!peer.securePairing && !peer.pairingCode) {
        setState(ConnectionState::failed(ConnectionError::pairingMismatch()));
        throw ConnectionError::pairingMismatch();
    }
    m_unverified = !peer.securePairing;
    m_peerAnnouncedSecure = peer.securePairing && peer.advertised;
    m_peerByAddress = !peer.advertised;
    m_sourceIdentity.reset();
    // On the secure path the code is what the user types; none is known yet.
    const QString code = m_unverified ? *peer.pairingCode : QString();
    m_pairing->acceptPeerCode(code);
    setActiveTransport(peer.transport);
    setState(ConnectionState::pairingInitiated(code, expiryOrDefault()));

    PeerEndpoint endpoint = peer.endpoint;
    std::optional<ConnectionError> error;
    try {
        if (!endpoint.isResolved())
            endpoint = co_await resolveEndpoint(endpoint);
    } catch (const ConnectionError& e) {
        error = e;
    } catch (const std::exception& e) {
        error = ConnectionError::connectionFailed(describe(e));
    }
    if (!self)
        throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
    if (error) {
        setState(ConnectionState::failed(*error));
        throw *error;
    }

    m_lastEndpoint = endpoint;
    co_await dial(endpoint);
}

QCoro::Task<void> ConnectionManager::dial(PeerEndpoint endpoint)
{
    QPointer<ConnectionManager> self(this);
    auto* socket = new QSslSocket;
    m_certificates->prepareSocket(socket);
    QObject::connect(socket, &QAbstractSocket::connected, socket, [socket] { socket->setProperty(kTcpUpProperty, true); });
    const QString host = endpoint.host;
    const quint16 port = endpoint.port;
    m_pendingConnection.reset(new TransferSession(socket, TransferSession::Security::tls, [host, port](QSslSocket& s) {
        s.connectToHostEncrypted(host, port);
    }));
    TransferSession* session = m_pendingConnection.get();
    QString failure;
    try {
        auto deadline = deadlineFor(session, waitOnSource(m_deps.timeouts.handshake));
        co_await session->connect();
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (!self)
        throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
    if (m_pendingConnection.get() != session) // disconnect() withdrew it meanwhile
        throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
    // The certificate of this very handshake is what the pairing binds to.
    const QSslCertificate peer = failure.isEmpty() ? socket->peerCertificate() : QSslCertificate();
    if (failure.isEmpty() && peer.isNull())
        failure = QStringLiteral("the peer presented no certificate");
    if (!failure.isEmpty()) {
        // Reaching the peer but not agreeing on TLS is a handshake failure; not reaching it at all is not.
        const bool tcpUp = socket->property(kTcpUpProperty).toBool();
        const ConnectionError e = tcpUp ? ConnectionError::tlsHandshakeFailed() : ConnectionError::connectionFailed(failure);
        qCWarning(lcConnectionManager).noquote() << "Connection to" << host << "failed:" << failure;
        m_pendingConnection.reset();
        setState(ConnectionState::failed(e));
        throw e;
    }
    m_peerSelectedSecure = CertificateManager::selectedPairingProtocol(*socket);
    if (m_peerByAddress)
        setActiveTransport(transportOfLocalAddress(socket->localAddress()));
    setSession(std::unique_ptr<TransferSession>(m_pendingConnection.release()));
    m_certificates->pinRemoteCertificate(peer);
}

void ConnectionManager::confirmPairingLocally()
{
    if (m_pairing->isExpired()) {
        setState(ConnectionState::failed(ConnectionError::pairingExpired()));
        return;
    }
    m_pairing->confirmLocally();
    setState(ConnectionState::pairingConfirmedLocal());
    if (m_pairing->isConfirmedBoth())
        completePairing();
}

void ConnectionManager::completePairing()
{
    // Both ends name the session alike when the exchange agreed on a name.
    const QUuid id = std::exchange(m_agreedSessionID, std::nullopt).value_or(QUuid::createUuid());
    setSessionID(id);
    const TransportType transport = m_activeTransport.value_or(TransportType::wifi);
    setState(ConnectionState::connected(id, transport));
    qCInfo(lcConnectionManager).noquote()
        << QStringLiteral("Pairing complete. Session %1, transport: %2").arg(uuidText(id), toString(transport));
}

QCoro::Task<void> ConnectionManager::sendPairingConfirm()
{
    if (!m_session)
        throw ConnectionError::connectionFailed(QStringLiteral("No active session"));
    QPointer<ConnectionManager> self(this);
    MessageHeader header;
    header.type = MessageType::pairingConfirm;
    header.transferID = m_sessionID ? uuidText(*m_sessionID) : QString();
    header.sequenceNumber = 0;
    co_await m_session->sendRaw(WireFormat::encodeMessage(header));
    if (!self)
        co_return;
    qCInfo(lcConnectionManager) << "Sent pairingConfirm to source";
    // The source accepts any pairingConfirm on the pinned channel, so once ours
    // is on its way both sides have confirmed.
    if (m_state.kind == ConnectionState::Kind::pairingConfirmedLocal)
        completePairing();
}

// ---- both -------------------------------------------------------------------------

void ConnectionManager::disconnect(DisconnectionReason reason)
{
    m_pendingConnection.reset();
    dropAllAttempts();
    setSession(nullptr);
    m_certificates->discardPinnedCertificate();
    setActiveTransport(std::nullopt);
    setSessionID(std::nullopt);
    m_agreedSessionID.reset();
    setIncomingPeerReady(false);
    m_unverified = false;
    setState(ConnectionState::disconnected(reason));
}

void ConnectionManager::setDeadline(std::optional<std::chrono::milliseconds> fromNow)
{
    m_giveUpAt = fromNow ? std::optional(m_clock.monotonic() + *fromNow) : std::nullopt;
}

std::chrono::milliseconds ConnectionManager::waitOnSource(std::chrono::milliseconds limit) const
{
    return stepWait(limit, m_clock.monotonic(), m_giveUpAt);
}

void ConnectionManager::resetToIdle()
{
    setState(ConnectionState::idle());
}

QCoro::Task<QList<ConflictSummary>> ConnectionManager::requestPreFlightConflicts(PreFlightConflictRequest request)
{
    if (!m_session)
        throw ConnectionError::connectionFailed(QStringLiteral("No active session"));
    QPointer<TransferSession> session = m_session.get();
    QPointer<ConnectionManager> self(this);
    request.requestID = uuidText(QUuid::createUuid());
    const QByteArray payload = request.encoded();
    MessageHeader header;
    header.type = MessageType::preFlightConflictRequest;
    header.transferID = m_sessionID ? uuidText(*m_sessionID) : QString();
    header.payloadSize = static_cast<std::uint32_t>(payload.size());
    // A destination that never answers closes the connection rather than hold the source forever.
    auto deadline = deadlineFor(session, m_deps.timeouts.conflictReply);
    co_await session->sendMessage(header, payload);
    if (!session)
        throw ConnectionError::connectionFailed(QStringLiteral("No active session"));
    const Message reply = co_await session->receiveMessage();
    deadline.reset();
    if (reply.header.type != MessageType::preFlightConflictResponse || !reply.payload)
        throw ConnectionError::connectionFailed(QStringLiteral("Expected preFlightConflictResponse, got ")
                                                + toString(reply.header.type));
    const PreFlightConflictResponse response = PreFlightConflictResponse::decode(*reply.payload);
    if (response.requestID != request.requestID && self)
        qCWarning(lcConnectionManager).noquote()
            << QStringLiteral("preFlightConflictResponse requestID mismatch (expected %1, got %2)")
                   .arg(request.requestID, response.requestID);
    co_return response.conflicts;
}

} // namespace kivo
