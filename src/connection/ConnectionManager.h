// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "connection/BonjourBrowser.h"
#include "connection/CertificateManager.h"
#include "connection/ConnectionTypes.h"
#include "connection/PairingManager.h"
#include "connection/PairingSlots.h"
#include "connection/SecurePairingMessages.h"
#include "connection/ThunderboltDetector.h"
#include "platform/Clock.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferSession.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>

namespace kivo {

class BonjourAdvertiser;

// How long one step may wait: its own limit, cut to what is left before
// `giveUpAt` (none: no overall deadline); nothing once that has passed.
std::chrono::milliseconds stepWait(std::chrono::milliseconds limit, std::chrono::nanoseconds now,
                                   std::optional<std::chrono::nanoseconds> giveUpAt);

// Everything between the choice of a role and a paired, pinned message channel.
// The source advertises and waits; the destination browses and connects.
class ConnectionManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(kivo::ConnectionState state READ state NOTIFY stateChanged)
    Q_PROPERTY(QList<kivo::DiscoveredPeer> discoveredPeers READ discoveredPeers NOTIFY discoveredPeersChanged)
    Q_PROPERTY(std::optional<kivo::TransportType> activeTransport READ activeTransport WRITE setActiveTransport NOTIFY activeTransportChanged)
    Q_PROPERTY(std::optional<QUuid> sessionID READ sessionID NOTIFY sessionIDChanged)
    Q_PROPERTY(bool incomingPeerReady READ incomingPeerReady NOTIFY incomingPeerReadyChanged)
    Q_PROPERTY(quint16 listeningPort READ listeningPort NOTIFY listeningPortChanged)
    Q_PROPERTY(std::optional<QString> discoveryFailure READ discoveryFailure NOTIFY discoveryFailureChanged)
public:
    // How long a peer that has proved nothing yet may keep us waiting, and how
    // often strangers may try. Every wait on such a peer has one of these.
    struct Timeouts {
        std::chrono::milliseconds handshake{10000};    // source: TLS handshake of an incoming peer
        std::chrono::milliseconds firstMessage{10000}; // source: the peer's first message after it
        std::chrono::milliseconds pairingReply{10000}; // both: each later step of the pairing exchange
        int connectionBurst = 5;                       // shares answered back to back
        std::chrono::milliseconds connectionRefill{2000}; // one more answered per this much time
        std::chrono::milliseconds conflictReply{60000};   // source: the destination's answer to a pre-flight question
        std::chrono::milliseconds busyRetryWindow{60000}; // destination: how long a busy source is retried, no deadline set
        std::chrono::milliseconds busyRetryPause{1000};   // destination: the pause before each new try
    };

    // Seams for tests; every empty member means the real thing.
    struct Dependencies {
        Clock* clock = nullptr;
        ThunderboltDetector::AddressSource interfaceAddresses;
        std::function<std::unique_ptr<PeerBrowser>()> makeBrowser;
        std::function<QCoro::Task<PeerEndpoint>(PeerEndpoint)> resolve;
        std::optional<QHostAddress> listenAddress;
        Timeouts timeouts;
    };

    static constexpr char kErrorPairingExpired[] = "pairing_expired";
    static constexpr char kErrorPairingMismatch[] = "pairing_mismatch";
    static constexpr char kErrorInsecurePeer[] = "insecure_pairing";
    static constexpr char kErrorPairingBusy[] = "pairing_busy";
    static constexpr char kErrorPairingProtocol[] = "pairing_protocol";
    static constexpr char kBusyRetryText[] = "The other computer is busy pairing; retrying\u2026";

    explicit ConnectionManager(QObject* parent = nullptr);
    explicit ConnectionManager(Dependencies dependencies, QObject* parent = nullptr);
    ~ConnectionManager() override;

    const ConnectionState& state() const { return m_state; }
    QList<DiscoveredPeer> discoveredPeers() const { return m_discoveredPeers; }
    std::optional<TransportType> activeTransport() const { return m_activeTransport; }
    void setActiveTransport(std::optional<TransportType> transport);
    std::optional<QUuid> sessionID() const { return m_sessionID; }
    bool incomingPeerReady() const { return m_incomingPeerReady; }
    PairingManager* pairingManager() { return m_pairing; }
    CertificateManager* certificateManager() { return m_certificates; }
    ThunderboltDetector* thunderboltDetector() { return m_thunderbolt; }
    TransferSession* transferSession() const { return m_session.get(); }
    // The advertiser's bound port, 0 when not listening.
    quint16 listeningPort() const;
    // Why peers cannot find us (source) or we them (destination), as the user
    // reads it after a colon; none while service discovery works. The state does
    // not change with it: connections by address still work.
    const std::optional<QString>& discoveryFailure() const { return m_discoveryFailure; }

