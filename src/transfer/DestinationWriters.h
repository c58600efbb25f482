// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"

#include <QCoroTask>
#include <QFuture>
#include <QPromise>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kivo {

// Threads that create, write and rename received files, each with a writer of
// its own, so that the connection's thread only reads frames and answers them.
// What is handed to them is counted in bytes against a cap: past it, whoever
// hands more waits, and with it the reading of frames.
class DestinationWriters {
public:
    using Job = std::function<void(DestinationWriter&)>;

    // Two threads on a small machine, up to four where there are cores for them.
    static int threadsFor(int cores) { return std::clamp(cores, 2, 4); }
    // Whether `bytes` more fit beside `queued` under `cap`; anything fits an
    // empty queue, so a piece larger than the cap still goes, alone.
    static bool admits(std::uint64_t queued, std::uint64_t bytes, std::uint64_t cap)
    {
        return queued == 0 || queued + bytes <= cap;
    }

    DestinationWriters(const QString& homeFolder, int threads, std::uint64_t byteCap);
    // Jobs not yet started are dropped; running ones finish first.
    ~DestinationWriters();
    DestinationWriters(const DestinationWriters&) = delete;
    DestinationWriters& operator=(const DestinationWriters&) = delete;

    // Waits, without blocking the thread, until `bytes` fit under the cap, then counts them.
    QCoro::Task<void> reserve(std::uint64_t bytes);
    // Runs `job` on the first free thread; `bytes` of what was reserved are given back once it ran.
    // Jobs of one `folder` (a key; 0 for none) run one at a time, in the order posted:
    // two threads creating and renaming in one folder wait on its lock, while
    // folders of their own cost nothing. A free thread takes the first job whose
    // folder is not busy, so jobs may start out of order across folders and end in any.
    void post(std::uint64_t bytes, Job job, std::size_t folder = 0);
    // The key of the folder holding `path`, never 0.
    static std::size_t folderKey(const QString& path);
    // Gives back reserved bytes no job carries.
    void release(std::uint64_t bytes);

    std::uint64_t queuedBytes() const;
    // The most that was ever counted at once.
    std::uint64_t peakQueuedBytes() const;

private:
    void work(const QString& homeFolder);
    // With the lock held: gives back bytes and wakes a waiting reserve once they fit.
    void giveBack(std::uint64_t bytes);

    const std::uint64_t m_cap;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    struct Queued {
        std::uint64_t bytes;
        Job job;
        std::size_t folder;
    };
    // With the lock held: the first job a free thread may take, or end.
    std::deque<Queued>::iterator nextRunnable();

    std::deque<Queued> m_jobs;
    // The folders of jobs running now.
    std::vector<std::size_t> m_busyFolders;
    std::uint64_t m_queued = 0;
    std::uint64_t m_peak = 0;
    // The reserve waiting for room, and what it waits to fit.
    std::optional<QPromise<void>> m_room;
    QFuture<void> m_roomFuture;
    std::uint64_t m_roomFor = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

// Finishes its future once `count` pieces of work, on any threads, have said they are done.
class WorkCountdown {
public:
    explicit WorkCountdown(qsizetype count);
    WorkCountdown(const WorkCountdown&) = delete;
    WorkCountdown& operator=(const WorkCountdown&) = delete;
    void done();
    QFuture<void> future() const { return m_future; }

private:
    std::atomic<qsizetype> m_left;
    QPromise<void> m_promise;
    QFuture<void> m_future;
};

// One whole received file as a writer thread places it: its bytes checked
// against their hash, written under a hidden name, given their attributes,
// time and mode, then moved to the final name.
struct WholeFile {
    QByteArray payload; // shared with the frame it came in; the file is [offset, offset + size)
    qsizetype offset = 0;
    qsizetype size = 0;
    QString expectedHash;
    QString partial;
    QString destination;
    // Whether what is at the destination may be replaced (the conflict policy said so).
    bool replace = false;
    bool sparse = false;
    EntryMetadata metadata;
};

struct WholeFileOutcome {
    enum class Step { notRun, hashMismatch, diskFull, writeFailed, placed, nameTaken, commitFailed };
    Step step = Step::notRun;
    std::uint64_t available = 0;
    // Why writing or renaming failed.
    QString error;
    QList<QByteArray> refusedAttributes;
    // Time, attributes or mode that could not be set: logged, the file still lands.
    QStringList warnings;
    // With nameTaken: a link stands at the final name.
    bool linkAtName = false;
    // With placed: the file as it now stands under its name.
    std::optional<fs::FileStatus> status;
};

// Does all of it with `writer`; never throws. A file whose bytes do not match
// leaves an empty hidden copy, as a rejected first chunk does.
WholeFileOutcome placeWholeFile(DestinationWriter& writer, const WholeFile& file);

} // namespace kivo
