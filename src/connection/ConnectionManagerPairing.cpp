// SPDX-License-Identifier: Apache-2.0
// The code-proving exchange of the connection manager: the source's and the
// destination's steps, and the old unverified exchange where it is allowed.
#include "connection/ConnectionManager.h"

#include "connection/PairingChannel.h"
#include "connection/SecurePairing.h"
#include "connection/SecurePairingMessages.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"

namespace kivo {

namespace {

QByteArray derOf(const std::optional<QSslCertificate>& certificate)
{
    return certificate ? certificate->toDer() : QByteArray();
}


// An error frame sent on the way out; the peer may already be gone.
QCoro::Task<void> tellPeer(TransferSession* session, const char* code, QString text)
{
    try {
        co_await pairingchannel::sendError(session, QString::fromLatin1(code), std::move(text));
    } catch (const std::exception&) {
    }
}

// What a reply means to the destination when it is not the next step: the
// source's refusal, or an old source that does not know these messages.
ConnectionError unexpectedReply(const Message& m, bool peerAnnouncedSecure)
{
    if (m.header.type == MessageType::error) {
        const QString code = m.header.errorCode.value_or(QString());
        const QString text = m.header.errorMessage.value_or(code).left(200);
        if (code == QLatin1String(ConnectionManager::kErrorPairingExpired))
            return ConnectionError::pairingExpired();
        if (code == QLatin1String(ConnectionManager::kErrorInsecurePeer))
            return ConnectionError::insecurePeer();
        if (code == QLatin1String(ConnectionManager::kErrorPairingMismatch))
            return ConnectionError::pairingMismatch();
        if (code == QLatin1String(ConnectionManager::kErrorPairingBusy))
            return ConnectionError::peerBusy();
        return ConnectionError::pairingProtocol(text);
    }
    return peerAnnouncedSecure
        ? ConnectionError::connectionFailed(QStringLiteral("Unexpected pairing message ") + toString(m.header.type))
        : ConnectionError::insecurePeer();
}

bool stillAttempt(const QPointer<ConnectionManager>& self, const QPointer<TransferSession>& session)
{
    return self && session && self->isAttempt(session);
}

// At most `size` UTF-16 units, never half a character: the peer refuses a lone surrogate.
QString upTo(const QString& text, qsizetype size)
{
    if (text.size() <= size)
        return text;
    return text.left(text.at(size - 1).isHighSurrogate() ? size - 1 : size);
}

// What the destination makes of a failed step of its own: a code that did not
// match, or a source that sent what the exchange does not allow.
ConnectionError destinationFailure(const SecurePairingError& e)
{
    if (e.kind() == SecurePairingError::Kind::confirmationMismatch)
        return ConnectionError::pairingMismatch();
    return ConnectionError::pairingProtocol(e.description());
}

} // namespace

// Source. The destination speaks first: its share, then (after ours) its
// confirmation; ours follows only once its confirmation verified.
QCoro::Task<void> ConnectionManager::runSourcePairing(TransferSession* session)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    Message request;
    try {
        auto deadline = deadlineFor(session, m_deps.timeouts.firstMessage);
        request = co_await pairingchannel::receive(session);
    } catch (const std::exception& e) {
        if (stillAttempt(self, guard))
            dropAttempt(session, QStringLiteral("no pairing request: ") + describe(e));
        co_return;
    }
    if (!stillAttempt(self, guard))
        co_return;
    if (request.header.type == MessageType::pairingConfirm) {
        co_await acceptLegacyConfirm(session);
        co_return;
    }
    if (request.header.type != MessageType::pairingRequest) {
        dropAttempt(session, QStringLiteral("expected pairingRequest, got ") + toString(request.header.type));
        co_return;
    }
    setStage(session, AttemptStage::proving);
    // Each share costs a key exchange: strangers get only so many, and the
    // refused one is told to come back rather than left to guess why.
    if (!takeConnectionToken()) {
        co_await tellPeer(session, kErrorPairingBusy, ConnectionError::peerBusy().description());
        if (stillAttempt(self, guard))
            dropAttempt(session, QStringLiteral("too many pairing requests; told to try again"));
        co_return;
    }
    if (co_await refuseIfExpired(session))
        co_return;
    std::optional<QString> protocolFault;
    try {
        co_await runSourceKeyExchange(session, std::move(request));
    } catch (const SecurePairingError& e) {
        protocolFault = e.description();
    } catch (const DecodingError& e) {
        protocolFault = e.description();
    } catch (const std::exception& e) {
        if (stillAttempt(self, guard))
            dropAttempt(session, QStringLiteral("pairing failed: ") + describe(e));
        co_return;
    }
    if (protocolFault && stillAttempt(self, guard)) {
        co_await tellPeer(session, kErrorPairingProtocol, *protocolFault);
        if (stillAttempt(self, guard))
            dropAttempt(session, QStringLiteral("pairing protocol error: ") + *protocolFault);
    }
}

