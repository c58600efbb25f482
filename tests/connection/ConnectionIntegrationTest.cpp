// SPDX-License-Identifier: Apache-2.0
#include "connection/ConnectionManager.h"
#include "connection/PairingRig.h"
#include "connection/PairingChannel.h"
#include "connection/SecurePairing.h"
#include "connection/SecurePairingMessages.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"
#include "support/ManualClock.h"
#include "support/TestTls.h"
#include "transfer/TransferError.h"
#include "transfer/WireFormat.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;

namespace {

// A code that is well formed and not the source's.
QString otherCode(const QString& code)
{
    return QStringLiteral("%1").arg((code.toInt() + 1) % 1000000, 6, 10, QLatin1Char('0'));
}

// One wrong attempt by a fresh destination; the error text it ends with.
QString wrongAttempt(Source& source)
{
    ConnectionManager destination;
    runTask(destination.connectToPeer(source.peer()));
    const QString text = errorText([&] { runTask(destination.pairSecurely(otherCode(source.code()))); });
    EXPECT_EQ(destination.transferSession(), nullptr);
    EXPECT_FALSE(destination.pairingManager()->deriveTransferKey().has_value());
    // The source hangs up too.
    EXPECT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 0; }));
    EXPECT_EQ(source.manager.transferSession(), nullptr);
    EXPECT_FALSE(source.manager.certificateManager()->pinnedRemoteCertificate().has_value());
    return text;
}

// The messages an old destination sends: none but a bare pairingConfirm.
QByteArray legacyConfirm() { return frameOf(MessageType::pairingConfirm); }

int socketOption(qintptr fd, int level, int name)
{
    int value = -1;
    socklen_t length = sizeof value;
    getsockopt(static_cast<int>(fd), level, name, &value, &length);
    return value;
}

// The openssl tool's s_server, with an identity the tool made.
struct OpensslServer {
    QTemporaryDir dir;
    QProcess process;
    QByteArray output;
    quint16 port = 0;
    QString cert() const { return dir.filePath(QStringLiteral("cert.pem")); }

    explicit OpensslServer(const QStringList& extra = {})
    {
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        QProcess::execute(QStringLiteral("openssl"),
                          QStringList{"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj",
                                       "/CN=independent", "-days", "1", "-keyout"} << key << QStringLiteral("-out") << cert());
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] { output += process.readAll(); });
        process.start(QStringLiteral("openssl"), QStringList{"s_server", "-accept", "127.0.0.1:0", "-verify", "1", "-cert"}
                                                     << cert() << QStringLiteral("-key") << key << extra);
        static const QRegularExpression accept(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)"));
        waitUntil([&] { return accept.match(QString::fromUtf8(output)).hasMatch(); });
        port = accept.match(QString::fromUtf8(output)).captured(1).toUShort();
    }
    ~OpensslServer()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

TEST(SecureConnection, PairsOverPinnedTlsAndBothSidesReachConnected)
{
    Source source;
    ASSERT_NE(source.port(), 0);
    ConnectionManager destination;
    runTask(destination.connectToPeer(source.peer()));
    EXPECT_EQ(destination.certificateManager()->pinnedRemoteCertificate(),
              source.manager.certificateManager()->localCertificate());
    ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 1; }));

    // Nothing is confirmed, or pinned at the source, until the destination proves the code.
    EXPECT_FALSE(source.manager.pairingManager()->isRemotelyConfirmed());
    EXPECT_FALSE(source.manager.certificateManager()->pinnedRemoteCertificate().has_value());
    EXPECT_FALSE(source.manager.incomingPeerReady());
    runTask(destination.pairSecurely(source.code()));
    EXPECT_EQ(destination.state().kind, Kind::connected);
    ASSERT_TRUE(waitUntil([&] { return source.manager.state().kind == Kind::connected; }));
    EXPECT_FALSE(source.manager.pairedUnverified());
    EXPECT_TRUE(source.manager.incomingPeerReady());
    EXPECT_EQ(source.manager.pairingAttempts(), 0);
    EXPECT_EQ(source.manager.certificateManager()->pinnedRemoteCertificate(),
              destination.certificateManager()->localCertificate());

    // Keep-alive on both ends.
    for (auto* session : {destination.transferSession(), source.manager.transferSession()}) {
        const qintptr fd = session->socket()->socketDescriptor();
        EXPECT_EQ(socketOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(socketOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 30);
    }

    // Both ends hold the same 32-byte key, which is what their engines get.
    const auto sourceKey = source.manager.pairingManager()->deriveTransferKey();
    const auto destinationKey = destination.pairingManager()->deriveTransferKey();
    ASSERT_TRUE(sourceKey && destinationKey);
    EXPECT_EQ(*sourceKey, *destinationKey);

    destination.disconnect(DisconnectionReason::userCancelled);
    EXPECT_FALSE(destination.certificateManager()->pinnedRemoteCertificate().has_value());
}

