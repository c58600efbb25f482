// SPDX-License-Identifier: Apache-2.0
#include "transfer/EarlyReadBack.h"

#include "platform/Logging.h"
#include "platform/ThreadPriority.h"

namespace kivo {

namespace {

// Enough to keep the thread busy without holding many paths while it lags.
constexpr std::size_t kMostWaiting = 4096;

EarlyReadBack::Clock::time_point changedAt(const fs::FileStatus& status)
{
    return EarlyReadBack::Clock::time_point(std::chrono::duration_cast<EarlyReadBack::Clock::duration>(
        std::chrono::seconds(status.changedSecs) + std::chrono::nanoseconds(status.changedNsecs)));
}

std::int64_t changedNs(const fs::FileStatus& status)
{
    return status.changedSecs * 1'000'000'000 + status.changedNsecs;
}

} // namespace

EarlyReadBack::EarlyReadBack(std::shared_ptr<const DestinationWriter> reader, FileHashScheme scheme, qsizetype items,
                             std::chrono::milliseconds settle)
    : m_reader(std::move(reader)), m_scheme(scheme), m_settle(settle), m_marks(std::size_t(std::max<qsizetype>(items, 0)))
{
    m_thread = std::thread([this] { run(); });
}

EarlyReadBack::~EarlyReadBack() { stop(); }

void EarlyReadBack::add(qsizetype item, const QString& path, const Sha256Digest& expected, std::uint64_t size)
{
    if (size < kSmallest || item < 0 || std::size_t(item) >= m_marks.size())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || m_waiting.size() >= kMostWaiting)
            return;
        m_waiting.push_back({item, path, expected});
    }
    m_wake.notify_one();
}

void EarlyReadBack::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_waiting.clear();
    }
    m_wake.notify_all();
    m_idle.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void EarlyReadBack::drain()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_stopping || (m_waiting.empty() && !m_reading); });
}

bool EarlyReadBack::holds(qsizetype item, const fs::FileStatus& status) const
{
    if (item < 0 || std::size_t(item) >= m_marks.size())
        return false;
    const Mark& mark = m_marks[std::size_t(item)];
    return mark.inode != 0 && status.isRegular() && mark.inode == status.inode && mark.changedNs == changedNs(status);
}

bool EarlyReadBack::waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point until)
{
    return !m_wake.wait_until(lock, until, [this] { return m_stopping; });
}

void EarlyReadBack::run()
{
    // Only time the transfer leaves over: verification reads whatever this did not.
    lowerThisThreadsPriority();
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_waiting.empty(); });
        if (m_stopping)
            return;
        const Waiting next = std::move(m_waiting.front());
        m_waiting.pop_front();
        m_reading = true;
        lock.unlock();
        readBack(next);
        lock.lock();
        m_reading = false;
        if (m_waiting.empty())
            m_idle.notify_all();
    }
}

void EarlyReadBack::readBack(const Waiting& file)
{
    try {
        const UniqueFd fd = m_reader->openForReading(file.path);
        // The status comes first: a change made while reading stamps a newer time.
        std::optional<fs::FileStatus> before = fs::status(fd);
        if (!before || !before->isRegular())
            return;
        const Clock::time_point ready = changedAt(*before) + m_settle;
        if (!settled(changedAt(*before), Clock::now(), m_settle)) {
            std::unique_lock lock(m_mutex);
            if (!waitUntil(lock, ready))
                return;
        }
        std::uint64_t size = 0;
        const QString hash = FileHasher::hashOfDescriptor(fd, m_scheme, file.path, &size);
        if (size == before->size && Sha256Digest::fromHex(hash) == file.expected)
            m_marks[std::size_t(file.item)] = {before->inode, changedNs(*before)};
    } catch (const std::exception& e) {
        // Verification reads it again and reports what it finds.
        qCDebug(lcTransferEngine).noquote() << "Early read-back of" << file.path << "failed:" << e.what();
    }
}

} // namespace kivo
