// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>

namespace kivo {

// A listening socket that hands out each accepted connection as a QSslSocket,
// configured but not yet encrypting: the receiver decides when to start the
// server side of the handshake (or to use it as plain TCP).
class SslServer : public QTcpServer {
    Q_OBJECT
public:
    explicit SslServer(QObject* parent = nullptr) : QTcpServer(parent) {}

    void setSslConfiguration(const QSslConfiguration& config) { m_config = config; }
    const QSslConfiguration& sslConfiguration() const { return m_config; }

Q_SIGNALS:
    // The receiver takes ownership of the socket.
    void socketAccepted(QSslSocket* socket);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslConfiguration m_config = QSslConfiguration::defaultConfiguration();
};

} // namespace kivo
