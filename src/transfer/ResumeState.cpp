// SPDX-License-Identifier: Apache-2.0
#include "transfer/ResumeState.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "transfer/PartialFolders.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace kivo {

namespace {

// A hash and a stamp: the two strings CompletedContent::parse takes.
QJsonArray contentToJson(const CompletedContent& c) { return QJsonArray{c.hash.toHex(), c.stamp()}; }

// The path's record, or an empty one to fill.
ResumeState::FileRecord recordOf(const ResumeState::Files& files, const QString& path)
{
    const auto it = files.constFind(path);
    return it == files.cend() ? ResumeState::FileRecord{} : *it;
}

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

std::optional<ResumeState::FileIdentity> ResumeState::FileRecord::identity() const
{
    if (!hasIdentity)
        return std::nullopt;
    FileIdentity id{sourceSize, std::nullopt};
    if (hasSourceModified)
        id.sourceModified = QDateTime::fromMSecsSinceEpoch(sourceModifiedMsecs, Qt::UTC);
    return id;
}

void ResumeState::FileRecord::setIdentity(const FileIdentity& identity)
{
    hasIdentity = true;
    sourceSize = identity.size;
    hasSourceModified = identity.sourceModified.has_value();
    sourceModifiedMsecs = hasSourceModified ? identity.sourceModified->toMSecsSinceEpoch() : 0;
}

QStringList ResumeState::completedFiles() const
{
    QStringList out;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it->completed)
            out.append(it.key());
    }
    out.sort();
    return out;
}

qsizetype ResumeState::completedCount() const
{
    return std::count_if(files.cbegin(), files.cend(), [](const FileRecord& r) { return r.completed; });
}

bool ResumeState::isCompleted(const QString& relativePath) const
{
    const auto it = files.constFind(relativePath);
    return it != files.cend() && it->completed;
}

void ResumeState::markCompleted(const QString& relativePath)
{
    FileRecord r = recordOf(files, relativePath);
    r.completed = true;
    files.store(relativePath, r);
}

std::optional<ResumeState::FileIdentity> ResumeState::identity(const QString& relativePath) const
{
    const auto it = files.constFind(relativePath);
    return it == files.cend() ? std::nullopt : it->identity();
}

void ResumeState::setIdentity(const QString& relativePath, const FileIdentity& identity)
{
    FileRecord r = recordOf(files, relativePath);
    r.setIdentity(identity);
    files.store(relativePath, r);
}

void ResumeState::forgetIdentity(const QString& relativePath)
{
    if (const auto it = files.constFind(relativePath); it != files.cend()) {
        FileRecord r = *it;
        r.hasIdentity = r.hasSourceModified = false;
        r.sourceSize = 0;
        r.sourceModifiedMsecs = 0;
        files.store(relativePath, r);
    }
}

std::optional<CompletedContent> ResumeState::content(const QString& relativePath) const
{
    const auto it = files.constFind(relativePath);
    return it != files.cend() && it->hasContent ? std::optional(it->content) : std::nullopt;
}

void ResumeState::setContent(const QString& relativePath, const std::optional<CompletedContent>& content)
{
    if (content) {
        FileRecord r = recordOf(files, relativePath);
        r.content = *content;
        r.hasContent = true;
        files.store(relativePath, r);
    } else if (const auto it = files.constFind(relativePath); it != files.cend()) {
        FileRecord r = *it;
        r.content = {};
        r.hasContent = false;
        files.store(relativePath, r);
    }
}

void ResumeState::forgetCompletion(const QString& relativePath)
{
    setContent(relativePath, std::nullopt);
    if (const auto it = files.constFind(relativePath); it != files.cend()) {
        FileRecord r = *it;
        r.completed = false;
        files.store(relativePath, r);
    }
}

void ResumeState::forgetAllContent()
{
    QStringList held;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it->hasContent)
            held.append(it.key());
    }
    for (const QString& path : std::as_const(held))
        setContent(path, std::nullopt);
}

