#include "connection/ConnectionClock.h"

#include <QTimer>

namespace kivo {

namespace {

class SystemClock final : public ConnectionClock {
public:
    QDateTime now() const override { return QDateTime::currentDateTimeUtc(); }
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

ConnectionClock& ConnectionClock::system()
{
    static SystemClock clock;
    return clock;
}

} // namespace kivo
