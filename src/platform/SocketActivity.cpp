// SPDX-License-Identifier: Apache-2.0
#include "platform/SocketActivity.h"

#include <QSslSocket>

namespace kivo {

void SocketActivity::State::fire()
{
    for (const auto& c : connections)
        QObject::disconnect(c);
    connections.clear();
    if (auto h = std::exchange(handle, {}))
        h.resume();
}

void SocketActivity::await_suspend(std::coroutine_handle<> handle)
{
    auto state = std::make_shared<State>();
    state->handle = handle;
    QAbstractSocket* s = m_socket.data();
    auto wake = [state] { state->fire(); };
    auto& c = state->connections;
    c.push_back(QObject::connect(s, &QIODevice::readyRead, s, wake, Qt::DirectConnection));
    c.push_back(QObject::connect(s, &QIODevice::bytesWritten, s, wake, Qt::DirectConnection));
    c.push_back(QObject::connect(s, &QAbstractSocket::stateChanged, s, wake, Qt::DirectConnection));
    c.push_back(QObject::connect(s, &QAbstractSocket::errorOccurred, s, wake, Qt::DirectConnection));
    if (auto* ssl = qobject_cast<QSslSocket*>(s)) {
        c.push_back(QObject::connect(ssl, &QSslSocket::encrypted, s, wake, Qt::DirectConnection));
        c.push_back(QObject::connect(ssl, &QSslSocket::encryptedBytesWritten, s, wake, Qt::DirectConnection));
    }
}

} // namespace kivo
