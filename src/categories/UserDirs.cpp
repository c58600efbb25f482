// SPDX-License-Identifier: Apache-2.0
#include "categories/UserDirs.h"

#include <QFile>

namespace kivo {

namespace {

const QString kHomeVariable = QStringLiteral("$HOME");

// Double-quoted shell text as the file writes it: backslash escapes the next character.
std::optional<QString> unquote(const QString& value)
{
    if (value.size() < 2 || !value.startsWith(u'"') || !value.endsWith(u'"'))
        return std::nullopt;
    QString out;
    const QString inner = value.mid(1, value.size() - 2);
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner[i] == u'\\' && i + 1 < inner.size())
            out.append(inner[++i]);
        else if (inner[i] == u'"')
            return std::nullopt;
        else
            out.append(inner[i]);
    }
    return out;
}

// "~/rest" for a path strictly inside the home with no "." or ".." step.
std::optional<QString> insideHome(const QString& path, const QString& homeFolder)
{
    QString rest;
    if (path.startsWith(kHomeVariable + u'/'))
        rest = path.mid(kHomeVariable.size() + 1);
    else if (path.startsWith(homeFolder + u'/'))
        rest = path.mid(homeFolder.size() + 1);
    else
        return std::nullopt;
    while (rest.endsWith(u'/'))
        rest.chop(1);
    if (rest.isEmpty() || rest.contains(QChar(0)))
        return std::nullopt;
    for (const QString& part : rest.split(u'/')) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    }
    return QStringLiteral("~/") + rest;
}

} // namespace

const QStringList& userFileDirKinds()
{
    static const QStringList kinds{QStringLiteral("DOCUMENTS"), QStringLiteral("DESKTOP"), QStringLiteral("DOWNLOAD"),
                                   QStringLiteral("PICTURES"),  QStringLiteral("MUSIC"),   QStringLiteral("VIDEOS")};
    return kinds;
}

UserDirs defaultUserDirs(HomeLayoutKind layout)
{
    return {{QStringLiteral("DOCUMENTS"), QStringLiteral("~/Documents")},
            {QStringLiteral("DESKTOP"), QStringLiteral("~/Desktop")},
            {QStringLiteral("DOWNLOAD"), QStringLiteral("~/Downloads")},
            {QStringLiteral("PICTURES"), QStringLiteral("~/Pictures")},
            {QStringLiteral("MUSIC"), QStringLiteral("~/Music")},
            {QStringLiteral("VIDEOS"),
             layout == HomeLayoutKind::MacOS ? QStringLiteral("~/Movies") : QStringLiteral("~/Videos")},
            {QStringLiteral("TEMPLATES"), QStringLiteral("~/Templates")},
            {QStringLiteral("PUBLICSHARE"), QStringLiteral("~/Public")}};
}

UserDirs parseUserDirs(QByteArrayView text, const QString& homeFolder)
{
    UserDirs dirs;
    const QString home = homeFolder.endsWith(u'/') ? homeFolder.chopped(1) : homeFolder;
    for (const QByteArray& rawLine : text.toByteArray().split('\n')) {
        const QString line = QString::fromUtf8(rawLine).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            continue;
        const QString name = line.left(equals);
        if (!name.startsWith(QLatin1String("XDG_")) || !name.endsWith(QLatin1String("_DIR")) || name.size() <= 8)
            continue;
        const std::optional<QString> value = unquote(line.mid(equals + 1));
        if (!value)
            continue;
        if (const std::optional<QString> tilde = insideHome(*value, home))
            dirs.insert(name.mid(4, name.size() - 8), *tilde);
    }
    return dirs;
}

UserDirs userDirsOf(const QString& homeFolder, HomeLayoutKind layout)
{
    UserDirs dirs = defaultUserDirs(layout);
    if (layout == HomeLayoutKind::MacOS)
        return dirs;
    QFile file(homeFolder + QStringLiteral("/.config/user-dirs.dirs"));
    // A sane file is a few hundred bytes; anything past that is not one.
    if (file.open(QIODevice::ReadOnly))
        dirs.insert(parseUserDirs(file.read(64 * 1024), homeFolder));
    return dirs;
}

QString relocateUserDirPath(const QString& tildePath, const UserDirs& source, const UserDirs& destination)
{
    // The longest match wins, so a folder nested in another kind's keeps its own.
    QString bestKind;
    qsizetype bestLength = -1;
    for (auto it = source.cbegin(); it != source.cend(); ++it) {
        const QString& folder = it.value();
        if ((tildePath == folder || tildePath.startsWith(folder + u'/')) && folder.size() > bestLength) {
            bestKind = it.key();
            bestLength = folder.size();
        }
    }
    if (bestLength < 0 || !destination.contains(bestKind))
        return tildePath;
    return destination.value(bestKind) + tildePath.mid(bestLength);
}

} // namespace kivo
