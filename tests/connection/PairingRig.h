// SPDX-License-Identifier: Apache-2.0
#pragma once

// A source on loopback and the strangers that connect to it, for the
// connection tests that run both ends in one process.
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"
#include "support/TestTls.h"
#include "transfer/WireFormat.h"

#include <QSslSocket>

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
    explicit Source(Clock* clock = nullptr, ConnectionManager::Timeouts timeouts = {}) : manager(onLoopback(clock, timeouts))
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

} // namespace kivo::test