// Source: true (and the peer told and dropped) once the code has expired.
QCoro::Task<bool> ConnectionManager::refuseIfExpired(TransferSession* session)
{
    if (!m_pairing->isExpired())
        co_return false;
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    co_await tellPeer(session, kErrorPairingExpired, ConnectionError::pairingExpired().description());
    if (stillAttempt(self, guard))
        dropAttempt(session, QStringLiteral("the pairing code had expired"));
    co_return true;
}

// Source: our share for theirs, then their confirmation, checked before ours
// goes out. Throws SecurePairingError or DecodingError for what the peer sent
// wrong, anything else for a connection that failed.
QCoro::Task<void> ConnectionManager::runSourceKeyExchange(TransferSession* session, Message request)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    const PairingShare peerShare = PairingShare::fromJson(pairingchannel::payloadObject(request));
    refuseReplay(peerShare);
    const QByteArray binding = SecurePairing::channelBinding(m_certificates->localCertificate().toDer(),
                                                             peerCertificateOf(session).toDer());
    auto pake = m_pairingSecret
        ? SecurePairing(DeviceRole::source, SecurePairing::SharedSecret{*m_pairingSecret}, binding)
        : SecurePairing(DeviceRole::source, m_pairing->pairingCode().value_or(QString()), binding);
    PairingShare ourShare;
    ourShare.share = pake.start();
    ourShare.nonce = pake.nonce();
    const QByteArray ourConfirmation = pake.receivePeerShare(peerShare.share, peerShare.nonce);
    co_await pairingchannel::send(session, MessageType::pairingResponse, ourShare.toJson());
    if (!stillAttempt(self, guard))
        co_return;

    Message reply;
    {
        auto deadline = deadlineFor(session, m_deps.timeouts.pairingReply);
        reply = co_await pairingchannel::receive(session);
    }
    if (!stillAttempt(self, guard))
        co_return;
    if (reply.header.type != MessageType::pairingConfirm)
        throw SecurePairingError(SecurePairingError::Kind::unexpectedMessage);
    if (co_await refuseIfExpired(session))
        co_return;
    // Its names are checked here, with the rest, but believed only once its proof verified.
    const PairingConfirmation theirs = PairingConfirmation::fromJson(pairingchannel::payloadObject(reply));
    bool verified = true;
    try {
        pake.receivePeerConfirmation(theirs.confirmation);
    } catch (const SecurePairingError& e) {
        if (e.kind() != SecurePairingError::Kind::confirmationMismatch)
            throw;
        verified = false;
    }
    if (!verified) {
        co_await rejectConfirmation(session);
        co_return;
    }
    // The first to prove the code wins; every other attempt ends here.
    winAttempt(session);
    m_destinationIdentity = theirs.identity;
    m_pairing->setAgreedKey(*pake.sessionKey());
    m_agreedSessionID = QUuid::fromRfc4122(*pake.sessionID());
    m_unverified = false;
    qCInfo(lcConnectionManager) << "Destination proved the pairing code";
    PairingConfirmation ours;
    ours.confirmation = ourConfirmation;
    ours.identity = localIdentity();
    QString lost;
    try {
        co_await pairingchannel::send(session, MessageType::pairingConfirm, ours.toJson());
    } catch (const std::exception& e) {
        lost = describe(e);
    }
    if (!lost.isEmpty() && self && m_session.get() == session) {
        qCWarning(lcConnectionManager).noquote() << "Lost the destination that proved the code:" << lost;
        setSession(nullptr);
        m_certificates->discardPinnedCertificate();
        m_agreedSessionID.reset();
        refreshPeerReady();
    }
    if (!lost.isEmpty())
        co_return;
    if (!self || m_session.get() != session)
        co_return;
    m_pairing->confirmRemotely();
    m_pairing->confirmLocally();
    if (m_pairing->isConfirmedBoth())
        completePairing();
}

std::optional<PairingIdentity> ConnectionManager::localIdentity() const
{
    // Names the user left empty are not sent: the peer refuses empty ones.
    if (m_localHostname.isEmpty() || m_localUsername.isEmpty())
        return std::nullopt;
    return PairingIdentity{upTo(m_localHostname, 255), upTo(m_localUsername, 255), upTo(host::machineArchitecture(), 64)};
}

