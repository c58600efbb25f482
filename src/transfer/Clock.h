#pragma once

#include <QCoroTask>
#include <QDateTime>

#include <chrono>
#include <memory>

namespace kivo {

// Time as the engine sees it. Injected so pacing and pauses can be tested
// without real sleeps.
class Clock {
public:
    virtual ~Clock() = default;
    // Wall time for records and checkpoints.
    virtual QDateTime now() const = 0;
    // Monotonic time for pacing.
    virtual std::chrono::nanoseconds monotonic() const = 0;
    virtual QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) = 0;

    static std::shared_ptr<Clock> system();
};

// A clock that only moves when someone sleeps on it or advances it.
class ManualClock : public Clock {
public:
    explicit ManualClock(QDateTime start = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC)) : m_start(std::move(start)) {}

    QDateTime now() const override { return m_start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(m_elapsed).count()); }
    std::chrono::nanoseconds monotonic() const override { return m_elapsed; }
    QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) override;
    void advance(std::chrono::nanoseconds by) { m_elapsed += by; }
    std::chrono::nanoseconds totalSlept() const { return m_slept; }

private:
    QDateTime m_start;
    std::chrono::nanoseconds m_elapsed{0};
    std::chrono::nanoseconds m_slept{0};
};

} // namespace kivo