    void startDiscovery();
    void stopDiscovery();
    void startAdvertising(QString hostname, QString username, quint16 port = 0);
    void stopAdvertising();
    // Whether a peer that only speaks the old exchange (which proves no code to
    // the source) may pair. Off unless the user asked for it.
    void setAllowUnverifiedPairing(bool allow) { m_allowUnverified = allow; }
    bool allowsUnverifiedPairing() const { return m_allowUnverified; }
    // Unattended ends of one organisation prove this shared secret instead of
    // a code a person read: the source checks it, the destination offers it.
    void setPairingSecret(std::optional<QString> secret) { m_pairingSecret = std::move(secret); }
    // The current peer paired by the old exchange.
    bool pairedUnverified() const { return m_unverified; }
    // Source: strangers connected and trying the code, none of which has proved it yet.
    qsizetype pairingAttempts() const { return m_attempts.size(); }
    // Source: whether `session` is one of them.
    bool isAttempt(const TransferSession* session) const;
    // Destination: reaching and pairing with the source end within `fromNow` (the user's
    // overall timeout), each step cut to what is left of it; none: every step has its own limit.
    void setDeadline(std::optional<std::chrono::milliseconds> fromNow);
    // Destination: the connected peer is to prove the code by the secure exchange.
    bool usesSecurePairing() const { return m_session && !m_unverified; }
    // Destination: who the source said it is once it proved the code; none before, or after the old exchange.
    const std::optional<PairingIdentity>& sourceIdentity() const { return m_sourceIdentity; }
    // Source: who the destination said it is with the confirmation that proved the code; none
    // from one that did not say (an older one, the old exchange) and before a destination paired.
    const std::optional<PairingIdentity>& destinationIdentity() const { return m_destinationIdentity; }
    // Source: the address the paired destination connected from; empty before one paired.
    const QString& peerAddress() const { return m_peerAddress; }
    // The names this side gives its peer in the pairing exchange (the source's advertisement sets them too);
    // none are sent while either is empty.
    void setLocalNames(QString hostname, QString username);
    // Destination: the connected source selected the code-proving exchange in its handshake.
    bool peerSelectedSecurePairing() const { return m_peerSelectedSecure; }

    // Destination. Throws ConnectionError.
    QCoro::Task<void> connectToPeer(DiscoveredPeer peer);
    // Destination: proves the typed code to the source and agrees on the
    // session key. Throws ConnectionError; the connection is gone afterwards.
    QCoro::Task<void> pairSecurely(QString typedCode);
    void confirmPairingLocally();
    // Destination, the old exchange: the bare confirmation after a code
    // comparison. Throws ConnectionError or the transport's error.
    QCoro::Task<void> sendPairingConfirm();
    void disconnect(DisconnectionReason reason);
    // Source, after the pre-flight scan: which of these paths exist on the destination.
    QCoro::Task<QList<ConflictSummary>> requestPreFlightConflicts(PreFlightConflictRequest request);
    // Session reset.
    void resetToIdle();

