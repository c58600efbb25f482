// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QMutex>
#include <QThreadPool>
#include <QWaitCondition>

#include <atomic>
#include <functional>

namespace kivo {

// Blocking checks (each a short-lived tool run) side by side on threads of
// their own, beside the walk that finds them. At most `capacity` are queued or
// running at once: submit() waits for room, so a home with thousands of
// repositories holds a handful of them at a time, never the whole list.
class CheckQueue {
public:
    // With no threads a check runs inside submit(), one after the other.
    CheckQueue(int threads, int capacity, const std::atomic<bool>& cancelled);
    ~CheckQueue();
    CheckQueue(const CheckQueue&) = delete;
    CheckQueue& operator=(const CheckQueue&) = delete;

    // The default for this machine: a thread per core, at least two, since a
    // check mostly waits for the tool it starts.
    static int defaultThreads();

    // False, and `check` never runs, once the scan is cancelled; a check
    // already queued when that happens is dropped too.
    bool submit(std::function<void()> check);
    // Until every check submitted so far has run or been dropped.
    void wait();

    // The most checks queued or running at one time so far.
    int peakInFlight() const;

private:
    void finished();

    QThreadPool m_pool;
    const int m_threads;
    const int m_capacity;
    const std::atomic<bool>& m_cancelled;
    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    int m_inFlight = 0;
    int m_peak = 0;
};

} // namespace kivo
