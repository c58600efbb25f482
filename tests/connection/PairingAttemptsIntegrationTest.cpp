// SPDX-License-Identifier: Apache-2.0
// Strangers on the network against a source waiting for its destination: the
// real destination pairs whatever they do, and the source stays bounded.
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

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <deque>

using namespace kivo;
using namespace kivo::test;
using Kind = ConnectionState::Kind;

namespace {

// A stranger that sends a well-formed share for a code it guessed, then waits.
void sendGuessedShare(QSslSocket& stranger, Source& source)
{
    const QByteArray ours = stranger.sslConfiguration().localCertificate().toDer();
    SecurePairing guess(DeviceRole::destination, QStringLiteral("000000"),
                        SecurePairing::channelBinding(source.manager.certificateManager()->localCertificate().toDer(),
                                                      ours.isEmpty() ? QByteArray("none") : ours));
    MessageHeader h;
    h.type = MessageType::pairingRequest;
    const QByteArray body = QJsonDocument(PairingShare{PairingShare::kCurrentVersion, guess.start(), guess.nonce()}.toJson()).toJson(QJsonDocument::Compact);
    h.payloadSize = std::uint32_t(body.size());
    stranger.write(WireFormat::encodeMessage(h, body));
}

} // namespace

// Three TLS squatters that say nothing, one that sends garbage and a bare TCP
// connection fill the slots; no deadline passes (the clock stands still), yet
// the destination pairs and the strangers are let go once it has.
TEST(PairingAttempts, TheDestinationPairsPastSilentSquattersAndGarbage)
{
    ManualClock clock;
    Source source(&clock);
    std::deque<QSslSocket> squatters(3);
    for (QSslSocket& s : squatters)
        connectStranger(s, source.port());
    ASSERT_TRUE(waitUntil([&] { return std::all_of(squatters.begin(), squatters.end(), [](auto& s) { return s.isEncrypted(); }); }));
    QSslSocket garbage;
    connectStranger(garbage, source.port());
    ASSERT_TRUE(waitUntil([&] { return garbage.isEncrypted(); }));
    garbage.write(QByteArray::fromHex("00000005") + "{{{{{");
    ASSERT_TRUE(waitUntil([&] { return garbage.state() == QAbstractSocket::UnconnectedState; }));
    QTcpSocket bare;
    bare.connectToHost(QStringLiteral("127.0.0.1"), source.port());
    ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == PairingSlots::kCapacity; }))
        << source.manager.pairingAttempts();
    EXPECT_FALSE(source.manager.incomingPeerReady()); // nobody is proving a code

    ConnectionManager destination;
    pair(source, destination);
    EXPECT_EQ(source.manager.state().kind, Kind::connected);
    EXPECT_EQ(source.manager.certificateManager()->pinnedRemoteCertificate(),
              destination.certificateManager()->localCertificate());
    const auto closed = [](const QAbstractSocket& s) { return s.state() == QAbstractSocket::UnconnectedState; };
    EXPECT_TRUE(waitUntil([&] { return std::all_of(squatters.begin(), squatters.end(), closed) && closed(bare); }));
    EXPECT_EQ(source.manager.pairingAttempts(), 0);
}

// A flood of idle connections: each newcomer displaces the oldest, so the source
// never holds more than its slots, and the destination still gets in.
TEST(PairingAttempts, AThousandIdleConnectionsNeitherExhaustTheSourceNorKeepTheDestinationOut)
{
    constexpr int kFlood = 1000;
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4 * kFlood));
    setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 3 * kFlood)
        GTEST_SKIP() << "not enough file descriptors for the flood";

    ManualClock clock;
    Source source(&clock);
    std::deque<QTcpSocket> flood(kFlood);
    qsizetype mostHeld = 0;
    const auto watch = [&] {
        // Every session the source holds for a stranger is an open descriptor.
        mostHeld = std::max({mostHeld, source.manager.pairingAttempts(), source.manager.findChildren<TransferSession*>().size()});
    };
    const auto closed = [&] {
        return std::count_if(flood.begin(), flood.end(), [](const QTcpSocket& s) {
            return s.state() == QAbstractSocket::UnconnectedState;
        });
    };
    // In bursts the listen queue takes without dropping any.
    constexpr int kBurst = 50;
    for (int from = 0; from < kFlood; from += kBurst) {
        for (int i = from; i < from + kBurst; ++i)
            flood[std::size_t(i)].connectToHost(QStringLiteral("127.0.0.1"), source.port());
        ASSERT_TRUE(waitUntil([&] {
            watch();
            return std::all_of(flood.begin() + from, flood.begin() + from + kBurst,
                               [](const QTcpSocket& s) { return s.state() != QAbstractSocket::ConnectingState; });
        }));
    }
    // All but the newest few are let go by the source itself.
    ASSERT_TRUE(waitUntil([&] {
        watch();
        return closed() >= kFlood - PairingSlots::kCapacity;
    })) << closed();
    ASSERT_TRUE(waitUntil([&] { watch(); return source.manager.pairingAttempts() == PairingSlots::kCapacity; }));

    ConnectionManager destination;
    pair(source, destination);
    watch();
    EXPECT_EQ(source.manager.state().kind, Kind::connected);
    EXPECT_LE(mostHeld, PairingSlots::kCapacity + 1); // the slots, and one on its way out
}