void ConnectionManager::refuseReplay(const PairingShare& share)
{
    // Bounded: an older replay still fails, by the nonces, as a mismatch.
    constexpr qsizetype kRemembered = 512;
    if (m_seenShares.contains(share.share) || m_seenShares.contains(share.nonce))
        throw SecurePairingError(SecurePairingError::Kind::replayedShare);
    m_seenShares << share.share << share.nonce;
    if (m_seenShares.size() > kRemembered)
        m_seenShares.remove(0, m_seenShares.size() - kRemembered);
}

// Source: a confirmation that did not verify. Counted before anything is
// sent, so a guesser learns nothing it has not paid for.
QCoro::Task<void> ConnectionManager::rejectConfirmation(TransferSession* session)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    if (m_pairing->recordFailedConfirmation())
        qCWarning(lcConnectionManager) << "Pairing code used up; a fresh one follows";
    co_await tellPeer(session, kErrorPairingMismatch, ConnectionError::pairingMismatch().description());
    if (stillAttempt(self, guard))
        dropAttempt(session, QStringLiteral("the pairing confirmation did not verify"));
}

// Source. The old exchange: a bare pairingConfirm, which proves nothing.
QCoro::Task<void> ConnectionManager::acceptLegacyConfirm(TransferSession* session)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> guard(session);
    // A destination that selected the secure exchange in its handshake and then
    // skips it is someone stripping the proof, whatever the user allowed.
    const bool downgraded = session->socket() && CertificateManager::selectedPairingProtocol(*session->socket());
    if (!m_allowUnverified || downgraded || m_pairing->isExpired()) {
        const bool insecure = !m_allowUnverified || downgraded;
        const ConnectionError error = insecure ? ConnectionError::insecurePeer() : ConnectionError::pairingExpired();
        co_await tellPeer(session, insecure ? kErrorInsecurePeer : kErrorPairingExpired, error.description());
        if (stillAttempt(self, guard))
            dropAttempt(session, error.description());
        co_return;
    }
    winAttempt(session);
    m_unverified = true;
    qCWarning(lcConnectionManager) << "Paired without verifying the code (unverified pairing allowed)";
    m_pairing->confirmRemotely();
    m_pairing->confirmLocally();
    qCInfo(lcConnectionManager) << "Received pairingConfirm from destination";
    if (m_pairing->isConfirmedBoth())
        completePairing();
}

// Destination: proves the typed code to the source and checks its proof. A
// source busy with other attempts is tried again on a fresh connection until
// the retry window closes. On any failure the source has dropped us, so we
// drop it too; throws the error.
QCoro::Task<void> ConnectionManager::pairSecurely(QString typedCode)
{
    QPointer<ConnectionManager> self(this);
    if (!m_session)
        throw ConnectionError::connectionFailed(QStringLiteral("No active session"));
    const auto giveUpAt = m_giveUpAt.value_or(m_clock.monotonic() + m_deps.timeouts.busyRetryWindow);
    std::optional<ConnectionError> failure;
    for (;;) {
        failure.reset();
        try {
            // The source lets a connection that stays silent go (while the code was typed, say): dial again.
            if ((!m_session || !m_session->isConnected()) && m_lastEndpoint)
                co_await dial(*m_lastEndpoint);
            if (sourceOnlyConfirms()) {
                co_await confirmWithoutProof();
                co_return;
            }
            m_pairing->setAgreedKey(co_await runDestinationKeyExchange(typedCode));
        } catch (const ConnectionError& e) {
            failure = e;
        } catch (const SecurePairingError& e) {
            failure = destinationFailure(e);
        } catch (const DecodingError& e) {
            failure = ConnectionError::pairingProtocol(e.description());
        } catch (const std::exception& e) {
            failure = ConnectionError::connectionFailed(describe(e));
        }
        if (!self)
            throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
        if (!failure || failure->kind() != ConnectionError::Kind::peerBusy || !m_lastEndpoint
            || m_clock.monotonic() + m_deps.timeouts.busyRetryPause >= giveUpAt)
            break;
        const QString retrying = QString::fromUtf8(kBusyRetryText);
        qCInfo(lcConnectionManager).noquote() << retrying;
        Q_EMIT pairingRetrying(retrying);
        setSession(nullptr);
        co_await m_clock.sleepFor(m_deps.timeouts.busyRetryPause);
        if (!self)
            throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
    }
    if (failure) {
        qCWarning(lcConnectionManager).noquote() << "Secure pairing failed:" << failure->description();
        setSession(nullptr);
        m_certificates->discardPinnedCertificate();
        setState(ConnectionState::failed(*failure));
        throw *failure;
    }
    qCInfo(lcConnectionManager) << "Source proved the pairing code";
    m_pairing->confirmLocally();
    m_pairing->confirmRemotely();
    setState(ConnectionState::pairingConfirmedLocal());
    completePairing();
}

