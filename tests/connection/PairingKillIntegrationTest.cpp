// SPDX-License-Identifier: Apache-2.0
// One end vanishes, as under kill -9, at each step of the pairing: the other
// end says what happened and pairs with a fresh peer at once, without waiting
// for any deadline (the clock stands still).
#include "connection/ConnectionManager.h"
#include "connection/PairingChannel.h"
#include "connection/PairingRig.h"
#include "connection/SecurePairing.h"
#include "connection/SecurePairingMessages.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"
#include "support/ManualClock.h"
#include "support/TestTls.h"
#include "transfer/TransferSession.h"

#include <QTcpSocket>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using Kind = ConnectionState::Kind;

namespace {

// In order: TCP connected, TLS handshake done, shares exchanged, confirmation sent.
enum class Step { tcpConnected, handshaken, requestSent, confirmationSent };
constexpr Step kSteps[] = {Step::tcpConnected, Step::handshaken, Step::requestSent, Step::confirmationSent};

// A destination that drives the exchange by hand with the right code and
// vanishes once it has done `step`.
void destinationDiesAfter(Step step, Source& source)
{
    if (step == Step::tcpConnected) {
        QTcpSocket bare;
        bare.connectToHost(QStringLiteral("127.0.0.1"), source.port());
        ASSERT_TRUE(bare.waitForConnected(10000));
        ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 1; }));
        bare.abort();
        return;
    }
    ConnectionManager client;
    runTask(client.connectToPeer(source.peer()));
    ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 1; }));
    TransferSession* session = client.transferSession();
    if (step != Step::handshaken) {
        SecurePairing pake(DeviceRole::destination, source.code(),
                           SecurePairing::channelBinding(source.manager.certificateManager()->localCertificate().toDer(),
                                                         client.certificateManager()->localCertificate().toDer()));
        runTask(pairingchannel::send(session, MessageType::pairingRequest,
                                     PairingShare{PairingShare::kCurrentVersion, pake.start(), pake.nonce()}.toJson()));
        const PairingShare theirs = PairingShare::fromJson(pairingchannel::payloadObject(runTask(pairingchannel::receive(session))));
        const QByteArray confirmation = pake.receivePeerShare(theirs.share, theirs.nonce);
        if (step == Step::confirmationSent) {
            runTask(pairingchannel::send(session, MessageType::pairingConfirm, PairingConfirmation{confirmation, std::nullopt}.toJson()));
            // The source wins the attempt on this confirmation; it must notice the loss.
            ASSERT_TRUE(waitUntil([&] { return source.manager.transferSession() != nullptr; }));
        }
    }
    session->socket()->abort();
}

// A source that selects the exchange and vanishes once it has done `step`
// (tcpConnected: before its handshake; confirmationSent: after the destination's confirmation arrived).
QCoro::Task<void> sourceDiesAfter(Step step, TransferSession* session)
{
    if (step == Step::tcpConnected) {
        session->socket()->abort();
        co_return;
    }
    co_await session->connect();
    QSslSocket* socket = session->socket();
    if (step != Step::handshaken) {
        const PairingShare theirs = PairingShare::fromJson(pairingchannel::payloadObject(co_await pairingchannel::receive(session)));
        SecurePairing pake(DeviceRole::source, QStringLiteral("123456"),
                           SecurePairing::channelBinding(socket->localCertificate().toDer(), socket->peerCertificate().toDer()));
        PairingShare ours{PairingShare::kCurrentVersion, pake.start(), pake.nonce()};
        pake.receivePeerShare(theirs.share, theirs.nonce);
        co_await pairingchannel::send(session, MessageType::pairingResponse, ours.toJson());
        if (step == Step::confirmationSent)
            co_await pairingchannel::receive(session);
    }
    socket->abort();
}

} // namespace

TEST(PairingKills, TheSourcePairsAtOnceAfterTheDestinationVanishesAtAnyStep)
{
    for (const Step step : kSteps) {
        SCOPED_TRACE(int(step));
        ManualClock clock;
        Source source(&clock);
        destinationDiesAfter(step, source);
        if (step == Step::confirmationSent) {
            // Paired already: the loss shows on the session, and the flow that
            // owns it ends and starts afresh, as a rerun of send would.
            ASSERT_TRUE(waitUntil([&] { return !source.manager.transferSession()->isConnected(); }));
            source.manager.disconnect(DisconnectionReason::connectionLost);
            source.manager.stopAdvertising();
            source.manager.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
        }
        ASSERT_TRUE(waitUntil([&] {
            return source.manager.pairingAttempts() == 0 && source.manager.transferSession() == nullptr;
        })) << source.manager.pairingAttempts();
        EXPECT_FALSE(source.manager.certificateManager()->pinnedRemoteCertificate().has_value());
        EXPECT_EQ(source.manager.pairingManager()->failedConfirmations(), 0);

        ConnectionManager destination;
        pair(source, destination);
        EXPECT_EQ(source.manager.state().kind, Kind::connected);
    }
}

TEST(PairingKills, TheDestinationSaysItLostTheSourceAndPairsWithAFreshOneAtOnce)
{
    for (const Step step : kSteps) {
        SCOPED_TRACE(int(step));
        ScriptedSource dying([step](TransferSession* s) { return sourceDiesAfter(step, s); }, true);
        ManualClock clock;
        ConnectionManager destination(onLoopback(&clock));
        const QString text = errorText([&] {
            runTask(destination.connectToPeer(loopbackPeer(dying.server.serverPort())));
            runTask(destination.pairSecurely(QStringLiteral("123456")));
        });
        // Lost, not a wrong code nor a source that cannot pair securely.
        EXPECT_TRUE(text.startsWith(QStringLiteral("Connection failed"))
                    || text == ConnectionError::tlsHandshakeFailed().description())
            << text.toStdString();
        EXPECT_EQ(destination.transferSession(), nullptr);
        EXPECT_FALSE(destination.certificateManager()->pinnedRemoteCertificate().has_value());

        Source fresh;
        pair(fresh, destination);
        EXPECT_EQ(destination.state().kind, Kind::connected);
    }
}
