#include "transfer/Clock.h"

#include <QCoroTimer>

namespace kivo {

namespace {

class SystemClock : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
    std::chrono::nanoseconds monotonic() const override
    {
        return std::chrono::steady_clock::now().time_since_epoch();
    }
    QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) override
    {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(duration);
        if (ms.count() > 0)
            co_await QCoro::sleepFor(ms);
    }
};

} // namespace

std::shared_ptr<Clock> Clock::system()
{
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

QCoro::Task<void> ManualClock::sleepFor(std::chrono::nanoseconds duration)
{
    if (duration.count() > 0) {
        m_elapsed += duration;
        m_slept += duration;
    }
    // Still yield to the event loop, as a real sleep would.
    co_await QCoro::sleepFor(std::chrono::milliseconds(0));
}

} // namespace kivo
