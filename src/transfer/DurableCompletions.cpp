// SPDX-License-Identifier: Apache-2.0
#include "transfer/DurableCompletions.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "transfer/Background.h"

namespace kivo {

DurableCompletions::DurableCompletions(Flush flush, Record record, std::shared_ptr<Clock> clock, Limits limits)
    : m_flush(std::move(flush)), m_record(std::move(record)), m_clock(std::move(clock)), m_limits(limits)
{
}

DurableCompletions::~DurableCompletions()
{
    // The pool job holds only copies; what it flushed is simply not recorded.
}

void DurableCompletions::fileFinished(const QString& relativePath)
{
    if (m_pending.isEmpty())
        m_oldestPending = m_clock->monotonic();
    m_pending.append(relativePath);
    advance();
}

void DurableCompletions::advance()
{
    const bool idle = collect(false);
    const auto age = m_clock->monotonic() - m_oldestPending;
    if (idle && !m_pending.isEmpty() && (m_pending.size() >= m_limits.files || age >= m_limits.age))
        startFlush();
    // Without more files finishing, a running flush is collected, and a waiting group flushed, on time.
    if (m_isRunning)
        arm(std::chrono::milliseconds(20));
    else if (!m_pending.isEmpty())
        arm(std::max(std::chrono::ceil<std::chrono::milliseconds>(m_limits.age - age), std::chrono::milliseconds(1)));
}

void DurableCompletions::arm(std::chrono::milliseconds in)
{
    if (m_timer)
        return;
    m_timer = m_clock->schedule(in, [this] {
        // The firing timer goes once it has returned.
        m_timer.release()->deleteLater();
        advance();
    });
}

void DurableCompletions::startFlush()
{
    m_flushing = std::exchange(m_pending, {});
    m_isRunning = true;
    m_running = QtConcurrent::run([flush = m_flush] {
        Outcome out;
        const auto start = std::chrono::steady_clock::now();
        try {
            flush();
        } catch (const std::exception& e) {
            out.failure = describe(e);
        }
        out.took = std::chrono::steady_clock::now() - start;
        return out;
    });
}

bool DurableCompletions::collect(bool wait)
{
    if (!m_isRunning)
        return true;
    if (!wait && !m_running.isFinished())
        return false;
    const Outcome out = m_running.result();
    m_isRunning = false;
    m_stats.flushes += 1;
    m_stats.flushing += out.took;
    if (!out.failure.isEmpty()) {
        // Not known to be on disk: left out of the checkpoint, so a resume sends them again.
        qCWarning(lcTransferEngine).noquote() << "Flushing received files failed:" << out.failure;
    } else {
        m_record(m_flushing);
    }
    m_flushing.clear();
    return true;
}

QCoro::Task<void> DurableCompletions::flushAll()
{
    const auto start = std::chrono::steady_clock::now();
    for (int round = 0; round < 2; ++round) {
        if (m_isRunning) {
            // Built as a named future first: g++ 12 mishandles temporaries inside co_await.
            QFuture<Outcome> running = m_running;
            co_await running;
            collect(true);
        }
        if (m_pending.isEmpty())
            break;
        startFlush();
    }
    m_stats.waited += std::chrono::steady_clock::now() - start;
}

} // namespace kivo
