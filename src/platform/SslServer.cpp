// SPDX-License-Identifier: Apache-2.0
#include "platform/SslServer.h"

namespace kivo {

void SslServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QSslSocket;
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    socket->setSslConfiguration(m_config);
    Q_EMIT socketAccepted(socket);
}

} // namespace kivo
