// SPDX-License-Identifier: Apache-2.0
#include "transfer/ResumeState.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/PartialFolders.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <functional>
#include <vector>

namespace kivo {

namespace {

// Chunks of this size and more are recorded as they are written; smaller ones gather.
constexpr std::uint64_t kWorthRecordingAtOnce = 256 * 1024;

// Replays journal lines onto a state. Every event sets absolute values, so
// replaying a journal that was already folded into the JSON changes nothing.
// A torn last line (the process died mid-append) ends the replay.
void replay(ResumeState& state, QSet<QString>& completed, QSet<QString>& started, const QByteArray& journal)
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
            if (!ResumeJournal::replayEvent(kind, e, state, completed, started, numbered))
                break;
            state.updatedAt = at;
        } catch (const DecodingError&) {
            break;
        }
    }
}

// A hash and a stamp: the two strings CompletedContent::parse takes.
QJsonArray contentToJson(const CompletedContent& c) { return QJsonArray{c.hash.toHex(), c.stamp()}; }

QByteArray readFile(const QString& path, bool* ok)
{
    QFile f(path);
    *ok = f.open(QIODevice::ReadOnly);
    return *ok ? f.readAll() : QByteArray();
}

} // namespace

QJsonObject ResumeState::InProgressFile::toJson() const
{
    return QJsonObject{{QStringLiteral("relativePath"), relativePath},
                       {QStringLiteral("categoryID"), categoryID},
                       {QStringLiteral("lastAcknowledgedChunk"), static_cast<double>(lastAcknowledgedChunk)},
                       {QStringLiteral("bytesReceived"), static_cast<double>(bytesReceived)}};
}

ResumeState::InProgressFile ResumeState::InProgressFile::fromJson(const QJsonObject& o)
{
    return {json::requireString(o, "relativePath"), json::requireString(o, "categoryID"),
            json::requireUInt32(o, "lastAcknowledgedChunk"), json::requireUInt64(o, "bytesReceived")};
}

QJsonObject ResumeState::FileIdentity::toJson() const
{
    QJsonObject o{{QStringLiteral("size"), static_cast<double>(size)}};
    if (sourceModified)
        o.insert(QStringLiteral("sourceModified"), json::formatDate(*sourceModified));
    return o;
}

ResumeState::FileIdentity ResumeState::FileIdentity::fromJson(const QJsonObject& o)
{
    FileIdentity id{json::requireUInt64(o, "size"), std::nullopt};
    if (o.contains(QLatin1String("sourceModified")))
        id.sourceModified = json::requireDate(o, "sourceModified");
    return id;
}

QJsonObject ResumeState::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("transferID"), transferID);
    o.insert(QStringLiteral("sourceHostname"), sourceHostname);
    o.insert(QStringLiteral("createdAt"), json::formatDate(createdAt));
    o.insert(QStringLiteral("updatedAt"), json::formatDate(updatedAt));
    o.insert(QStringLiteral("completedFiles"), json::toArray(completedFiles));
    if (inProgressFile)
        o.insert(QStringLiteral("inProgressFile"), inProgressFile->toJson());
    o.insert(QStringLiteral("completedCategories"), json::toArray(completedCategories));
    o.insert(QStringLiteral("totalBytesReceived"), static_cast<double>(totalBytesReceived));
    // Left out for whole-file hashes: the checkpoint reads as it always did.
    if (fileHashScheme != FileHashScheme::wholeFile)
        o.insert(QStringLiteral("fileHashScheme"), toString(fileHashScheme));
    if (!fileIdentities.isEmpty()) {
        QJsonObject ids;
        for (auto it = fileIdentities.cbegin(); it != fileIdentities.cend(); ++it)
            ids.insert(it.key(), it.value().toJson());
        o.insert(QStringLiteral("fileIdentities"), ids);
    }
    if (!unconfirmedFiles.isEmpty()) {
        QJsonObject placed;
        for (auto it = unconfirmedFiles.cbegin(); it != unconfirmedFiles.cend(); ++it)
            placed.insert(it.key(), it.value());
        o.insert(QStringLiteral("unconfirmedFiles"), placed);
    }
    if (!completedContent.isEmpty()) {
        QJsonObject contents;
        for (auto it = completedContent.cbegin(); it != completedContent.cend(); ++it)
            contents.insert(it.key(), contentToJson(it.value()));
        o.insert(QStringLiteral("completedContent"), contents);
    }
    return o;
}