QJsonObject ResumeState::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("transferID"), transferID);
    o.insert(QStringLiteral("sourceHostname"), sourceHostname);
    o.insert(QStringLiteral("createdAt"), json::formatDate(createdAt));
    o.insert(QStringLiteral("updatedAt"), json::formatDate(updatedAt));
    o.insert(QStringLiteral("completedFiles"), json::toArray(completedFiles()));
    if (inProgressFile)
        o.insert(QStringLiteral("inProgressFile"), inProgressFile->toJson());
    o.insert(QStringLiteral("completedCategories"), json::toArray(completedCategories));
    o.insert(QStringLiteral("totalBytesReceived"), static_cast<double>(totalBytesReceived));
    // Left out for whole-file hashes: the checkpoint reads as it always did.
    if (fileHashScheme != FileHashScheme::wholeFile)
        o.insert(QStringLiteral("fileHashScheme"), toString(fileHashScheme));
    QJsonObject ids;
    QJsonObject contents;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (const std::optional<FileIdentity> id = it->identity())
            ids.insert(it.key(), id->toJson());
        if (it->hasContent)
            contents.insert(it.key(), contentToJson(it->content));
    }
    if (!ids.isEmpty())
        o.insert(QStringLiteral("fileIdentities"), ids);
    if (!unconfirmedFiles.isEmpty()) {
        QJsonObject placed;
        for (auto it = unconfirmedFiles.cbegin(); it != unconfirmedFiles.cend(); ++it)
            placed.insert(it.key(), it.value());
        o.insert(QStringLiteral("unconfirmedFiles"), placed);
    }
    if (!contents.isEmpty())
        o.insert(QStringLiteral("completedContent"), contents);
    return o;
}

ResumeState ResumeState::fromJson(const QJsonObject& o)
{
    ResumeState s;
    s.transferID = json::requireString(o, "transferID");
    s.sourceHostname = json::requireString(o, "sourceHostname");
    s.createdAt = json::requireDate(o, "createdAt");
    s.updatedAt = json::requireDate(o, "updatedAt");
    for (const QString& path : json::requireStringList(o, "completedFiles"))
        s.markCompleted(path);
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
            s.setIdentity(it.key(), FileIdentity::fromJson(it.value().toObject()));
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
            s.setContent(it.key(), content);
        }
    }
    return s;
}

QByteArray ResumeState::encoded(Content content) const
{
    QByteArray text;
    encodeInto([&](QByteArrayView piece) { text.append(piece); }, content);
    return text;
}

void ResumeState::encodeInto(const fs::ByteSink& write, Content content) const
{
    // The same text as the whole document pretty-printed, without a tree of
    // every file next to it: the lists are written in, entry by entry, as it goes out.
    ResumeState frame = *this;
    frame.files = {};
    frame.unconfirmedFiles = {};
    QJsonObject o = frame.toJson();
    // In the order a JSON object keeps its keys.
    std::vector<decltype(files)::const_iterator> sorted;
    sorted.reserve(size_t(files.size()));
    qsizetype done = 0, ids = 0, contents = 0;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        sorted.push_back(it);
        done += it->completed;
        ids += it->hasIdentity;
        contents += content == Content::included && it->hasContent;
    }
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.key() < b.key(); });
    if (ids > 0)
        o.insert(QStringLiteral("fileIdentities"), QJsonObject());
    if (!unconfirmedFiles.isEmpty())
        o.insert(QStringLiteral("unconfirmedFiles"), QJsonObject());
    if (contents > 0)
        o.insert(QStringLiteral("completedContent"), QJsonObject());
    // Each list is filled in order, so each walks the sorted records once.
    const auto walk = [&sorted](size_t& at, auto wanted) {
        while (!wanted(*sorted[at]))
            ++at;
        return sorted[at++];
    };
    size_t doneAt = 0, idAt = 0, contentAt = 0;
    auto placed = unconfirmedFiles.cbegin();
    json::writeFilled(
        json::toFileBytes(o),
        {{"completedFiles", done,
          [&](qsizetype) { return QJsonArray{walk(doneAt, [](const FileRecord& r) { return r.completed; }).key()}; }},
         {"completedContent", contents,
          [&](qsizetype) {
              const auto it = walk(contentAt, [](const FileRecord& r) { return r.hasContent; });
              return QJsonObject{{it.key(), contentToJson(it->content)}};
          }},
         {"fileIdentities", ids,
          [&](qsizetype) {
              const auto it = walk(idAt, [](const FileRecord& r) { return r.hasIdentity; });
              return QJsonObject{{it.key(), it->identity()->toJson()}};
          }},
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
    QSet<QString> started;
    ResumeJournal::replayFile(journalPath(transfersDir, transferID), state, started);
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

} // namespace kivo
