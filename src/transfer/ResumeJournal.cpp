// SPDX-License-Identifier: Apache-2.0
// The destination's live checkpoint: events appended to a journal beside the
// checkpoint's JSON, which is rewritten only now and then.
#include "transfer/ResumeState.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/Logging.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

namespace kivo {

namespace {

// Chunks of this size and more are recorded as they are written; smaller ones gather.
constexpr std::uint64_t kWorthRecordingAtOnce = 256 * 1024;

// Replays journal lines onto a state. Every event sets absolute values, so
// replaying a journal that was already folded into the JSON changes nothing.
// A torn last line (the process died mid-append) ends the replay.
void replayLines(ResumeState& state, QSet<QString>& started, const QByteArray& journal)
{
    QStringList numbered;
    qsizetype pos = 0;
    while (pos < journal.size()) {
        const qsizetype end = journal.indexOf('\n', pos);
        if (end < 0)
            break;
        const QByteArray line = journal.mid(pos, end - pos);
        pos = end + 1;
        QJsonObject e;
        try {
            e = json::parseObject(line);
            const QString kind = json::requireString(e, "e");
            const QDateTime at = json::requireDate(e, "u");
            if (!ResumeJournal::replayEvent(kind, e, state, started, numbered))
                break;
            state.updatedAt = at;
        } catch (const DecodingError&) {
            break;
        }
    }
}

} // namespace

void ResumeJournal::replayFile(const QString& journalPath, ResumeState& state, QSet<QString>& started)
{
    QFile file(journalPath);
    if (file.open(QIODevice::ReadOnly))
        replayLines(state, started, file.readAll());
}

ResumeJournal::ResumeJournal(QString transfersDir, ResumeState state) : m_dir(std::move(transfersDir)), m_state(std::move(state))
{
    if (m_state.inProgressFile)
        m_started.insert(m_state.inProgressFile->relativePath);
    replayFile(ResumeState::journalPath(m_dir, m_state.transferID), m_state, m_started);
    fold();
}

ResumeJournal::~ResumeJournal()
{
    try {
        flush();
    } catch (const std::exception& e) {
        qCWarning(lcTransferEngine, "Could not write the transfer journal: %s", e.what());
    }
}

void ResumeJournal::flush()
{
    closeGroups();
    writeLines({});
}

void ResumeJournal::fold()
{
    if (m_removed)
        return;
    m_pending.clear(); // the JSON holds them
    m_begunGroup.clear();
    m_landedGroup.clear();
    m_state.save(m_dir);
    m_stats.writes += 1;
    m_stats.bytes += std::uint64_t(QFileInfo(ResumeState::jsonPath(m_dir, m_state.transferID)).size());
    restartJournal();
}

void ResumeJournal::restartJournal()
{
    // Started-but-unfinished files cannot live in the JSON; carry them into the new journal.
    m_journal.reset();
    m_journal = fs::openForAppend(ResumeState::journalPath(m_dir, m_state.transferID), true);
    m_numbers.clear();
    m_nextNumber = 0;
    for (const QString& started : std::as_const(m_started))
        appendBegin(started, m_state.updatedAt);
}

void ResumeJournal::appendBegin(const QString& relativePath, const QDateTime& now)
{
    json::ObjectWriter event;
    event.add("e", u"begin").add("p", relativePath);
    if (const std::optional<ResumeState::FileIdentity> it = m_state.identity(relativePath)) {
        event.add("s", it->size);
        if (it->sourceModified)
            event.add("m", json::formatDate(*it->sourceModified));
    }
    append(event.add("u", json::formatDate(now)));
}

void ResumeJournal::append(json::ObjectWriter& event)
{
    // A few hundred events of small files at most wait for one write.
    constexpr qsizetype kPendingBytes = 32 * 1024;
    closeGroups(); // what a bundle began comes before anything said of it later
    m_pending.append(event.finish());
    m_pending.append('\n');
    if (m_pending.size() >= kPendingBytes)
        flush();
}

void ResumeJournal::writeLines(const QByteArray& lines)
{
    if (m_removed || !m_journal.isValid()) {
        m_pending.clear();
        return;
    }
    if (lines.isEmpty() && m_pending.isEmpty())
        return;
    m_pending.append(lines);
    // One write per batch: a kill leaves at most a torn last line, which replay ignores.
    const QByteArray out = std::exchange(m_pending, {});
    m_stats.writes += 1;
    m_stats.bytes += std::uint64_t(out.size());
    fs::writeAll(m_journal.get(), out, ResumeState::journalPath(m_dir, m_state.transferID));
}

void ResumeJournal::fileStarted(const QString& relativePath, const ResumeState::FileIdentity& identity,
                                const QDateTime& now)
{
    if (m_started.contains(relativePath) && m_state.identity(relativePath) == identity)
        return;
    m_started.insert(relativePath);
    m_state.setIdentity(relativePath, identity);
    appendBegin(relativePath, now);
}

void ResumeJournal::fileAbandoned(const QString& relativePath, const QDateTime& now)
{
    m_numbers.remove(relativePath);
    m_started.remove(relativePath);
    m_state.forgetIdentity(relativePath);
    if (m_state.inProgressFile && m_state.inProgressFile->relativePath == relativePath)
        m_state.inProgressFile.reset();
    m_state.updatedAt = now;
    append(json::ObjectWriter().add("e", u"drop").add("p", relativePath).add("u", json::formatDate(now)));
}

void ResumeJournal::reopen(const QString& relativePath)
{
    m_numbers.remove(relativePath);
    m_state.forgetCompletion(relativePath);
    m_state.unconfirmedFiles.remove(relativePath);
    if (m_state.inProgressFile && m_state.inProgressFile->relativePath == relativePath)
        m_state.inProgressFile.reset();
    m_started.insert(relativePath);
}

void ResumeJournal::chunkWritten(const QString& relativePath, const QString& categoryID, std::uint32_t lastContiguousChunk,
                                 std::uint64_t prefixBytes, std::uint64_t payloadSize, const QDateTime& now)
{
    m_state.inProgressFile = ResumeState::InProgressFile{relativePath, categoryID, lastContiguousChunk, prefixBytes};
    m_state.totalBytesReceived += payloadSize;
    m_state.updatedAt = now;
    m_started.insert(relativePath);
    append(json::ObjectWriter()
               .add("e", u"chunk")
               .add("p", relativePath)
               .add("c", categoryID)
               .add("i", lastContiguousChunk)
               .add("b", prefixBytes)
               .add("t", m_state.totalBytesReceived)
               .add("u", json::formatDate(now)));
    // A large chunk is worth recording at once: a crash would cost its resend.
    if (payloadSize >= kWorthRecordingAtOnce)
        flush();
}

void ResumeJournal::expectFiles(qsizetype count)
{
    m_state.files.reserve(count);
}

void ResumeJournal::filesCompleted(const QStringList& relativePaths, const QDateTime& now)
{
    if (relativePaths.isEmpty())
        return;
    closeGroups();
    QByteArray lines;
    for (const QString& path : completeNumbered(relativePaths, now, lines)) {
        m_state.markCompleted(path);
        m_started.remove(path);
        m_state.unconfirmedFiles.remove(path);
        if (m_state.inProgressFile && m_state.inProgressFile->relativePath == path)
            m_state.inProgressFile.reset();
        lines.append(json::ObjectWriter().add("e", u"file").add("p", path).add("u", json::formatDate(now)).finish());
        lines.append('\n');
    }
    m_state.updatedAt = now;
    writeLines(lines);
}

void ResumeJournal::fileInPlace(const QString& relativePath, const QString& sha256, const QDateTime& now)
{
    if (m_state.isCompleted(relativePath))
        return;
    m_started.remove(relativePath);
    m_state.unconfirmedFiles.insert(relativePath, sha256);
    if (m_state.inProgressFile && m_state.inProgressFile->relativePath == relativePath)
        m_state.inProgressFile.reset();
    m_state.updatedAt = now;
    append(json::ObjectWriter().add("e", u"placed").add("p", relativePath).add("h", sha256).add("u", json::formatDate(now)));
}

void ResumeJournal::contentRecorded(const QString& relativePath, const std::optional<CompletedContent>& content)
{
    json::ObjectWriter event;
    event.add("e", u"content").add("p", relativePath);
    m_state.setContent(relativePath, content);
    if (content)
        event.add("h", content->hash.toHex()).add("t", content->stamp());
    append(event.add("u", json::formatDate(m_state.updatedAt)));
}

void ResumeJournal::useHashScheme(FileHashScheme scheme)
{
    if (m_state.fileHashScheme == scheme)
        return;
    // Hashes of another scheme could never be compared with this run's: they go, in one rewrite.
    m_state.fileHashScheme = scheme;
    m_state.unconfirmedFiles.clear();
    m_state.forgetAllContent();
    fold();
}

void ResumeJournal::categoryCompleted(const QString& categoryID, const QDateTime& now)
{
    if (!m_state.completedCategories.contains(categoryID))
        m_state.completedCategories.append(categoryID);
    m_state.updatedAt = now;
    // One line, not a rewrite of every file's record: the journal stays what a resume reads.
    append(json::ObjectWriter().add("e", u"category").add("p", categoryID).add("u", json::formatDate(now)));
    flush();
}

void ResumeJournal::remove()
{
    m_pending.clear();
    m_journal.reset();
    m_removed = true;
    ResumeState::remove(m_dir, m_state.transferID);
}

} // namespace kivo
