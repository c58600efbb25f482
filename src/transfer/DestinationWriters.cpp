// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationWriters.h"

#include "platform/Logging.h"
#include "transfer/FileHasher.h"

#include <QCoroFuture>
#include <QHashFunctions>

#include <algorithm>

namespace kivo {

DestinationWriters::DestinationWriters(const QString& homeFolder, int threads, std::uint64_t byteCap) : m_cap(byteCap)
{
    m_threads.reserve(std::size_t(std::max(threads, 1)));
    for (int i = 0; i < std::max(threads, 1); ++i)
        m_threads.emplace_back([this, homeFolder] { work(homeFolder); });
}

DestinationWriters::~DestinationWriters()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

void DestinationWriters::work(const QString& homeFolder)
{
    // Each thread keeps its own open folders and file: a writer is never shared.
    DestinationWriter writer(homeFolder);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || nextRunnable() != m_jobs.end(); });
        if (m_stopping)
            return;
        const auto next = nextRunnable();
        auto [bytes, job, folder] = std::move(*next);
        m_jobs.erase(next);
        if (folder != 0)
            m_busyFolders.push_back(folder);
        lock.unlock();
        try {
            job(writer);
        } catch (const std::exception& e) {
            qCCritical(lcTransferEngine).noquote() << "A writer's job failed:" << e.what();
        }
        job = nullptr; // what it holds goes before the bytes are given back
        lock.lock();
        if (folder != 0) {
            m_busyFolders.erase(std::find(m_busyFolders.begin(), m_busyFolders.end(), folder));
            // A job of that folder may have waited behind this one.
            m_wake.notify_all();
        }
        giveBack(bytes);
    }
}

std::deque<DestinationWriters::Queued>::iterator DestinationWriters::nextRunnable()
{
    return std::find_if(m_jobs.begin(), m_jobs.end(), [this](const Queued& q) {
        return q.folder == 0 || std::find(m_busyFolders.begin(), m_busyFolders.end(), q.folder) == m_busyFolders.end();
    });
}

std::size_t DestinationWriters::folderKey(const QString& path)
{
    const std::size_t key = qHash(QStringView(path).left(std::max<qsizetype>(path.lastIndexOf(u'/'), 0)));
    return key == 0 ? 1 : key;
}

QCoro::Task<void> DestinationWriters::reserve(std::uint64_t bytes)
{
    for (;;) {
        QFuture<void> room;
        {
            std::lock_guard lock(m_mutex);
            if (admits(m_queued, bytes, m_cap)) {
                m_queued += bytes;
                m_peak = std::max(m_peak, m_queued);
                co_return;
            }
            if (!m_room) {
                m_room.emplace();
                m_room->start();
                m_roomFuture = m_room->future();
            }
            m_roomFor = bytes;
            room = m_roomFuture;
        }
        co_await room;
    }
}

void DestinationWriters::post(std::uint64_t bytes, Job job, std::size_t folder)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back({bytes, std::move(job), folder});
    }
    m_wake.notify_one();
}

void DestinationWriters::release(std::uint64_t bytes)
{
    std::lock_guard lock(m_mutex);
    giveBack(bytes);
}

void DestinationWriters::giveBack(std::uint64_t bytes)
{
    m_queued -= std::min(bytes, m_queued);
    if (m_room && admits(m_queued, m_roomFor, m_cap)) {
        m_room->finish();
        m_room.reset();
    }
}

std::uint64_t DestinationWriters::queuedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_queued;
}

std::uint64_t DestinationWriters::peakQueuedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_peak;
}

WorkCountdown::WorkCountdown(qsizetype count) : m_left(count)
{
    m_promise.start();
    m_future = m_promise.future();
    if (count <= 0)
        m_promise.finish();
}

void WorkCountdown::done()
{
    if (m_left.fetch_sub(1) == 1)
        m_promise.finish();
}

namespace {

// A rejected first chunk still starts the file afresh, so its resend lands in a clean file.
void startAfresh(DestinationWriter& writer, const QString& partial)
{
    try {
        writer.write(partial, 0, {}, true);
    } catch (const WriteFailure&) {
        // Its resend tries again.
    }
    writer.closeCurrent();
}

// Attributes, then the time, then the mode: the mode changes neither.
void applyMetadata(DestinationWriter& writer, const WholeFile& file, WholeFileOutcome* out)
{
    const EntryMetadata& m = file.metadata;
    if (m.modified || !m.attributes.isEmpty()) {
        try {
            out->refusedAttributes = writer.applyMetadata(file.partial, {std::nullopt, m.modified, m.attributes});
        } catch (const WriteFailure& e) {
            out->warnings.append(QStringLiteral("Could not set the time or attributes: ") + e.description());
        }
    }
    if (m.mode) {
        try {
            writer.setMode(file.partial, *m.mode);
        } catch (const WriteFailure& e) {
            out->warnings.append(QStringLiteral("Could not set mode: ") + e.description());
        }
    }
}

} // namespace

WholeFileOutcome placeWholeFile(DestinationWriter& writer, const WholeFile& file)
{
    WholeFileOutcome out;
    const QByteArrayView bytes(file.payload.constData() + file.offset, file.size);
    if (FileHasher::sha256Hex(bytes) != file.expectedHash) {
        out.step = WholeFileOutcome::Step::hashMismatch;
        startAfresh(writer, file.partial);
        return out;
    }
    out.available = writer.freeSpace(std::uint64_t(file.size));
    if (out.available < std::uint64_t(file.size)) {
        out.step = WholeFileOutcome::Step::diskFull;
        return out;
    }
    try {
        writer.write(file.partial, 0, bytes, true, file.sparse);
    } catch (const WriteFailure& e) {
        out.step = e.isDiskFull() ? WholeFileOutcome::Step::diskFull : WholeFileOutcome::Step::writeFailed;
        out.error = e.description();
        if (!e.isDiskFull())
            startAfresh(writer, file.partial);
        return out;
    }
    applyMetadata(writer, file, &out);
    // Read from the descriptor before the rename, which moves neither size nor time:
    // asking by name afterwards costs a walk of the whole path.
    const std::optional<fs::FileStatus> written = writer.currentStatus(file.partial);
    try {
        if (writer.commit(file.partial, file.destination, file.replace)) {
            out.step = WholeFileOutcome::Step::placed;
            out.status = written ? written : fs::status(file.destination, fs::Links::dontFollow);
            return out;
        }
        writer.remove(file.partial);
        out.step = WholeFileOutcome::Step::nameTaken;
        out.linkAtName = writer.linkTarget(file.destination).has_value();
    } catch (const WriteFailure& e) {
        out.step = WholeFileOutcome::Step::commitFailed;
        out.error = e.description();
    }
    writer.closeCurrent();
    return out;
}

} // namespace kivo
