// SPDX-License-Identifier: Apache-2.0
#pragma once

// A source on loopback and the strangers that connect to it, for the
// connection tests that run both ends in one process.
#include "connection/ConnectionManager.h"
#include "platform/SslServer.h"
#include "support/CoroTest.h"
#include "support/TestTls.h"
#include "transfer/TransferSession.h"
#include "transfer/WireFormat.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>

#include <functional>

namespace kivo::test {

inline DiscoveredPeer loopbackPeer(quint16 port, const QString& code = QStringLiteral("123456"))
{
    return peerForAddress(QStringLiteral("127.0.0.1"), port, code);
}

inline QByteArray frameOf(MessageType type)
{
    MessageHeader h;
    h.type = type;
    return WireFormat::encodeMessage(h);
}

inline ConnectionManager::Dependencies onLoopback(Clock* clock = nullptr, ConnectionManager::Timeouts timeouts = {})
{
    ConnectionManager::Dependencies deps;
    deps.listenAddress = QHostAddress::LocalHost;
    deps.clock = clock;
    deps.timeouts = timeouts;
    return deps;
}

struct Source {
    ConnectionManager manager;
    explicit Source(Clock* clock = nullptr, ConnectionManager::Timeouts timeouts = {}) : Source(onLoopback(clock, timeouts)) {}
    explicit Source(ConnectionManager::Dependencies deps) : manager(std::move(deps))
    {
        manager.startAdvertising(QStringLiteral("src-host"), QStringLiteral("ann"), 0);
    }
    quint16 port() const { return manager.listeningPort(); }
    QString code() { return *manager.pairingManager()->pairingCode(); }
    DiscoveredPeer peer() { return loopbackPeer(port(), code()); }
};

// Connects and proves the code; returns once the source believed it.
inline void pair(Source& source, ConnectionManager& destination)
{
    runTask(destination.connectToPeer(source.peer()));
    runTask(destination.pairSecurely(source.code()));
    ASSERT_TRUE(waitUntil([&] { return source.manager.pairingManager()->isConfirmedBoth(); }));
}

// A TLS client with its own certificate that says nothing unless told.
inline void connectStranger(QSslSocket& stranger, quint16 port)
{
    stranger.setSslConfiguration(testTlsConfiguration(makeTestIdentity()));
    stranger.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
}

// A source whose side of the exchange is a script: it takes one connection,
// then is gone for good, and runs `script` on it.
struct ScriptedSource {
    SslServer server;
    std::unique_ptr<TransferSession> session;
    std::optional<QCoro::Task<void>> script;

    ScriptedSource(std::function<QCoro::Task<void>(TransferSession*)> run, bool selectsPairing)
    {
        QSslConfiguration tls = testTlsConfiguration(makeTestIdentity());
        if (selectsPairing)
            tls.setAllowedNextProtocols({CertificateManager::kPairingProtocol});
        server.setSslConfiguration(tls);
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &SslServer::socketAccepted, &server, [this, run](QSslSocket* socket) {
            server.close();
            session = std::make_unique<TransferSession>(socket, TransferSession::Security::tls,
                                                        [](QSslSocket& s) { s.startServerEncryption(); });
            script.emplace(run(session.get()));
        });
    }
};

// kivo-tls-relay in front of a port on loopback: a machine in the middle that
// terminates TLS with its own certificate on both legs and knows no code.
struct TlsRelay {
    QProcess process;
    QByteArray output;
    quint16 port = 0;

    explicit TlsRelay(quint16 to, const QString& program = qEnvironmentVariable("KIVO_BUILD_DIR")
                                                           + QStringLiteral("/tests/connection/kivo-tls-relay"))
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { output += process.readAllStandardOutput(); });
        process.start(program, {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--to"),
                                QStringLiteral("127.0.0.1:%1").arg(to)});
        static const QRegularExpression listening(QStringLiteral("^listening (\\d+)$"), QRegularExpression::MultilineOption);
        waitUntil([&] { return listening.match(QString::fromUtf8(output)).hasMatch(); });
        port = listening.match(QString::fromUtf8(output)).captured(1).toUShort();
    }
    ~TlsRelay()
    {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace kivo::test
