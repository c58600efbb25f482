// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "transfer/FileHashScheme.h"
#include "transfer/FileHasher.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kivo {

// Reads back, on a thread of low priority, the files that arrived whole while
// the transfer goes on, so that verification at the end need not read them
// again. A file that read back as it was sent gets a mark: its inode and change
// time as they were before the reading. Any later write, attribute change or
// rename over it gives the file a newer change time (the kernel's clock has
// moved past the recorded one, which is what `settle` waits for), so a marked
// file whose status still matches holds what was read.
class EarlyReadBack {
public:
    using Clock = std::chrono::system_clock;

    EarlyReadBack(std::shared_ptr<const DestinationWriter> reader, FileHashScheme scheme, qsizetype items,
                  std::chrono::milliseconds settle = std::chrono::milliseconds(30));
    // Drops what is queued; the file being read is finished first.
    ~EarlyReadBack();
    EarlyReadBack(const EarlyReadBack&) = delete;
    EarlyReadBack& operator=(const EarlyReadBack&) = delete;

    // Below this, opening a file costs about what reading it does: reading it
    // early would add work where there is none to move.
    static constexpr std::uint64_t kSmallest = 16 * 1024;

    // A file of `size` placed at `path` whose bytes hash to `expected` in the
    // scheme. Files below kSmallest, and any past a few thousand waiting, are
    // left to verification.
    void add(qsizetype item, const QString& path, const Sha256Digest& expected, std::uint64_t size);
    // Stops reading, which takes at most the file being read: what is still
    // queued is left to verification. Marks are read only after this (or drain).
    void stop();
    // Waits until every queued file was read (tests).
    void drain();

    // Whether the file of `item`, now with `status`, is the one that read back whole.
    bool holds(qsizetype item, const fs::FileStatus& status) const;

    // Whether a file last changed at `changed` may be read at `now`: the
    // kernel stamps changes from a clock that lags by up to a tick, so only a
    // change at least `settle` old is sure to differ from any that follows.
    static bool settled(Clock::time_point changed, Clock::time_point now, std::chrono::milliseconds settle)
    {
        return now - changed >= settle;
    }

private:
    struct Waiting {
        qsizetype item;
        QString path;
        Sha256Digest expected;
    };
    struct Mark {
        std::uint64_t inode = 0;
        std::int64_t changedNs = 0;
    };
    void run();
    void readBack(const Waiting& file);
    // With the lock held: sleeps until `until` or a stop.
    bool waitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point until);

    const std::shared_ptr<const DestinationWriter> m_reader;
    const FileHashScheme m_scheme;
    const std::chrono::milliseconds m_settle;
    // Written by the reading thread only, read once it stopped (or drained).
    std::vector<Mark> m_marks;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Waiting> m_waiting;
    bool m_reading = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace kivo
