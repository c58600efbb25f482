// SPDX-License-Identifier: Apache-2.0
#include "transfer/WirePath.h"

namespace kivo {

namespace {

// What the file system accepts: a name of 255 bytes, a path shorter than 4,096 with its terminator.
constexpr qsizetype kMaxNameBytes = 255;
constexpr qsizetype kMaxPathBytes = 4095;

// Length in bytes as the file system sees it, without building the bytes: a
// lone U+DC80..U+DCFF stands for one byte that is not UTF-8 (platform/NameBytes.h).
qsizetype utf8Length(QStringView text)
{
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        const bool rawByte = u >= 0xDC80 && u <= 0xDCFF && !(i > 0 && text[i - 1].isHighSurrogate());
        bytes += u < 0x80 || rawByte ? 1 : u < 0x800 ? 2 : text[i].isSurrogate() ? 2 : 3;
    }
    return bytes;
}

std::optional<PathRefusal> checkComponents(QStringView absolute)
{
    for (const QStringView part : absolute.mid(1).split(u'/')) {
        if (part.isEmpty() || part == u"." || part == u"..")
            return PathRefusal::invalid;
        if (utf8Length(part) > kMaxNameBytes)
            return PathRefusal::tooLong;
    }
    return std::nullopt;
}

// "~/x" against the home folder, absolute paths as they are; nothing else is a path we accept.
std::optional<QString> absoluteFrom(const QString& path, const QString& home)
{
    if (path.startsWith(QLatin1String("~/")))
        return (home == QLatin1String("/") ? QString() : home) + path.mid(1);
    if (path.startsWith(u'/'))
        return path;
    return std::nullopt;
}

} // namespace

QString toString(PathRefusal refusal)
{
    switch (refusal) {
    case PathRefusal::invalid:
        return QStringLiteral("Invalid path");
    case PathRefusal::tooLong:
        return QStringLiteral("Path too long");
    case PathRefusal::outsideHome:
        return QStringLiteral("Outside home folder");
    case PathRefusal::protectedPath:
        return QStringLiteral("Protected path");
    }
    return {};
}

WirePathCheck checkWirePath(const QString& wirePath, const QString& home, const std::optional<UserMapping>& mapping,
                            const MDMSafetyChecker& safety)
{
    if (wirePath.contains(QChar(0)))
        return {{}, PathRefusal::invalid};
    QString mapped = wirePath;
    if (mapping && mapping->changesHomeFolder() && !mapping->sourceHomeFolder.isEmpty())
        mapped.replace(mapping->sourceHomeFolder, mapping->destinationHomeFolder);
    const std::optional<QString> absolute = absoluteFrom(mapped, home);
    if (!absolute)
        return {{}, PathRefusal::invalid};
    if (utf8Length(*absolute) > kMaxPathBytes)
        return {{}, PathRefusal::tooLong};
    if (const auto refusal = checkComponents(*absolute))
        return {{}, refusal};
    if (!safety.isPathSafe(*absolute))
        return {{}, PathRefusal::protectedPath};
    // No "." or ".." is left, so a plain prefix test is exact.
    const QString base = home.endsWith(u'/') ? home : home + u'/';
    if (!absolute->startsWith(base))
        return {{}, PathRefusal::outsideHome};
    return {*absolute, std::nullopt};
}

QByteArray forLog(const QString& wirePath)
{
    QByteArray out = wirePath.toUtf8();
    for (qsizetype i = out.size() - 1; i >= 0; --i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if (c < 0x20 || c == 0x7f)
            out.replace(i, 1, QByteArray("\\x") + QByteArray::number(c, 16).rightJustified(2, '0'));
    }
    return out;
}

} // namespace kivo