// TLS probes that connect and hang up, over and over, use up nothing: the
// destination arriving among them pairs at once (the clock never moves).
TEST(PairingAttempts, AClientReconnectingWithoutPauseDoesNotKeepTheDestinationOut)
{
    ManualClock clock;
    Source source(&clock);
    QSslSocket prober;
    prober.setSslConfiguration(testTlsConfiguration(makeTestIdentity()));
    int probes = 0;
    bool stop = false;
    QObject::connect(&prober, &QSslSocket::encrypted, &prober, [&] { prober.abort(); });
    QObject::connect(&prober, &QAbstractSocket::stateChanged, &prober, [&](QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::UnconnectedState || stop)
            return;
        ++probes;
        QMetaObject::invokeMethod(&prober, [&] { prober.connectToHostEncrypted(QStringLiteral("127.0.0.1"), source.port()); },
                                  Qt::QueuedConnection);
    });
    prober.connectToHostEncrypted(QStringLiteral("127.0.0.1"), source.port());
    ASSERT_TRUE(waitUntil([&] { return probes >= 4 * ConnectionManager::Timeouts{}.connectionBurst; }));

    ConnectionManager destination;
    pair(source, destination); // while the prober keeps going
    stop = true;
    EXPECT_EQ(source.manager.state().kind, Kind::connected);
    EXPECT_GT(probes, 4 * ConnectionManager::Timeouts{}.connectionBurst);
}

// Shares are what the source rations. One beyond the ration is told the source
// is busy; the destination says so and tries again until its window closes.
TEST(PairingAttempts, ASourceOutOfSharesAnswersBusyAndTheDestinationTriesAgain)
{
    ManualClock clock;
    ConnectionManager::Timeouts rationed;
    rationed.connectionBurst = 1;
    rationed.connectionRefill = std::chrono::milliseconds(2000);
    rationed.busyRetryPause = std::chrono::milliseconds(1000);
    Source source(&clock, rationed);
    QSslSocket guesser;
    connectStranger(guesser, source.port());
    ASSERT_TRUE(waitUntil([&] { return guesser.isEncrypted(); }));
    sendGuessedShare(guesser, source);
    ASSERT_TRUE(waitUntil([&] { return guesser.bytesAvailable() > 0; })); // answered: the ration is spent
    EXPECT_TRUE(source.manager.incomingPeerReady());

    ConnectionManager::Timeouts impatient = rationed;
    impatient.busyRetryWindow = std::chrono::milliseconds(0);
    ConnectionManager hasty(onLoopback(&clock, impatient));
    runTask(hasty.connectToPeer(source.peer()));
    EXPECT_EQ(errorText([&] { runTask(hasty.pairSecurely(source.code())); }),
              "The other computer is busy pairing with another computer.");
    EXPECT_EQ(hasty.state(), ConnectionState::failed(ConnectionError::peerBusy()));

    ConnectionManager destination(onLoopback(&clock, rationed));
    QSignalSpy retrying(&destination, &ConnectionManager::pairingRetrying);
    runTask(destination.connectToPeer(source.peer()));
    runTask(destination.pairSecurely(source.code()));
    ASSERT_TRUE(waitUntil([&] { return source.manager.state().kind == Kind::connected; }));
    ASSERT_GE(retrying.count(), 1);
    EXPECT_EQ(retrying.first().first().toString(), QStringLiteral("The other computer is busy pairing; retrying\u2026"));
    EXPECT_TRUE(waitUntil([&] { return guesser.state() == QAbstractSocket::UnconnectedState; }));
}

// A peer that shows no certificate has nothing to bind the pairing to: it is
// let go before any pairing message, even though another connection's
// certificate was seen a moment before.
TEST(PairingAttempts, APeerWithoutACertificateIsRefusedBeforeAnyPairingMessage)
{
    ManualClock clock;
    Source source(&clock);
    QSslSocket withCertificate;
    connectStranger(withCertificate, source.port());
    ASSERT_TRUE(waitUntil([&] { return withCertificate.isEncrypted(); }));

    QSslSocket anonymous;
    QSslConfiguration bare = QSslConfiguration::defaultConfiguration();
    bare.setPeerVerifyMode(QSslSocket::VerifyNone);
    anonymous.setSslConfiguration(bare);
    anonymous.connectToHostEncrypted(QStringLiteral("127.0.0.1"), source.port());
    QByteArray heard;
    ASSERT_TRUE(waitUntil([&] {
        if (anonymous.isEncrypted() && anonymous.property("sent").isNull()) {
            sendGuessedShare(anonymous, source);
            anonymous.setProperty("sent", true);
        }
        heard += anonymous.readAll();
        return anonymous.state() == QAbstractSocket::UnconnectedState;
    }));
    EXPECT_FALSE(heard.contains("pairingResponse")) << heard.toStdString();
    EXPECT_EQ(source.manager.pairingAttempts(), 1); // the other one, still waiting
    EXPECT_FALSE(source.manager.incomingPeerReady());
    EXPECT_FALSE(source.manager.certificateManager()->pinnedRemoteCertificate().has_value());
}
