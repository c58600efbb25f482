#pragma once

#include "connection/ConnectionClock.h"

#include <QPointer>

#include <map>

namespace kivo::test {

// Time that only moves when a test says so; due calls run during advance().
class SteppedClock : public ConnectionClock {
public:
    QDateTime now() const override { return m_now; }

    std::unique_ptr<QObject> schedule(std::chrono::milliseconds delay, std::function<void()> fn) override
    {
        auto handle = std::make_unique<QObject>();
        m_pending.emplace(m_now.addMSecs(delay.count()), Entry{QPointer<QObject>(handle.get()), std::move(fn)});
        return handle;
    }

    void advance(std::chrono::milliseconds by)
    {
        const QDateTime target = m_now.addMSecs(by.count());
        while (!m_pending.empty() && m_pending.begin()->first <= target) {
            auto node = m_pending.extract(m_pending.begin());
            m_now = node.key();
            if (node.mapped().handle) // dropped handles have been cancelled
                node.mapped().fn();
        }
        m_now = target;
    }

    // Moves time without running anything that fell due.
    void jump(std::chrono::milliseconds by) { m_now = m_now.addMSecs(by.count()); }

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
    QDateTime m_now = QDateTime::fromSecsSinceEpoch(1767225600, Qt::UTC);
    std::multimap<QDateTime, Entry> m_pending;
};

} // namespace kivo::test
