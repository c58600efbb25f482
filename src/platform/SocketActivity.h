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
// after every wake-up, so a missed or spurious signal is harmless. The resume
// is queued through the event loop and happens at most once.
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
