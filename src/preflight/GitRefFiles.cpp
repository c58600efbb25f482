// SPDX-License-Identifier: Apache-2.0
#include "preflight/GitRefFiles.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMultiHash>

#include <optional>

namespace kivo {

namespace {

// Larger files than these are unusual enough for git to read them.
constexpr qint64 kMaxConfigBytes = 256 * 1024;
constexpr qint64 kMaxPackedRefsBytes = 4 * 1024 * 1024;
constexpr qsizetype kMaxLooseRefs = 4096;

std::optional<QByteArray> readSmall(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return std::nullopt;
    return file.read(limit);
}

bool isObjectName(QByteArrayView text)
{
    if (text.size() != 40 && text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// "section.subsection.key" -> values, for the plain lines a clone writes; nothing for anything else.
std::optional<QMultiHash<QString, QString>> plainConfig(const QByteArray& text)
{
    QMultiHash<QString, QString> out;
    QString section;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith('#') || line.startsWith(';'))
            continue;
        if (line.startsWith('[')) {
            const QString header = QString::fromUtf8(line);
            const qsizetype quote = header.indexOf(u'"');
            if (!header.endsWith(u']'))
                return std::nullopt;
            const QString name = (quote < 0 ? header.mid(1, header.size() - 2) : header.mid(1, quote - 1)).trimmed().toLower();
            if (name.startsWith(QLatin1String("include")) || name.contains(u'.') || name.contains(u' '))
                return std::nullopt;
            if (quote < 0) {
                section = name;
                continue;
            }
            const qsizetype close = header.lastIndexOf(u'"');
            const QString sub = header.mid(quote + 1, close - quote - 1);
            if (close <= quote || sub.contains(u'\\') || sub.contains(u'"'))
                return std::nullopt;
            section = name + u'.' + sub;
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (eq < 0 || line.contains('"') || line.contains('\\') || line.contains('#') || line.contains(';'))
            return std::nullopt;
        out.insert(section + u'.' + QString::fromUtf8(line.left(eq).trimmed()).toLower(),
                   QString::fromUtf8(line.mid(eq + 1).trimmed()));
    }
    return out;
}

// Every ref under refs/ with its object name: loose files over packed ones.
std::optional<QHash<QString, QByteArray>> readRefs(const QString& gitFolder)
{
    QHash<QString, QByteArray> refs;
    if (QFile::exists(gitFolder + QLatin1String("/packed-refs"))) {
        const auto packed = readSmall(gitFolder + QLatin1String("/packed-refs"), kMaxPackedRefsBytes);
        if (!packed)
            return std::nullopt;
        for (const QByteArray& line : packed->split('\n')) {
            if (line.isEmpty() || line.startsWith('#') || line.startsWith('^'))
                continue;
            const qsizetype space = line.indexOf(' ');
            if (space < 0 || !isObjectName(QByteArrayView(line).first(space)))
                return std::nullopt;
            refs.insert(QString::fromUtf8(line.mid(space + 1)), line.left(space));
        }
    }
    const qsizetype prefix = gitFolder.size() + 1;
    for (const char* folder : {"/refs/heads", "/refs/remotes", "/refs/stash"}) {
        const QString root = gitFolder + QLatin1String(folder);
        if (QFileInfo(root).isFile()) {
            refs.insert(root.mid(prefix), QByteArray()); // a stash: git tells
            continue;
        }
        QDirIterator it(root, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (it.fileInfo().isSymLink() || refs.size() > kMaxLooseRefs)
                return std::nullopt;
            const auto text = readSmall(path, 1024);
            // A remote's HEAD names its default branch; no branch tracks it.
            if (text && text->startsWith("ref: ") && qstrcmp(folder, "/refs/remotes") == 0)
                continue;
            if (!text || !isObjectName(QByteArrayView(*text).trimmed()))
                return std::nullopt;
            refs.insert(path.mid(prefix), text->trimmed());
        }
    }
    return refs;
}

// The tracking ref a branch's configuration names; nothing when it is not the plain kind.
std::optional<QString> upstreamOf(const QString& branch, const QMultiHash<QString, QString>& config)
{
    const QList<QString> remotes = config.values(QStringLiteral("branch.%1.remote").arg(branch));
    const QList<QString> merges = config.values(QStringLiteral("branch.%1.merge").arg(branch));
    if (remotes.size() != 1 || merges.size() != 1 || !merges.first().startsWith(QLatin1String("refs/heads/")))
        return std::nullopt;
    const QString& remote = remotes.first();
    if (remote == QLatin1String("."))
        return merges.first();
    const QList<QString> fetch = config.values(QStringLiteral("remote.%1.fetch").arg(remote));
    const QString plain = QStringLiteral("refs/heads/*:refs/remotes/%1/*").arg(remote);
    if (fetch.size() != 1 || (fetch.first() != plain && fetch.first() != u'+' + plain))
        return std::nullopt;
    return QStringLiteral("refs/remotes/%1/%2").arg(remote, merges.first().mid(11));
}

} // namespace

bool refsShowNothingUnshared(const QString& gitFolder)
{
    for (const char* unusual : {"/commondir", "/reftable"})
        if (QFileInfo::exists(gitFolder + QLatin1String(unusual)))
            return false;
    const auto configText = readSmall(gitFolder + QLatin1String("/config"), kMaxConfigBytes);
    const auto config = configText ? plainConfig(*configText) : std::nullopt;
    if (!config || config->contains(QStringLiteral("extensions.refstorage")))
        return false;
    const auto refs = readRefs(gitFolder);
    if (!refs || refs->contains(QStringLiteral("refs/stash")))
        return false;
    for (auto it = refs->constBegin(); it != refs->constEnd(); ++it) {
        if (!it.key().startsWith(QLatin1String("refs/heads/")))
            continue;
        const auto upstream = upstreamOf(it.key().mid(11), *config);
        if (!upstream || refs->value(*upstream) != it.value())
            return false;
    }
    return true;
}

} // namespace kivo
