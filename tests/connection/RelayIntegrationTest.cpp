// SPDX-License-Identifier: Apache-2.0
// A machine in the middle (kivo-tls-relay) between a destination and its
// source, over loopback: real TLS on both legs, each end pinning what it saw.
#include "connection/ConnectionManager.h"
#include "connection/PairingRig.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using Kind = ConnectionState::Kind;

// Each end pins the relay, which knows no code. The key exchange, bound to the
// pinned certificate pair, fails across it (the two ends bind different pairs):
// the destination is told the codes did not match and the source never connects.
TEST(MachineInTheMiddle, TheKeyExchangeOverThePinsFailsThroughTheRelay)
{
    ConnectionManager source(onLoopback());
    source.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    TlsRelay relay(source.listeningPort(), QStringLiteral(KIVO_TLS_RELAY));
    ASSERT_NE(relay.port, 0);
    const QString code = *source.pairingManager()->pairingCode();
    ConnectionManager destination;
    runTask(destination.connectToPeer(peerForAddress(QStringLiteral("127.0.0.1"), relay.port, code)));
    ASSERT_TRUE(waitUntil([&] { return source.pairingAttempts() == 1; }));
    const auto destinationPinned = destination.certificateManager()->pinnedRemoteCertificate();
    ASSERT_TRUE(destinationPinned);
    EXPECT_NE(*destinationPinned, source.certificateManager()->localCertificate()) << "the destination pinned the relay";

    EXPECT_EQ(errorText([&] { runTask(destination.pairSecurely(code)); }), "The pairing codes did not match. Please try again.");
    EXPECT_EQ(destination.transferSession(), nullptr);
    EXPECT_FALSE(destination.pairingManager()->deriveTransferKey().has_value());
    EXPECT_NE(source.state().kind, Kind::connected);
    EXPECT_FALSE(source.certificateManager()->pinnedRemoteCertificate().has_value());
}
