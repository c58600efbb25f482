// SPDX-License-Identifier: Apache-2.0
// Every pairing attempt is its own: fresh values from both sides make each
// attempt's keys and name its own, and what one attempt sent is refused in the next.
#include "connection/ConnectionManager.h"
#include "connection/PairingChannel.h"
#include "connection/PairingRig.h"
#include "connection/SecurePairing.h"
#include "connection/SecurePairingMessages.h"
#include "platform/HostNames.h"
#include "platform/NetworkInterfaces.h"
#include "support/CoroTest.h"
#include "transfer/TransferSession.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// Sends `request` as a pairingRequest on a fresh connection from `destination`
// and returns the source's answer.
Message requestOnce(Source& source, ConnectionManager& destination, const QJsonObject& request)
{
    runTask(destination.connectToPeer(source.peer()));
    TransferSession* session = destination.transferSession();
    runTask(pairingchannel::send(session, MessageType::pairingRequest, request));
    const Message answer = runTask(pairingchannel::receive(session));
    destination.disconnect(DisconnectionReason::userCancelled);
    return answer;
}

} // namespace

// Each pairing names its session alike on both ends and afresh, with a key of
// its own. Reached by address over loopback, the source's names and machine
// come with its proof, and loopback is no link at all.
TEST(PairingFreshness, EachPairingHasItsOwnNameAndKeyAndTellsWhoTheSourceIs)
{
    Source source;
    ConnectionManager destination;
    QList<QUuid> names;
    QList<QByteArray> keys;
    for (int attempt = 0; attempt < 2; ++attempt) {
        pair(source, destination);
        ASSERT_TRUE(waitUntil([&] { return source.manager.sessionID().has_value(); }));
        EXPECT_EQ(source.manager.sessionID(), destination.sessionID());
        names << *destination.sessionID();
        keys << *destination.pairingManager()->deriveTransferKey();
        EXPECT_EQ(destination.activeTransport(), std::nullopt);
        ASSERT_TRUE(destination.sourceIdentity().has_value());
        EXPECT_EQ(destination.sourceIdentity()->hostname, QStringLiteral("src-host"));
        EXPECT_EQ(destination.sourceIdentity()->username, QStringLiteral("ann"));
        EXPECT_EQ(destination.sourceIdentity()->architecture, host::machineArchitecture());
        destination.disconnect(DisconnectionReason::userCancelled);
        source.manager.disconnect(DisconnectionReason::userCancelled);
        source.manager.stopAdvertising();
        source.manager.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    }
    EXPECT_NE(names[0], names[1]);
    EXPECT_NE(keys[0], keys[1]);
}

// The source learns who paired from the confirmation that proved the code: the names the
// destination gave, or, from one that gives none (as earlier versions did), the address it
// came from; and the link it came over, by its own end of the connection.
TEST(PairingFreshness, TheSourceKnowsTheDestinationByTheNamesItGaveElseByItsAddress)
{
    std::optional<std::pair<QString, TransportType>> link;
    for (const netif::InterfaceAddress& a : netif::systemInterfaceAddresses()) {
        const auto transport = transportOfDevice(netif::netdevFacts(a.name));
        if (a.ipv4 && a.upAndRunning && transport && !link)
            link = std::pair(a.address, *transport);
    }
    if (!link)
        GTEST_SKIP() << "this machine has no network link with an IPv4 address";
    ConnectionManager::Dependencies deps = onLoopback();
    deps.listenAddress = QHostAddress(link->first);
    Source source(std::move(deps));
    for (const bool named : {true, false}) {
        SCOPED_TRACE(named ? "named" : "nameless");
        ConnectionManager destination;
        if (named)
            destination.setLocalNames(QStringLiteral("dst-host"), QStringLiteral("bob"));
        runTask(destination.connectToPeer(peerForAddress(link->first, source.port(), source.code())));
        runTask(destination.pairSecurely(source.code()));
        ASSERT_TRUE(waitUntil([&] { return source.manager.pairingManager()->isConfirmedBoth(); }));
        const std::optional<PairingIdentity> expected =
            named ? std::optional(PairingIdentity{QStringLiteral("dst-host"), QStringLiteral("bob"), host::machineArchitecture()})
                  : std::nullopt;
        EXPECT_EQ(source.manager.destinationIdentity(), expected);
        EXPECT_EQ(source.manager.peerAddress(), link->first);
        EXPECT_EQ(source.manager.activeTransport(), link->second);
        destination.disconnect(DisconnectionReason::userCancelled);
        source.manager.disconnect(DisconnectionReason::userCancelled);
        source.manager.stopAdvertising();
        EXPECT_EQ(source.manager.destinationIdentity(), std::nullopt);
        EXPECT_EQ(source.manager.peerAddress(), QString());
        source.manager.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    }
}

// A request recorded from one attempt is sent again: whole, with its share
// under a fresh nonce, or with its nonce under a fresh share. Each is refused by
// name, costs no guess at the code, and the real destination pairs afterwards.
TEST(PairingFreshness, ARequestFromAnEarlierAttemptIsRefusedAsAReplay)
{
    Source source;
    ConnectionManager recorder;
    SecurePairing first(DeviceRole::destination, source.code(),
                        SecurePairing::channelBinding(source.manager.certificateManager()->localCertificate().toDer(),
                                                      recorder.certificateManager()->localCertificate().toDer()));
    const PairingShare recorded{PairingShare::kCurrentVersion, first.start(), first.nonce()};
    const Message answered = requestOnce(source, recorder, recorded.toJson());
    ASSERT_EQ(answered.header.type, MessageType::pairingResponse);
    ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 0; }));

    SecurePairing fresh(DeviceRole::destination, source.code(), QByteArray(SecurePairing::kChannelBindingBytes, 'b'));
    const PairingShare replays[] = {
        recorded,
        {PairingShare::kCurrentVersion, recorded.share, fresh.nonce()},
        {PairingShare::kCurrentVersion, fresh.start(), recorded.nonce},
    };
    for (const PairingShare& replay : replays) {
        const Message answer = requestOnce(source, recorder, replay.toJson());
        EXPECT_EQ(answer.header.type, MessageType::error);
        EXPECT_EQ(answer.header.errorCode, QString::fromLatin1(ConnectionManager::kErrorPairingProtocol));
        EXPECT_EQ(answer.header.errorMessage, SecurePairingError(SecurePairingError::Kind::replayedShare).description());
        ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 0; }));
    }
    EXPECT_EQ(source.manager.pairingManager()->failedConfirmations(), 0);
    EXPECT_FALSE(source.manager.pairingManager()->isExpired());

    ConnectionManager destination;
    pair(source, destination);
    EXPECT_EQ(source.manager.state().kind, ConnectionState::Kind::connected);
}