    // "ABCD…" text of a session id, as it travels in transferID.
    static QString uuidText(const QUuid& id);

Q_SIGNALS:
    void stateChanged();
    void discoveredPeersChanged();
    void incomingPeerReadyChanged();
    // A destination finished the handshake and may now ask for the code shown here.
    void destinationConnected();
    void activeTransportChanged();
    void sessionIDChanged();
    void transferSessionChanged();
    void listeningPortChanged();
    void discoveryFailureChanged();
    // Destination: the source was busy pairing; another try follows.
    void pairingRetrying(QString text);

private:
    void setState(ConnectionState state);
    void setDiscoveredPeers(QList<DiscoveredPeer> peers);
    void setSessionID(std::optional<QUuid> id);
    void setIncomingPeerReady(bool ready);
    void setDiscoveryFailure(std::optional<QString> reason);
    void setSession(std::unique_ptr<TransferSession> session);
    void handlePeersUpdated(QList<DiscoveredPeer> peers);
    // Source: the pairing attempts of strangers (ConnectionManagerAttempts.cpp).
    void handleIncomingConnection(QSslSocket* socket);
    QCoro::Task<void> acceptIncoming(TransferSession* session);
    void setStage(const TransferSession* session, AttemptStage stage);
    QSslCertificate peerCertificateOf(const TransferSession* session) const;
    void dropAttempt(TransferSession* session, const QString& reason);
    void dropAllAttempts();
    // The attempt proved the code: it becomes the session, every other one goes.
    void winAttempt(TransferSession* session);
    void refreshPeerReady();
    // The code-proving exchange (ConnectionManagerPairing.cpp).
    QCoro::Task<void> runSourcePairing(TransferSession* session);
    QCoro::Task<bool> refuseIfExpired(TransferSession* session);
    QCoro::Task<void> runSourceKeyExchange(TransferSession* session, Message request);
    QCoro::Task<void> rejectConfirmation(TransferSession* session);
    // Source: throws replayedShare for a share or nonce seen before, else remembers both.
    void refuseReplay(const PairingShare& share);
    QCoro::Task<void> acceptLegacyConfirm(TransferSession* session);
    QCoro::Task<QByteArray> runDestinationKeyExchange(QString typedCode);
    // Destination: a source reached by address that selected no pairing
    // protocol in its handshake only knows the bare confirmation.
    bool sourceOnlyConfirms() const;
    QCoro::Task<void> confirmWithoutProof();
    // Destination: a connection to `endpoint` becomes the session and its
    // certificate the pin (or must match the pin already held). Throws ConnectionError.
    QCoro::Task<void> dial(PeerEndpoint endpoint);
    bool takeConnectionToken();
    // Destination: how long the next step may wait on the source (stepWait under the deadline).
    std::chrono::milliseconds waitOnSource(std::chrono::milliseconds limit) const;
    // Closes `session` unless the returned handle goes first; `fired` learns whether it did.
    std::unique_ptr<QObject> deadlineFor(TransferSession* session, std::chrono::milliseconds after,
                                         std::shared_ptr<bool> fired = nullptr);
    void completePairing();
    // This side's names and machine as its confirmation carries them.
    std::optional<PairingIdentity> localIdentity() const;
    QDateTime expiryOrDefault() const;
    QCoro::Task<PeerEndpoint> resolveEndpoint(PeerEndpoint endpoint);
    // The transport of a connection by the interface of its local address.
    std::optional<TransportType> transportOfLocalAddress(const QHostAddress& local) const;

    struct SessionDeleter {
        void operator()(TransferSession* session) const;
    };
    using SessionPtr = std::unique_ptr<TransferSession, SessionDeleter>;

    Dependencies m_deps;
    Clock& m_clock;
    PairingManager* m_pairing;
    CertificateManager* m_certificates;
    ThunderboltDetector* m_thunderbolt;
    std::unique_ptr<PeerBrowser> m_browser;
    std::unique_ptr<BonjourAdvertiser> m_advertiser;
    SessionPtr m_session;
    // An outgoing connection that is still handshaking.
    SessionPtr m_pendingConnection;
    // Incoming attempts, oldest first; each session is a child of this manager until it wins or goes.
    struct Attempt {
        QPointer<TransferSession> session;
        AttemptStage stage = AttemptStage::handshaking;
        QSslCertificate peer; // of this very handshake
    };
    QList<Attempt> m_attempts;
    std::optional<PeerEndpoint> m_lastEndpoint;
    // Destination: the clock's monotonic time by which reaching and pairing give up.
    std::optional<std::chrono::nanoseconds> m_giveUpAt;

    ConnectionState m_state;
    QList<DiscoveredPeer> m_discoveredPeers;
    std::optional<TransportType> m_activeTransport;
    std::optional<QUuid> m_sessionID;
    bool m_incomingPeerReady = false;
    std::optional<QString> m_discoveryFailure;
    bool m_allowUnverified = false;
    std::optional<QString> m_pairingSecret;
    bool m_unverified = false;
    bool m_peerAnnouncedSecure = false;
    bool m_peerSelectedSecure = false;
    // Destination: the peer was reached by address, so the transport is the socket's.
    bool m_peerByAddress = false;
    std::optional<PairingIdentity> m_sourceIdentity;
    std::optional<PairingIdentity> m_destinationIdentity;
    QString m_peerAddress;
    // The names this side gives its peer in the exchange (a source's are those it advertises).
    QString m_localHostname;
    QString m_localUsername;
    // The name both ends derived in the exchange, for completePairing.
    std::optional<QUuid> m_agreedSessionID;
    // Source: shares and nonces strangers sent under the current code, newest
    // last; one seen again is a replay, refused by name.
    QList<QByteArray> m_seenShares;
    double m_tokens = 0;
    std::chrono::nanoseconds m_tokensAt{};
};

} // namespace kivo
