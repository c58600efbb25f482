// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"

#include <QCoroTimer>
#include <QPointer>

#include <map>

namespace kivo::test {

// Time that only moves when a test advances it or the code under test sleeps;
// scheduled calls run when the time they are due is passed.
class ManualClock : public Clock {
public:
    QDateTime now() const override { return m_start.addMSecs(std::chrono::duration_cast<std::chrono::milliseconds>(m_elapsed).count()); }
    std::chrono::nanoseconds monotonic() const override { return m_elapsed; }

    QCoro::Task<void> sleepFor(std::chrono::nanoseconds duration) override
    {
        if (duration.count() > 0)
            advance(duration);
        // Still yield to the event loop, as a real sleep would.
        co_await QCoro::sleepFor(std::chrono::milliseconds(0));
    }

    std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        auto handle = std::make_unique<QObject>();
        m_pending.emplace(m_elapsed + delay, Entry{QPointer<QObject>(handle.get()), std::move(fn)});
        return handle;
    }

    void advance(std::chrono::nanoseconds by)
    {
        const auto target = m_elapsed + by;
        while (!m_pending.empty() && m_pending.begin()->first <= target) {
            auto node = m_pending.extract(m_pending.begin());
            m_elapsed = node.key();
            if (node.mapped().handle) // dropped handles have been cancelled
                node.mapped().fn();
        }
        m_elapsed = target;
    }

    // Moves time without running anything that fell due.
    void jump(std::chrono::nanoseconds by) { m_elapsed += by; }

    int pendingCalls() const
    {
        int n = 0;
        for (const auto& [at, e] : m_pending)
            n += e.handle ? 1 : 0;
        return n;
    }

private:
    struct Entry {
        QPointer<QObject> handle;
        std::function<void()> fn;
    };
    QDateTime m_start = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    std::chrono::nanoseconds m_elapsed{0};
    std::multimap<std::chrono::nanoseconds, Entry> m_pending;
};

} // namespace kivo::test
