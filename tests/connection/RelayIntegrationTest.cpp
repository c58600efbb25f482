// A machine in the middle (kivo-tls-relay) between a destination and its
// source, over loopback: real TLS on both legs, each end pinning what it saw.
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"
#include "transfer/WireFormat.h"

#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using Kind = ConnectionState::Kind;

namespace {

ConnectionManager::Dependencies onLoopback()
{
    ConnectionManager::Dependencies deps;
    deps.listenAddress = QHostAddress::LocalHost;
    return deps;
}

class Relay {
public:
    explicit Relay(quint16 sourcePort)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KIVO_TLS_RELAY),
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--to"),
                         QStringLiteral("127.0.0.1:%1").arg(sourcePort)});
        static const QRegularExpression listening(QStringLiteral("^listening (\\d+)$"), QRegularExpression::MultilineOption);
        waitUntil([&] {
            m_output += m_process.readAllStandardOutput();
            return listening.match(QString::fromUtf8(m_output)).hasMatch();
        });
        port = listening.match(QString::fromUtf8(m_output)).captured(1).toUShort();
    }
    ~Relay()
    {
        m_process.terminate();
        m_process.waitForFinished();
    }
    quint16 port = 0;

private:
    QProcess m_process;
    QByteArray m_output;
};

// What each end of one pairing ended with.
struct PairingOutcome {
    bool reachedTransfer = false;
    QString failure; // what the destination was told, empty on success
    QSslCertificate sourceOwn, sourcePinned, destinationOwn, destinationPinned;
};

// Pairing by the destination that typed the source's code, either straight to
// the source or through a relay. The transfer is reached when both ends are
// connected and the source's first message arrives.
PairingOutcome pair(bool throughRelay)
{
    ConnectionManager source(onLoopback());
    source.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    std::optional<Relay> relay;
    if (throughRelay)
        relay.emplace(source.listeningPort());
    PairingOutcome out;
    const QString code = *source.pairingManager()->pairingCode();
    ConnectionManager destination;
    const quint16 port = relay ? relay->port : source.listeningPort();
    EXPECT_NE(port, 0);
    bool connected = false;
    try {
        runTask(destination.connectToPeer(peerForAddress(QStringLiteral("127.0.0.1"), port, code)));
        EXPECT_TRUE(waitUntil([&] { return source.incomingPeerReady(); }));
        // What each end pinned, before a failed pairing makes them forget it.
        out.sourcePinned = source.certificateManager()->pinnedRemoteCertificate().value_or(QSslCertificate());
        out.destinationPinned = destination.certificateManager()->pinnedRemoteCertificate().value_or(QSslCertificate());
        runTask(destination.pairSecurely(code));
        connected = waitUntil([&] { return source.state().kind == Kind::connected; })
            && destination.state().kind == Kind::connected;
    } catch (const std::exception& e) {
        out.failure = describe(e);
    }
    out.sourceOwn = source.certificateManager()->localCertificate();
    out.destinationOwn = destination.certificateManager()->localCertificate();
    if (connected) {
        MessageHeader first;
        first.type = MessageType::manifest;
        runTask(source.transferSession()->sendRaw(WireFormat::encodeMessage(first)));
        out.reachedTransfer = runTask(destination.transferSession()->receiveMessage()).header.type == MessageType::manifest;
    }
    return out;
}

} // namespace

// Each end pins the relay, which knows no code. The key exchange, bound to the
// pinned certificate pair, fails across it (the two ends bind different pairs):
// the destination is told the codes did not match and the transfer never begins.
TEST(MachineInTheMiddle, TheKeyExchangeOverThePinsFailsThroughTheRelay)
{
    struct Case {
        bool throughRelay;
        bool reachesTransfer;
        const char* failure;
    };
    for (const Case c : {Case{false, true, ""}, Case{true, false, "The pairing codes did not match. Please try again."}}) {
        SCOPED_TRACE(c.throughRelay ? "through the relay" : "direct");
        const PairingOutcome p = pair(c.throughRelay);
        EXPECT_EQ(p.reachedTransfer, c.reachesTransfer);
        EXPECT_EQ(p.failure, QString::fromUtf8(c.failure));
        ASSERT_FALSE(p.sourcePinned.isNull());
        ASSERT_FALSE(p.destinationPinned.isNull());
        // Direct, each end pinned the other; relayed, both pinned the relay.
        EXPECT_EQ(p.sourcePinned == p.destinationOwn, !c.throughRelay);
        EXPECT_EQ(p.destinationPinned == p.sourceOwn, !c.throughRelay);
        EXPECT_EQ(p.sourcePinned == p.destinationPinned, c.throughRelay);
    }
}
