// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"

#include <QCoroTask>
#include <QFuture>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>

namespace kivo {

struct DurableFlushLimits {
    qsizetype files = 512;
    std::chrono::milliseconds age = std::chrono::milliseconds(250);
};

struct DurableFlushStats {
    int flushes = 0;
    // Time the flushes took, and the part of it the transfer waited for.
    std::chrono::nanoseconds flushing{0};
    std::chrono::nanoseconds waited{0};
};

// Finished files reach the checkpoint in groups, each only once everything
// written before it is on disk: one flush of the volume per group (a few
// hundred files, or what finished within a quarter of a second) instead of one per file. The flush runs
// on a pool thread while receiving goes on.
class DurableCompletions {
public:
    using Limits = DurableFlushLimits;
    using Stats = DurableFlushStats;
    // `flush` runs on a pool thread and throws when the data may not be durable;
    // `record` gets each flushed group, on the caller's thread.
    using Flush = std::function<void()>;
    using Record = std::function<void(const QStringList& paths)>;

    DurableCompletions(Flush flush, Record record, std::shared_ptr<Clock> clock, Limits limits = {});
    ~DurableCompletions();

    // A file is complete in place; it is recorded with its group.
    void fileFinished(const QString& relativePath);
    // Flushes and records everything finished so far.
    QCoro::Task<void> flushAll();
    const Stats& stats() const { return m_stats; }

private:
    struct Outcome {
        std::chrono::nanoseconds took{0};
        QString failure;
    };
    void startFlush();
    // Starts a flush when a group is due, and looks again later while anything waits.
    void advance();
    void arm(std::chrono::milliseconds in);
    // Records the group whose flush has ended; false while it is still running.
    bool collect(bool wait);

    Flush m_flush;
    Record m_record;
    std::shared_ptr<Clock> m_clock;
    Limits m_limits;
    QStringList m_pending;
    std::chrono::nanoseconds m_oldestPending{0};
    QStringList m_flushing;
    QFuture<Outcome> m_running;
    std::unique_ptr<QObject> m_timer;
    bool m_isRunning = false;
    Stats m_stats;
};

} // namespace kivo
