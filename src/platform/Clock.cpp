// SPDX-License-Identifier: Apache-2.0
#include "platform/Clock.h"

#include <QCoroTimer>
#include <QTimer>

namespace kivo {

namespace {

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    std::chrono::nanoseconds monotonic() const override { return std::chrono::steady_clock::now().time_since_epoch(); }
    QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) override
    {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration);
        if (ms.count() > 0)
            co_await QCoro::sleepFor(ms);
    }
    std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        QObject::connect(timer.get(), &QTimer::timeout, timer.get(), std::move(fn));
        timer->start(delay);
        return timer;
    }
};

} // namespace

std::shared_ptr<Clock> Clock::system()
{
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

} // namespace kivo