TEST(SecurePairingOverTls, WrongCodesFailWithoutKeysAndTheThirdUsesTheCodeUp)
{
    Source source;
    const QString code = source.code();
    const QString mismatch = QStringLiteral("The pairing codes did not match. Please try again.");
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(source.manager.pairingManager()->isExpired());
        EXPECT_EQ(wrongAttempt(source), mismatch);
        EXPECT_FALSE(source.manager.pairingManager()->hasAgreedKey());
    }
    // Used up: the right code no longer pairs, and the answer says why.
    EXPECT_TRUE(source.manager.pairingManager()->isExpired());
    ConnectionManager late;
    runTask(late.connectToPeer(source.peer()));
    EXPECT_EQ(errorText([&] { runTask(late.pairSecurely(code)); }), "The pairing session expired. Please try again.");
    EXPECT_FALSE(source.manager.pairingManager()->isConfirmedBoth());

    // A fresh code starts the count again and pairs.
    source.manager.stopAdvertising();
    source.manager.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    ConnectionManager destination;
    pair(source, destination);
    EXPECT_EQ(source.manager.state().kind, Kind::connected);
}

// The code runs out between the shares and the confirmation (the exchange
// driven step by step, as any peer could): the confirmation is answered with
// the expiry, not believed, and the source drops the peer. A request after the
// code ran out is WrongCodesFailWithoutKeysAndTheThirdUsesTheCodeUp's.
TEST(SecurePairingOverTls, AConfirmationAfterTheCodeExpiredIsAnsweredWithTheExpiry)
{
    ManualClock clock;
    ConnectionManager::Timeouts patient;
    patient.firstMessage = patient.pairingReply = 2 * PairingManager::kCodeLifetime; // the code runs out first
    Source source(&clock, patient);
    ConnectionManager client;
    runTask(client.connectToPeer(source.peer()));
    TransferSession* session = client.transferSession();
    SecurePairing pake(DeviceRole::destination, source.code(),
                       SecurePairing::channelBinding(source.manager.certificateManager()->localCertificate().toDer(),
                                                     client.certificateManager()->localCertificate().toDer()));
    runTask(pairingchannel::send(session, MessageType::pairingRequest, PairingShare{PairingShare::kCurrentVersion, pake.start(), pake.nonce()}.toJson()));
    const Message response = runTask(pairingchannel::receive(session));
    ASSERT_EQ(response.header.type, MessageType::pairingResponse);
    PairingConfirmation confirmation;
    confirmation.confirmation = pake.receivePeerShare(PairingShare::fromJson(pairingchannel::payloadObject(response)).share,
                                                      PairingShare::fromJson(pairingchannel::payloadObject(response)).nonce);

    clock.advance(PairingManager::kCodeLifetime);
    ASSERT_TRUE(source.manager.pairingManager()->isExpired());
    runTask(pairingchannel::send(session, MessageType::pairingConfirm, confirmation.toJson()));
    const Message answer = runTask(pairingchannel::receive(session));
    EXPECT_EQ(answer.header.type, MessageType::error);
    EXPECT_EQ(answer.header.errorCode, QString::fromLatin1(ConnectionManager::kErrorPairingExpired));
    EXPECT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 0; }));
    EXPECT_EQ(source.manager.transferSession(), nullptr);
    EXPECT_FALSE(source.manager.pairingManager()->hasAgreedKey());
}