bool ConnectionManager::sourceOnlyConfirms() const
{
    // A source that announced the secure exchange and then selects none is
    // not believed: it gets the request, and fails it if it is not what it said.
    return m_allowUnverified && !m_pairingSecret && !m_peerAnnouncedSecure && !m_peerSelectedSecure && m_session
        && m_session->isConnected();
}

QCoro::Task<void> ConnectionManager::confirmWithoutProof()
{
    QPointer<ConnectionManager> self(this);
    m_unverified = true;
    qCWarning(lcConnectionManager) << "The source selected no pairing protocol; confirming without proof"
                                      " (unverified pairing allowed)";
    m_pairing->confirmLocally();
    m_pairing->confirmRemotely();
    setState(ConnectionState::pairingConfirmedLocal());
    co_await sendPairingConfirm();
    if (self && m_state.kind != ConnectionState::Kind::connected)
        throw ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled"));
}

// Destination: our share, theirs, our confirmation, theirs; the agreed key. Throws.
QCoro::Task<QByteArray> ConnectionManager::runDestinationKeyExchange(QString typedCode)
{
    QPointer<ConnectionManager> self(this);
    QPointer<TransferSession> session = m_session.get();
    // A source that announced or selected the exchange and then hangs up was
    // lost, not one that cannot pair securely.
    const bool announced = m_peerAnnouncedSecure || m_peerSelectedSecure;
    const auto cancelled = [] { return ConnectionError::connectionFailed(QStringLiteral("Connection was cancelled")); };
    if (!session)
        throw ConnectionError::connectionFailed(QStringLiteral("No active session"));
    if (!m_pairingSecret && !PairingManager::isWellFormedCode(typedCode))
        throw ConnectionError::pairingMismatch();
    const QByteArray binding = SecurePairing::channelBinding(derOf(m_certificates->pinnedRemoteCertificate()),
                                                             m_certificates->localCertificate().toDer());
    auto pake = m_pairingSecret
        ? SecurePairing(DeviceRole::destination, SecurePairing::SharedSecret{*m_pairingSecret}, binding)
        : SecurePairing(DeviceRole::destination, typedCode, binding);
    PairingShare ourShare;
    ourShare.share = pake.start();
    ourShare.nonce = pake.nonce();
    co_await pairingchannel::send(session, MessageType::pairingRequest, ourShare.toJson());
    if (!self || !session)
        throw cancelled();

    Message response;
    const auto silent = std::make_shared<bool>(false);
    try {
        auto deadline = deadlineFor(session, waitOnSource(m_deps.timeouts.pairingReply), silent);
        response = co_await pairingchannel::receive(session);
    } catch (const std::exception& e) {
        if (*silent)
            throw ConnectionError::noAnswer();
        // A source that does not know the request hangs up.
        throw announced ? ConnectionError::connectionFailed(describe(e)) : ConnectionError::insecurePeer();
    }
    if (!self || !session)
        throw cancelled();
    if (response.header.type != MessageType::pairingResponse)
        throw unexpectedReply(response, announced);
    PairingConfirmation ours;
    const PairingShare theirs = PairingShare::fromJson(pairingchannel::payloadObject(response));
    ours.confirmation = pake.receivePeerShare(theirs.share, theirs.nonce);
    // A source that does not show it passes over it.
    ours.identity = localIdentity();
    co_await pairingchannel::send(session, MessageType::pairingConfirm, ours.toJson());
    if (!self || !session)
        throw cancelled();

    Message reply;
    try {
        auto deadline = deadlineFor(session, waitOnSource(m_deps.timeouts.pairingReply), silent);
        reply = co_await pairingchannel::receive(session);
    } catch (const std::exception& e) {
        throw *silent ? ConnectionError::noAnswer() : ConnectionError::connectionFailed(describe(e));
    }
    if (!self)
        throw cancelled();
    if (reply.header.type != MessageType::pairingConfirm)
        throw unexpectedReply(reply, announced);
    const PairingConfirmation proof = PairingConfirmation::fromJson(pairingchannel::payloadObject(reply));
    pake.receivePeerConfirmation(proof.confirmation);
    m_sourceIdentity = proof.identity;
    m_agreedSessionID = QUuid::fromRfc4122(*pake.sessionID());
    co_return *pake.sessionKey();
}

} // namespace kivo
