// SPDX-License-Identifier: Apache-2.0
#include "preflight/CheckQueue.h"

#include <QThread>

#include <algorithm>

namespace kivo {

CheckQueue::CheckQueue(int threads, int capacity, const std::atomic<bool>& cancelled)
    : m_threads(std::max(0, threads)), m_capacity(std::max(1, capacity)), m_cancelled(cancelled)
{
    m_pool.setMaxThreadCount(std::max(1, m_threads));
}

CheckQueue::~CheckQueue()
{
    wait();
    // A thread may still be leaving finished(): the lock it holds outlives no member.
    m_pool.waitForDone();
}

int CheckQueue::defaultThreads() { return std::max(2, QThread::idealThreadCount()); }

bool CheckQueue::submit(std::function<void()> check)
{
    if (m_cancelled.load())
        return false;
    if (m_threads == 0) {
        check();
        QMutexLocker lock(&m_mutex);
        m_peak = std::max(m_peak, 1);
        return true;
    }
    {
        QMutexLocker lock(&m_mutex);
        while (m_inFlight >= m_capacity)
            m_changed.wait(&m_mutex);
        if (m_cancelled.load())
            return false;
        ++m_inFlight;
        m_peak = std::max(m_peak, m_inFlight);
    }
    m_pool.start([this, check = std::move(check)] {
        if (!m_cancelled.load())
            check();
        finished();
    });
    return true;
}

void CheckQueue::finished()
{
    QMutexLocker lock(&m_mutex);
    --m_inFlight;
    m_changed.wakeAll();
}

void CheckQueue::wait()
{
    QMutexLocker lock(&m_mutex);
    while (m_inFlight > 0)
        m_changed.wait(&m_mutex);
}

int CheckQueue::peakInFlight() const
{
    QMutexLocker lock(&m_mutex);
    return m_peak;
}

} // namespace kivo