TEST(SecureConnection, PinnedDestinationRefusesAnotherServerUntilDisconnected)
{
    Source first;
    Source impostor;
    ConnectionManager destination;
    pair(first, destination);
    TransferSession* paired = destination.transferSession();

    EXPECT_EQ(errorText([&] { runTask(destination.connectToPeer(impostor.peer())); }),
              "Could not establish a secure connection. Please try again.");
    EXPECT_EQ(destination.transferSession(), paired);
    EXPECT_FALSE(impostor.manager.incomingPeerReady());

    // The impostor takes one connection at a time: its failed one ends first.
    ASSERT_TRUE(waitUntil([&] { return impostor.manager.state().kind == Kind::failed; }));
    destination.disconnect(DisconnectionReason::userCancelled);
    runTask(destination.connectToPeer(impostor.peer()));
    EXPECT_EQ(destination.certificateManager()->pinnedRemoteCertificate(),
              impostor.manager.certificateManager()->localCertificate());
}

// The independent server stands for a source reached by address: one that
// selects no protocol in its handshake only knows the bare confirmation, which
// it gets first when the user allowed that; otherwise it is asked for the proof,
// and its silence is reported as such, not as a refusal. The code never crosses
// the wire. (Refusing an advertisement without the secure marker is ConnectionStates'.)
TEST(IndependentPeers, TheFirstMessageFollowsTheProtocolTheSourceSelected)
{
    struct Case {
        bool selects;
        bool allowed;
        const char* first;
        const char* never;
    };
    const Case cases[] = {
        {false, true, "\"pairingConfirm\"", "\"pairingRequest\""},
        {false, false, "\"pairingRequest\"", "\"pairingConfirm\""},
        {true, true, "\"pairingRequest\"", "\"pairingConfirm\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "selects " << c.selects << ", allowed " << c.allowed);
        OpensslServer server(c.selects ? QStringList{"-alpn", CertificateManager::kPairingProtocol} : QStringList{});
        ASSERT_NE(server.port, 0) << server.output.toStdString();
        ManualClock clock;
        ConnectionManager::Dependencies deps;
        deps.clock = &clock;
        ConnectionManager destination(deps);
        destination.setAllowUnverifiedPairing(c.allowed);
        runTask(destination.connectToPeer(loopbackPeer(server.port)));
        EXPECT_EQ(destination.certificateManager()->pinnedRemoteCertificate(), QSslCertificate::fromPath(server.cert()).value(0));
        EXPECT_EQ(destination.peerSelectedSecurePairing(), c.selects);
        auto attempt = destination.pairSecurely(QStringLiteral("123456"));
        ASSERT_TRUE(waitUntil([&] { return server.output.contains(c.first); })) << server.output.toStdString();
        if (!c.selects && c.allowed) {
            runTask(std::move(attempt));
            EXPECT_EQ(destination.state().kind, Kind::connected);
            EXPECT_TRUE(destination.pairedUnverified());
        } else {
            clock.advance(ConnectionManager::Timeouts{}.pairingReply);
            EXPECT_EQ(errorText([&] { runTask(std::move(attempt)); }), "The other computer did not answer.");
            EXPECT_EQ(destination.state(), ConnectionState::failed(ConnectionError::noAnswer()));
            EXPECT_FALSE(destination.pairingManager()->deriveTransferKey().has_value());
        }
        EXPECT_FALSE(server.output.contains(c.never)) << server.output.toStdString();
        EXPECT_FALSE(server.output.contains("123456"));
    }
}

// Two kivo ends always select the secure exchange, allowed or not; a stranger
// that selected it and then sends the bare confirmation is stripping the proof.
TEST(IndependentPeers, KivoEndsSelectTheSecureExchangeAndTheSourceRefusesItsDowngrade)
{
    Source source;
    source.manager.setAllowUnverifiedPairing(true);
    ConnectionManager destination;
    destination.setAllowUnverifiedPairing(true);
    pair(source, destination);
    EXPECT_TRUE(destination.peerSelectedSecurePairing());
    EXPECT_FALSE(destination.pairedUnverified());
    EXPECT_FALSE(source.manager.pairedUnverified());

    for (const bool offers : {true, false}) {
        SCOPED_TRACE(offers ? "offers the protocol" : "offers none");
        Source other;
        other.manager.setAllowUnverifiedPairing(true);
        QSslSocket stranger;
        QSslConfiguration tls = testTlsConfiguration(makeTestIdentity());
        if (offers)
            tls.setAllowedNextProtocols({CertificateManager::kPairingProtocol});
        stranger.setSslConfiguration(tls);
        stranger.connectToHostEncrypted(QStringLiteral("127.0.0.1"), other.port());
        ASSERT_TRUE(waitUntil([&] { return stranger.isEncrypted(); }));
        stranger.write(legacyConfirm());
        if (offers) {
            QByteArray heard;
            ASSERT_TRUE(waitUntil([&] {
                heard += stranger.readAll();
                return stranger.state() == QAbstractSocket::UnconnectedState;
            }));
            EXPECT_TRUE((heard + stranger.readAll()).contains("insecure_pairing")) << heard.toStdString();
            EXPECT_FALSE(other.manager.pairingManager()->isRemotelyConfirmed());
        } else {
            ASSERT_TRUE(waitUntil([&] { return other.manager.state().kind == Kind::connected; }));
            EXPECT_TRUE(other.manager.pairedUnverified());
        }
    }
}

// Each stranger is dropped without being believed, and the real destination pairs after it.
TEST(HostilePeer, LeavesTheSourceListeningForTheRealDestination)
{
    MessageHeader huge; // announces a payload far beyond any share: refused before it is read
    huge.type = MessageType::pairingRequest;
    huge.payloadSize = 0x7fffffff;
    const std::pair<const char*, QByteArray> cases[] = {
        {"plain garbage, no TLS", {}},
        {"oversize header", QByteArray::fromHex("00100001") + QByteArray(64, '{')},
        {"wrong message", frameOf(MessageType::manifest)},
        {"undecodable header", QByteArray::fromHex("00000005") + "{{{{{"},
        {"huge pairing payload", WireFormat::encodeMessage(huge) + QByteArray(64, 'x')},
        // What an old destination sends: a confirmation without any proof of the code.
        {"bare confirmation", legacyConfirm()},
    };
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        Source source;
        QSslSocket socket;
        if (bytes.isEmpty()) {
            socket.connectToHost(QStringLiteral("127.0.0.1"), source.port());
            ASSERT_TRUE(socket.waitForConnected(10000));
            socket.write("GET / HTTP/1.0\r\n\r\n");
            ASSERT_TRUE(waitUntil([&] { return source.manager.state().kind == Kind::failed; }));
            EXPECT_EQ(source.manager.state().error, ConnectionError::tlsHandshakeFailed());
        } else {
            connectStranger(socket, source.port());
            ASSERT_TRUE(waitUntil([&] { return socket.isEncrypted(); }));
            socket.write(bytes);
            // Everything the source said arrives before the close: read until the connection is gone, not before.
            QByteArray heard;
            ASSERT_TRUE(waitUntil([&] {
                heard += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            }));
            heard += socket.readAll();
            ASSERT_TRUE(waitUntil([&] { return source.manager.pairingAttempts() == 0; }));
            EXPECT_FALSE(source.manager.incomingPeerReady());
            EXPECT_EQ(source.manager.transferSession(), nullptr);
            EXPECT_FALSE(source.manager.certificateManager()->pinnedRemoteCertificate().has_value());
            EXPECT_EQ(source.manager.state().kind, Kind::pairingInitiated);
            if (bytes == legacyConfirm()) {
                EXPECT_TRUE(heard.contains("insecure_pairing")) << heard.toStdString();
            }
        }
        EXPECT_FALSE(source.manager.pairingManager()->isRemotelyConfirmed());

        ConnectionManager destination;
        pair(source, destination);
        EXPECT_EQ(source.manager.state().kind, Kind::connected);
    }
}
