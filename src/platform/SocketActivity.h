// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QAbstractSocket>
#include <QMetaObject>
#include <QPointer>

#include <coroutine>
#include <memory>
#include <vector>

namespace kivo {

// Suspends a coroutine until the socket reports anything at all (data, bytes
// written, state change, error, encryption). Callers re-check their condition
// after every wake-up, so a missed or spurious signal is harmless. The
// coroutine resumes at most once, directly inside the socket's signal: a queued
// resume costs an extra event-loop turn (and wake-up syscalls) per message.
// Whoever destroys the socket blocks its signals first, so nothing resumes
// into a half-destroyed owner.
class SocketActivity {
public:
    explicit SocketActivity(QAbstractSocket* socket) : m_socket(socket) {}

    bool await_ready() const noexcept { return m_socket.isNull(); }
    void await_suspend(std::coroutine_handle<> handle);
    void await_resume() const noexcept {}

private:
    struct State {
        std::coroutine_handle<> handle;
        std::vector<QMetaObject::Connection> connections;
        void fire();
    };

    QPointer<QAbstractSocket> m_socket;
};

} // namespace kivo