ResumeState ResumeState::fromJson(const QJsonObject& o)
{
    ResumeState s;
    s.transferID = json::requireString(o, "transferID");
    s.sourceHostname = json::requireString(o, "sourceHostname");
    s.createdAt = json::requireDate(o, "createdAt");
    s.updatedAt = json::requireDate(o, "updatedAt");
    s.completedFiles = json::requireStringList(o, "completedFiles");
    if (o.contains(QLatin1String("inProgressFile")))
        s.inProgressFile = InProgressFile::fromJson(json::requireObject(o, "inProgressFile"));
    s.completedCategories = json::requireStringList(o, "completedCategories");
    s.totalBytesReceived = json::requireUInt64(o, "totalBytesReceived");
    if (const std::optional<QString> scheme = json::optionalString(o, "fileHashScheme")) {
        const std::optional<FileHashScheme> known = fileHashSchemeFromString(*scheme);
        if (!known)
            throw DecodingError(QStringLiteral("Unknown file hash scheme \"%1\"").arg(*scheme));
        s.fileHashScheme = *known;
    }
    if (o.contains(QLatin1String("fileIdentities"))) {
        const QJsonObject ids = json::requireObject(o, "fileIdentities");
        for (auto it = ids.begin(); it != ids.end(); ++it) {
            if (!it.value().isObject())
                throw DecodingError(QStringLiteral("fileIdentities: not an object"));
            s.fileIdentities.insert(it.key(), FileIdentity::fromJson(it.value().toObject()));
        }
    }
    if (o.contains(QLatin1String("unconfirmedFiles"))) {
        const QJsonObject placed = json::requireObject(o, "unconfirmedFiles");
        for (auto it = placed.begin(); it != placed.end(); ++it) {
            if (!it.value().isString())
                throw DecodingError(QStringLiteral("unconfirmedFiles: not a string"));
            s.unconfirmedFiles.insert(it.key(), it.value().toString());
        }
    }
    if (o.contains(QLatin1String("completedContent"))) {
        const QJsonObject contents = json::requireObject(o, "completedContent");
        for (auto it = contents.begin(); it != contents.end(); ++it) {
            const QJsonArray pair = it.value().toArray();
            const std::optional<CompletedContent> content =
                pair.size() == 2 ? CompletedContent::parse(pair[0].toString(), pair[1].toString()) : std::nullopt;
            if (!content)
                throw DecodingError(QStringLiteral("completedContent: malformed entry"));
            s.completedContent.insert(it.key(), *content);
        }
    }
    return s;
}

QByteArray ResumeState::encoded() const
{
    QByteArray text;
    encodeInto([&](QByteArrayView piece) { text.append(piece); });
    return text;
}

void ResumeState::encodeInto(const fs::ByteSink& write) const
{
    // The same text as the whole document pretty-printed, without a tree of
    // every file next to it: the lists are written in, entry by entry, as it goes out.
    ResumeState frame = *this;
    frame.completedFiles = {};
    frame.fileIdentities = {};
    frame.unconfirmedFiles = {};
    frame.completedContent = {};
    QJsonObject o = frame.toJson();
    if (!fileIdentities.isEmpty())
        o.insert(QStringLiteral("fileIdentities"), QJsonObject());
    if (!unconfirmedFiles.isEmpty())
        o.insert(QStringLiteral("unconfirmedFiles"), QJsonObject());
    if (!completedContent.isEmpty())
        o.insert(QStringLiteral("completedContent"), QJsonObject());
    // In the order a JSON object keeps its keys.
    const auto sortedKeys = [](const auto& hash) {
        std::vector<typename std::decay_t<decltype(hash)>::const_iterator> out;
        out.reserve(size_t(hash.size()));
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            out.push_back(it);
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.key() < b.key(); });
        return out;
    };
    const auto ids = sortedKeys(fileIdentities);
    const auto contents = sortedKeys(completedContent);
    auto placed = unconfirmedFiles.cbegin();
    json::writeFilled(
        json::toFileBytes(o),
        {{"completedFiles", completedFiles.size(), [&](qsizetype i) { return QJsonArray{completedFiles[i]}; }},
         {"completedContent", completedContent.size(),
          [&](qsizetype i) {
              return QJsonObject{{contents[size_t(i)].key(), contentToJson(contents[size_t(i)].value())}};
          }},
         {"fileIdentities", fileIdentities.size(),
          [&](qsizetype i) { return QJsonObject{{ids[size_t(i)].key(), ids[size_t(i)].value().toJson()}}; }},
         {"unconfirmedFiles", unconfirmedFiles.size(),
          [&](qsizetype) {
              const QJsonObject one{{placed.key(), placed.value()}};
              ++placed;
              return one;
          }}},
        write);
}

ResumeState ResumeState::decode(const QByteArray& bytes) { return fromJson(json::parseObject(bytes)); }

bool ResumeState::isValidTransferID(const QString& transferID)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}$"));
    return plain.match(transferID).hasMatch();
}

QString ResumeState::jsonPath(const QString& transfersDir, const QString& transferID)
{
    return transfersDir + u'/' + transferID + QStringLiteral(".json");
}

QString ResumeState::journalPath(const QString& transfersDir, const QString& transferID)
{
    return transfersDir + u'/' + transferID + QStringLiteral(".journal");
}

void ResumeState::save(const QString& transfersDir) const
{
    if (!isValidTransferID(transferID))
        throw SystemError(QStringLiteral("Invalid transfer id: %1").arg(transferID));
    fs::writeFileAtomically(jsonPath(transfersDir, transferID), [this](const fs::ByteSink& write) { encodeInto(write); });
}

