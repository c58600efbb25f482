// SPDX-License-Identifier: Apache-2.0
#include "transfer/WireName.h"

#include "platform/NameBytes.h"

namespace kivo {

namespace {

constexpr char16_t kMark = 0xFFFD;

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

} // namespace

bool needsEscaping(QStringView heldName)
{
    return heldName.contains(QChar(kMark)) || fs::holdsRawBytes(heldName);
}

QString toWireName(QStringView heldName)
{
    if (!needsEscaping(heldName))
        return heldName.toString();
    static const char kHex[] = "0123456789ABCDEF";
    QString out;
    out.reserve(heldName.size() + 16);
    const QByteArray bytes = fs::nameToBytes(heldName);
    // Walk the bytes: what is valid UTF-8 other than U+FFFD stays text, the rest is escaped.
    const QString clean = fs::nameFromBytes(bytes);
    qsizetype at = 0;
    for (qsizetype i = 0; i < clean.size(); ++i) {
        const QChar c = clean[i];
        const bool raw = fs::holdsRawBytes(QStringView(clean).sliced(i, 1)) && !(i > 0 && clean[i - 1].isHighSurrogate());
        if (!raw && c.unicode() != kMark) {
            out.append(c);
            at += c.isHighSurrogate() || c.isLowSurrogate() ? 2 : (c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : 3);
            continue;
        }
        const qsizetype n = raw ? 1 : 3;
        for (qsizetype k = 0; k < n; ++k) {
            const auto b = static_cast<unsigned char>(bytes[at + k]);
            out.append(QChar(kMark)).append(QLatin1Char(kHex[b >> 4])).append(QLatin1Char(kHex[b & 15]));
        }
        at += n;
    }
    return out;
}

std::optional<QString> fromWireName(QStringView wireName)
{
    QByteArray bytes;
    bytes.reserve(wireName.size() * 2);
    qsizetype from = 0;
    for (qsizetype i = 0; i < wireName.size(); ++i) {
        if (wireName[i].unicode() != kMark)
            continue;
        if (i + 2 >= wireName.size() || hexValue(wireName[i + 1]) < 0 || hexValue(wireName[i + 2]) < 0)
            return std::nullopt;
        bytes.append(wireName.sliced(from, i - from).toUtf8());
        bytes.append(char(hexValue(wireName[i + 1]) * 16 + hexValue(wireName[i + 2])));
        i += 2;
        from = i + 1;
    }
    bytes.append(wireName.sliced(from).toUtf8());
    return fs::nameFromBytes(bytes);
}

} // namespace kivo
