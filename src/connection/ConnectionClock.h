#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

namespace kivo {

// Wall time and delayed calls for the pairing window and the interface poll,
// so tests can move time forward instead of waiting for it.
class ConnectionClock {
public:
    virtual ~ConnectionClock() = default;
    virtual QDateTime now() const = 0;
    // Runs `fn` once after `delay` on the calling thread's event loop, unless the
    // returned handle is destroyed first.
    virtual std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) = 0;

    // Real time and QTimer; stateless, so one instance serves everyone.
    static ConnectionClock& system();
};

} // namespace kivo