std::optional<ResumeState> ResumeState::load(const QString& transfersDir, const QString& transferID)
{
    if (!isValidTransferID(transferID))
        return std::nullopt;
    bool ok = false;
    const QByteArray bytes = readFile(jsonPath(transfersDir, transferID), &ok);
    if (!ok)
        return std::nullopt;
    ResumeState state;
    try {
        state = decode(bytes);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
    const QByteArray journal = readFile(journalPath(transfersDir, transferID), &ok);
    if (ok && !journal.isEmpty()) {
        QSet<QString> completed(state.completedFiles.begin(), state.completedFiles.end());
        QSet<QString> started;
        replay(state, completed, started, journal);
    }
    return state;
}

QList<ResumeState> ResumeState::listAll(const QString& transfersDir)
{
    QList<ResumeState> out;
    const QStringList names = QDir(transfersDir).entryList({QStringLiteral("*.json")}, QDir::Files);
    for (const QString& name : names) {
        const QString id = name.chopped(5);
        if (auto state = load(transfersDir, id))
            out.append(std::move(*state));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ResumeState& a, const ResumeState& b) { return a.updatedAt > b.updatedAt; });
    return out;
}

void ResumeState::remove(const QString& transfersDir, const QString& transferID)
{
    if (!isValidTransferID(transferID))
        return;
    // The JSON goes first: once it is gone the checkpoint no longer loads,
    // whatever a crash leaves of the journal.
    QFile::remove(jsonPath(transfersDir, transferID));
    QFile::remove(journalPath(transfersDir, transferID));
    // What a crash mid-rewrite left, and the list of the folders its partial copies were in.
    QFile::remove(jsonPath(transfersDir, transferID) + QStringLiteral(".tmp"));
    QFile::remove(PartialFolders::listPath(transfersDir, transferID));
}

ResumeJournal::ResumeJournal(QString transfersDir, ResumeState state) : m_dir(std::move(transfersDir)), m_state(std::move(state))
{
    m_completed = QSet<QString>(m_state.completedFiles.begin(), m_state.completedFiles.end());
    if (m_state.inProgressFile)
        m_started.insert(m_state.inProgressFile->relativePath);
    bool ok = false;
    const QByteArray journal = readFile(ResumeState::journalPath(m_dir, m_state.transferID), &ok);
    if (ok && !journal.isEmpty())
        replay(m_state, m_completed, m_started, journal);
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
    if (const auto it = m_state.fileIdentities.constFind(relativePath); it != m_state.fileIdentities.cend()) {
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
    const auto known = m_state.fileIdentities.constFind(relativePath);
    if (m_started.contains(relativePath) && known != m_state.fileIdentities.cend() && *known == identity)
        return;
    m_started.insert(relativePath);
    m_state.fileIdentities.insert(relativePath, identity);
    appendBegin(relativePath, now);
}

void ResumeJournal::fileAbandoned(const QString& relativePath, const QDateTime& now)
{
    m_numbers.remove(relativePath);
    m_started.remove(relativePath);
    m_state.fileIdentities.remove(relativePath);
    if (m_state.inProgressFile && m_state.inProgressFile->relativePath == relativePath)
        m_state.inProgressFile.reset();
    m_state.updatedAt = now;
    append(json::ObjectWriter().add("e", u"drop").add("p", relativePath).add("u", json::formatDate(now)));
}

void ResumeJournal::reopen(const QString& relativePath)
{
    m_numbers.remove(relativePath);
    if (m_completed.remove(relativePath))
        m_state.completedFiles.removeAll(relativePath);
    m_state.unconfirmedFiles.remove(relativePath);
    m_state.completedContent.remove(relativePath);
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
    m_state.completedFiles.reserve(count);
    m_state.fileIdentities.reserve(count);
    m_state.completedContent.reserve(count);
    m_completed.reserve(count);
}

void ResumeJournal::filesCompleted(const QStringList& relativePaths, const QDateTime& now)
{
    if (relativePaths.isEmpty())
        return;
    closeGroups();
    QByteArray lines;
    for (const QString& path : completeNumbered(relativePaths, now, lines)) {
        if (!m_completed.contains(path)) {
            m_completed.insert(path);
            m_state.completedFiles.append(path);
        }
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
    if (m_completed.contains(relativePath))
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
    if (content) {
        m_state.completedContent.insert(relativePath, *content);
        event.add("h", content->hash.toHex()).add("t", content->stamp());
    } else {
        m_state.completedContent.remove(relativePath);
    }
    append(event.add("u", json::formatDate(m_state.updatedAt)));
}

void ResumeJournal::useHashScheme(FileHashScheme scheme)
{
    if (m_state.fileHashScheme == scheme)
        return;
    // Hashes of another scheme could never be compared with this run's: they go, in one rewrite.
    m_state.fileHashScheme = scheme;
    m_state.unconfirmedFiles.clear();
    // clear() gives back the room reserved for every file too: regrowing it file by file would cost more at its peak.
    const qsizetype room = m_state.completedContent.capacity();
    m_state.completedContent.clear();
    m_state.completedContent.reserve(room);
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
