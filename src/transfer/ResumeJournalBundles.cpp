// SPDX-License-Identifier: Apache-2.0
// The journal's compact lines for files received whole in bundles. A bundle's
// files are begun in one line and land in another; each is numbered by its
// place among the journal's bundled files, so the lines after the first name
// it by that number instead of repeating its path, and a run of completions
// is two numbers. A journal of many small files then costs about a path and
// a hash per file.
#include "transfer/ResumeState.h"

#include "platform/Error.h"
#include "platform/Json.h"

#include <QJsonArray>

namespace kivo {

namespace {

// A string as JSON text, escaped as the writer escapes every string.
QByteArray quoted(QStringView text)
{
    const QByteArray object = json::ObjectWriter().add("s", text).finish();
    return object.mid(5, object.size() - 6); // {"s": ... }
}

void appendEntry(QByteArray& group, const QByteArray& entry)
{
    if (!group.isEmpty())
        group.append(',');
    group.append(entry);
}

QString numberedPath(const QStringList& numbered, const QJsonValue& number)
{
    const double n = number.toDouble(-1);
    if (n < 0 || n >= double(numbered.size()) || n != double(qsizetype(n)))
        throw DecodingError(QStringLiteral("journal: unknown file number"));
    return numbered[qsizetype(n)];
}

void markCompleted(ResumeState& state, QSet<QString>& started, const QString& path)
{
    state.unconfirmedFiles.remove(path);
    state.markCompleted(path);
    started.remove(path);
    if (state.inProgressFile && state.inProgressFile->relativePath == path)
        state.inProgressFile.reset();
}

} // namespace

void ResumeJournal::bundledFileStarted(const QString& relativePath, const ResumeState::FileIdentity& identity,
                                       const QDateTime& now)
{
    m_started.insert(relativePath);
    m_state.setIdentity(relativePath, identity);
    m_state.updatedAt = now;
    m_groupTime = now;
    m_numbers.insert(relativePath, m_nextNumber++);
    QByteArray entry = '[' + quoted(relativePath) + ',' + QByteArray::number(qulonglong(identity.size));
    if (identity.sourceModified)
        entry += ',' + QByteArray::number(identity.sourceModified->toMSecsSinceEpoch());
    appendEntry(m_begunGroup, entry + ']');
}

void ResumeJournal::bundledFileLanded(const QString& relativePath, const QString& sha256,
                                      const std::optional<CompletedContent>& content, const QDateTime& now)
{
    const auto number = m_numbers.constFind(relativePath);
    if (number == m_numbers.cend()) {
        // Begun before this journal started: recorded by path, as any file is.
        if (content)
            contentRecorded(relativePath, content);
        fileInPlace(relativePath, sha256, now);
        return;
    }
    if (m_state.isCompleted(relativePath))
        return;
    m_started.remove(relativePath);
    m_state.unconfirmedFiles.insert(relativePath, sha256);
    if (content)
        m_state.setContent(relativePath, content);
    if (m_state.inProgressFile && m_state.inProgressFile->relativePath == relativePath)
        m_state.inProgressFile.reset();
    m_state.updatedAt = now;
    m_groupTime = now;
    QByteArray entry = '[' + QByteArray::number(*number) + ',' + quoted(sha256);
    if (content)
        entry += ',' + quoted(content->stamp());
    appendEntry(m_landedGroup, entry + ']');
}

void ResumeJournal::closeGroups()
{
    if (m_begunGroup.isEmpty() && m_landedGroup.isEmpty())
        return;
    const QString at = json::formatDate(m_groupTime.isValid() ? m_groupTime : m_state.updatedAt);
    QByteArray lines;
    if (!m_begunGroup.isEmpty()) {
        lines += json::ObjectWriter()
                     .add("e", u"begun")
                     .addJson("f", '[' + std::exchange(m_begunGroup, {}) + ']')
                     .add("t", m_state.totalBytesReceived)
                     .add("u", at)
                     .finish();
        lines += '\n';
    }
    if (!m_landedGroup.isEmpty()) {
        lines += json::ObjectWriter().add("e", u"landed").addJson("f", '[' + std::exchange(m_landedGroup, {}) + ']').add("u", at).finish();
        lines += '\n';
    }
    m_pending.append(lines);
}

QStringList ResumeJournal::completeNumbered(const QStringList& paths, const QDateTime& now, QByteArray& lines)
{
    QStringList byPath;
    QList<std::uint32_t> numbers;
    for (const QString& path : paths) {
        const auto number = m_numbers.constFind(path);
        if (number == m_numbers.cend()) {
            byPath.append(path);
            continue;
        }
        numbers.append(*number);
        m_numbers.erase(number);
        markCompleted(m_state, m_started, path);
    }
    if (numbers.isEmpty())
        return byPath;
    std::sort(numbers.begin(), numbers.end());
    // Runs of consecutive numbers, as [first, count].
    QByteArray runs;
    for (qsizetype i = 0; i < numbers.size();) {
        qsizetype j = i + 1;
        while (j < numbers.size() && numbers[j] == numbers[j - 1] + 1)
            ++j;
        appendEntry(runs, '[' + QByteArray::number(numbers[i]) + ',' + QByteArray::number(j - i) + ']');
        i = j;
    }
    lines += json::ObjectWriter().add("e", u"done").addJson("r", '[' + runs + ']').add("u", json::formatDate(now)).finish();
    lines += '\n';
    m_state.updatedAt = now;
    return byPath;
}

bool ResumeJournal::replayGrouped(const QString& kind, const QJsonObject& e, ResumeState& state, QSet<QString>& started,
                                  QStringList& numbered)
{
    if (kind == QLatin1String("begun")) {
        for (const QJsonValue& v : json::requireArray(e, "f")) {
            const QJsonArray f = v.toArray();
            if (f.size() < 2 || !f[0].isString() || !f[1].isDouble())
                throw DecodingError(QStringLiteral("begun: malformed entry"));
            ResumeState::FileIdentity id{std::uint64_t(f[1].toDouble()), std::nullopt};
            if (f.size() > 2)
                id.sourceModified = QDateTime::fromMSecsSinceEpoch(qint64(f[2].toDouble()), Qt::UTC);
            const QString path = f[0].toString();
            numbered.append(path);
            started.insert(path);
            state.setIdentity(path, id);
        }
        state.totalBytesReceived = json::requireUInt64(e, "t");
    } else if (kind == QLatin1String("landed")) {
        for (const QJsonValue& v : json::requireArray(e, "f")) {
            const QJsonArray f = v.toArray();
            const QString path = numberedPath(numbered, f.at(0));
            if (f.size() < 2 || !f[1].isString())
                throw DecodingError(QStringLiteral("landed: malformed entry"));
            if (!state.isCompleted(path))
                state.unconfirmedFiles.insert(path, f[1].toString());
            if (f.size() > 2) {
                const std::optional<CompletedContent> content = CompletedContent::parse(f[1].toString(), f[2].toString());
                if (!content)
                    throw DecodingError(QStringLiteral("landed: malformed content"));
                state.setContent(path, content);
            }
            started.remove(path);
            if (state.inProgressFile && state.inProgressFile->relativePath == path)
                state.inProgressFile.reset();
        }
    } else if (kind == QLatin1String("done")) {
        for (const QJsonValue& v : json::requireArray(e, "r")) {
            const QJsonArray run = v.toArray();
            const double first = run.at(0).toDouble(-1), count = run.at(1).toDouble(-1);
            if (first < 0 || count < 1 || first + count > double(numbered.size()))
                throw DecodingError(QStringLiteral("done: malformed run"));
            for (qsizetype n = qsizetype(first); n < qsizetype(first + count); ++n)
                markCompleted(state, started, numberedPath(numbered, double(n)));
        }
    } else {
        return false;
    }
    return true;
}

bool ResumeJournal::replayEvent(const QString& kind, const QJsonObject& e, ResumeState& state, QSet<QString>& started,
                                 QStringList& numbered)
{
    if (kind == QLatin1String("begin")) {
        const QString path = json::requireString(e, "p");
        started.insert(path);
        if (e.contains(QLatin1String("s"))) {
            ResumeState::FileIdentity id{json::requireUInt64(e, "s"), std::nullopt};
            if (e.contains(QLatin1String("m")))
                id.sourceModified = json::requireDate(e, "m");
            state.setIdentity(path, id);
        }
    } else if (kind == QLatin1String("drop")) {
        const QString path = json::requireString(e, "p");
        started.remove(path);
        state.forgetIdentity(path);
        if (state.inProgressFile && state.inProgressFile->relativePath == path)
            state.inProgressFile.reset();
    } else if (kind == QLatin1String("chunk")) {
        ResumeState::InProgressFile f;
        f.relativePath = json::requireString(e, "p");
        f.categoryID = json::requireString(e, "c");
        f.lastAcknowledgedChunk = json::requireUInt32(e, "i");
        f.bytesReceived = json::requireUInt64(e, "b");
        state.inProgressFile = f;
        state.totalBytesReceived = json::requireUInt64(e, "t");
        started.insert(f.relativePath);
    } else if (kind == QLatin1String("placed")) {
        const QString path = json::requireString(e, "p");
        if (!state.isCompleted(path))
            state.unconfirmedFiles.insert(path, json::requireString(e, "h"));
        started.remove(path);
        if (state.inProgressFile && state.inProgressFile->relativePath == path)
            state.inProgressFile.reset();
    } else if (kind == QLatin1String("file")) {
        // Completions are recorded in groups, possibly after the next file began.
        markCompleted(state, started, json::requireString(e, "p"));
    } else if (kind == QLatin1String("content")) {
        const QString path = json::requireString(e, "p");
        const std::optional<QString> hash = json::optionalString(e, "h");
        const std::optional<CompletedContent> content =
            hash ? CompletedContent::parse(*hash, json::requireString(e, "t")) : std::nullopt;
        if (hash && !content)
            throw DecodingError(QStringLiteral("content: malformed"));
        state.setContent(path, content);
    } else if (replayGrouped(kind, e, state, started, numbered)) {
        return true;
    } else if (kind == QLatin1String("category")) {
        const QString id = json::requireString(e, "p");
        if (!state.completedCategories.contains(id))
            state.completedCategories.append(id);
    } else {
        return false;
    }
    return true;
}

} // namespace kivo
