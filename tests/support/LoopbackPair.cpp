// SPDX-License-Identifier: Apache-2.0
#include "support/LoopbackPair.h"

#include "support/CoroTest.h"
#include "support/TestTls.h"

#include <QHostAddress>

namespace kivo::test {

LoopbackPair makeLoopbackPair(TransferSession::Security security)
{
    LoopbackPair pair;
    const bool tls = security == TransferSession::Security::tls;
    pair.server = std::make_unique<SslServer>();
    if (tls)
        pair.server->setSslConfiguration(testTlsConfiguration(makeTestIdentity(QStringLiteral("server"))));
    if (!pair.server->listen(QHostAddress::LocalHost, 0))
        throw std::runtime_error("listen failed");

    QObject::connect(pair.server.get(), &SslServer::socketAccepted, pair.server.get(), [&pair, security, tls](QSslSocket* s) {
        pair.accepted = std::make_unique<TransferSession>(s, security, [tls](QSslSocket& sock) {
            if (tls)
                sock.startServerEncryption();
        });
    });

    auto* socket = new QSslSocket;
    const quint16 port = pair.server->serverPort();
    if (tls)
        socket->setSslConfiguration(testTlsConfiguration(makeTestIdentity(QStringLiteral("client"))));
    pair.client = std::make_unique<TransferSession>(socket, security, [tls, port](QSslSocket& sock) {
        if (tls)
            sock.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port, QStringLiteral("kivo"));
        else
            sock.connectToHost(QHostAddress::LocalHost, port);
    });

    auto clientReady = pair.client->connect();
    if (!waitUntil([&] { return pair.accepted != nullptr; }))
        throw std::runtime_error("no connection accepted");
    runTask(pair.accepted->connect());
    runTask(std::move(clientReady));
    return pair;
}

} // namespace kivo::test
