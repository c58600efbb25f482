// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QCoroTask>
#include <QDateTime>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

namespace kivo {

// Time as the program sees it: wall time for records, monotonic time for
// pacing, sleeps for coroutines and delayed calls for timeouts and polls.
// Injected everywhere so tests move time forward instead of waiting for it.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    virtual std::chrono::nanoseconds monotonic() const = 0;
    virtual QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) = 0;
    // Runs `fn` once after `delay` on the calling thread's event loop, unless the
    // returned handle is destroyed first.
    virtual std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) = 0;

    // Real time, QTimer and QCoro sleeps; stateless, so one instance serves everyone.
    static std::shared_ptr<Clock> system();
};

} // namespace kivo
