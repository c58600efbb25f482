// SPDX-License-Identifier: Apache-2.0
#include "app/ReceiveFlow.h"

#include "app/AppState.h"
#include "app/MigrationWindow.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "platform/HostNames.h"
#include "transfer/DestinationTransfer.h"

#include <QCoroTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QPointer>

namespace kivo {

ReceiveFlow::ReceiveFlow(AppState& session, Request request, QObject* parent)
    : MigrationFlow(session, parent), m_request(std::move(request))
{
}

QList<DiscoveredPeer> ReceiveFlow::matchingSources(const QList<DiscoveredPeer>& peers, const std::optional<QString>& name)
{
    QList<DiscoveredPeer> out;
    for (const DiscoveredPeer& p : peers)
        if (!name || p.hostname.compare(*name, Qt::CaseInsensitive) == 0)
            out << p;
    return out;
}

QCoro::Task<void> ReceiveFlow::runSteps()
{
    const QString home = session().environment().homeFolder;
    if (!QDir().mkpath(home))
        fail(FlowExit::usage, QStringLiteral("cannot create home folder \"%1\"").arg(home));

    if (auto refusal = migrationWindowRefusal(*session().profileManager(), QDateTime::currentDateTime()))
        throw *refusal;
    session().goToNext(); // the role screen
    if (m_request.directHost) {
        // A known address needs no discovery.
        session().setDeviceRole(DeviceRole::destination);
        session().goToNext();
    } else {
        session().chooseRole(DeviceRole::destination);
    }
    session().connectionManager()->setAllowUnverifiedPairing(m_request.allowUnverifiedPairing);
    // One deadline for finding, reaching and pairing: each wait gets what is left of it.
    m_giveUpAt = QDeadlineTimer(m_request.timeout);
    session().connectionManager()->setDeadline(timeLeft());
    DiscoveredPeer peer = co_await findSource();
    session().connectionManager()->stopDiscovery();
    Q_EMIT peerFound(peer);

    co_await pair(peer);
    session().connectionManager()->setDeadline(std::nullopt);
    // A source reached by address said who it is while it proved the code.
    if (const auto& identity = session().connectionManager()->sourceIdentity(); identity && !peer.advertised) {
        peer.hostname = identity->hostname;
        peer.username = identity->username;
    }
    Q_EMIT paired(peer);
    if (session().connectionManager()->pairedUnverified()) {
        Q_EMIT warning(QString::fromUtf8(kUnverifiedPairingWarning));
        Q_EMIT warning(QString::fromUtf8(kKeychainLeftOutNotice));
    }

    session().confirmProposedUserMapping();
    const std::optional<FlowFailure> failure = co_await transfer();
    session().connectionManager()->disconnect(DisconnectionReason::transferComplete);
    if (failure)
        throw *failure;
}

QCoro::Task<DiscoveredPeer> ReceiveFlow::findSource()
{
    if (m_request.directHost)
        co_return peerForAddress(*m_request.directHost, m_request.directPort, m_request.code);

    ConnectionManager* cm = session().connectionManager();
    const auto matching = [this, cm] { return matchingSources(cm->discoveredPeers(), m_request.sourceHostname); };
    if (!co_await waitUntil([&] { return !matching().isEmpty() || cm->discoveryFailure(); }, timeLeft()))
        fail(FlowExit::noSource, ConnectionError::noDevicesFound().description());
    if (matching().isEmpty())
        fail(FlowExit::serviceUnavailable,
             QStringLiteral("Cannot look for the source on the network: %1. Connect to it by address "
                            "instead: --connect ADDRESS:PORT, with the port the source shows.")
                 .arg(*cm->discoveryFailure()));
    // Let other sources show up before deciding there is only one.
    if (!m_request.sourceHostname)
        co_await QCoro::sleepFor(std::min(m_request.othersGrace, timeLeft()));
    auto chosen = chooseSource(cm->discoveredPeers(), m_request.sourceHostname);
    if (auto* failure = std::get_if<FlowFailure>(&chosen))
        throw *failure;
    co_return std::get<DiscoveredPeer>(std::move(chosen));
}

std::variant<DiscoveredPeer, FlowFailure> ReceiveFlow::chooseSource(const QList<DiscoveredPeer>& peers,
                                                                    const std::optional<QString>& name)
{
    const QList<DiscoveredPeer> matches = matchingSources(peers, name);
    if (matches.isEmpty()) // it left again meanwhile
        return FlowFailure{FlowExit::noSource, ConnectionError::noDevicesFound().description()};
    if (matches.size() > 1) {
        QStringList names;
        for (const DiscoveredPeer& p : matches)
            names << p.hostname;
        return FlowFailure{FlowExit::usage, QStringLiteral("several sources found (%1); choose one with --source")
                                                .arg(names.join(QStringLiteral(", ")))};
    }
    return matches.first();
}

QCoro::Task<void> ReceiveFlow::connectTo(DiscoveredPeer peer, bool again)
{
    ConnectionManager* cm = session().connectionManager();
    std::optional<QString> failure;
    const QMetaObject::Connection watch =
        connect(&session(), &AppState::connectionFailed, this, [&failure](const QString& text) { failure = text; });
    if (again)
        session().reconnectPeer(peer);
    else
        session().selectPeer(peer);
    co_await waitUntil([&] { return failure || (cm->transferSession() && cm->transferSession()->isConnected()); },
                       timeLeft());
    disconnect(watch);
    if (failure) {
        // Reaching the source but not pairing with it (handshake, a source that
        // cannot pair securely) is a pairing failure; not reaching it is not.
        const bool handshake = cm->state().error && cm->state().error->kind() != ConnectionError::Kind::connectionFailed;
        fail(handshake ? FlowExit::pairingFailed : FlowExit::noSource, *failure);
    }
    if (!cm->transferSession() || !cm->transferSession()->isConnected())
        fail(FlowExit::noSource, ConnectionError::connectionFailed(QStringLiteral("timed out")).description());
}

QCoro::Task<void> ReceiveFlow::confirmCode()
{
    ConnectionManager* cm = session().connectionManager();
    std::optional<QString> typed = m_request.code;
    for (;;) {
        if (!typed && m_request.askCode)
            typed = co_await askCode();
        if (typed && session().submitPairingCode(*typed))
            co_return;
        if (cm->state().kind == ConnectionState::Kind::failed && cm->state().error)
            fail(FlowExit::pairingFailed, cm->state().error->description());
        Q_EMIT codeRejected();
        // A code given up front is not asked for again; an empty answer means the user gave up.
        if (m_request.code || !m_request.askCode || !typed || typed->isEmpty()
            || cm->pairingManager()->secondsRemaining() <= 0)
            fail(FlowExit::pairingFailed, ConnectionError::pairingMismatch().description());
        typed.reset();
    }
}

std::chrono::milliseconds ReceiveFlow::timeLeft() const
{
    return std::chrono::ceil<std::chrono::milliseconds>(m_giveUpAt.remainingTimeAsDuration());
}

// The user's time to type the code is no wait on the source: the deadline moves on by as much.
QCoro::Task<std::optional<QString>> ReceiveFlow::askCode()
{
    QElapsedTimer typing;
    typing.start();
    std::optional<QString> typed = co_await m_request.askCode();
    m_giveUpAt += typing.elapsed();
    session().connectionManager()->setDeadline(timeLeft());
    co_return typed;
}

// The typed code goes through the session's pairing, as on the screens; a
// wrong one may be typed again while the user is asked.
QCoro::Task<void> ReceiveFlow::pair(DiscoveredPeer& peer)
{
    ConnectionManager* cm = session().connectionManager();
    // An old source is reached first: whether it may pair at all is decided by then.
    if (peer.securePairing)
        session().selectPeer(peer);
    else
        co_await connectTo(peer);
    std::optional<QString> typed = m_request.code;
    for (;;) {
        if (!typed && m_request.askCode)
            typed = co_await askCode();
        if (!typed || typed->isEmpty())
            fail(FlowExit::pairingFailed, ConnectionError::pairingMismatch().description());
        const PairingAttempt attempt = co_await session().pairWithCode(*typed);
        if (attempt == PairingAttempt::paired)
            co_return;
        const std::optional<ConnectionError> error = cm->state().error;
        // A source reached by address that only knows the old exchange: when
        // allowed, pair with it the old way on a fresh connection.
        if (error && error->kind() == ConnectionError::Kind::insecurePeer && !peer.advertised
            && m_request.allowUnverifiedPairing && peer.pairingCode) {
            peer.securePairing = false;
            co_await connectTo(peer, true);
            co_await confirmCode();
            co_return;
        }
        if (attempt == PairingAttempt::failed) {
            // Not reaching the source is not a pairing failure; reaching it and failing is.
            if (const QString text = session().connectionErrorText(); !text.isEmpty())
                fail(error && error->kind() != ConnectionError::Kind::connectionFailed ? FlowExit::pairingFailed
                                                                                       : FlowExit::noSource,
                     text);
            if (!session().pairingErrorText().isEmpty())
                fail(FlowExit::pairingFailed, session().pairingErrorText());
            fail(FlowExit::noSource, ConnectionError::connectionFailed(QStringLiteral("timed out")).description());
        }
        if (m_request.code || !m_request.askCode)
            fail(FlowExit::pairingFailed, ConnectionError::pairingMismatch().description());
        Q_EMIT codeRejected();
        typed.reset();
    }
}

} // namespace kivo
