// SPDX-License-Identifier: Apache-2.0
#include "platform/NameBytes.h"

namespace kivo::fs {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(char16_t u) { return u >= 0xDC80 && u <= 0xDCFF; }

// Length of the valid UTF-8 sequence at `p`, or 0 when the byte there does not start one.
qsizetype sequenceLength(const unsigned char* p, qsizetype left)
{
    const unsigned char c = p[0];
    if (c < 0x80)
        return 1;
    qsizetype n = 0;
    char32_t min = 0;
    char32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2, min = 0x80, code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, min = 0x800, code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, min = 0x10000, code = c & 0x07;
    } else {
        return 0;
    }
    if (left < n)
        return 0;
    for (qsizetype i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not valid UTF-8.
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

QString nameFromBytes(QByteArrayView bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    // The common case costs one validation pass.
    qsizetype i = 0;
    while (i < size) {
        const qsizetype n = sequenceLength(p + i, size - i);
        if (n == 0)
            break;
        i += n;
    }
    if (i == size)
        return QString::fromUtf8(bytes);
    QString out = QString::fromUtf8(bytes.first(i));
    while (i < size) {
        const qsizetype n = sequenceLength(p + i, size - i);
        if (n == 0) {
            out.append(QChar(char16_t(kEscapeBase + p[i])));
            ++i;
        } else {
            out.append(QString::fromUtf8(bytes.sliced(i, n)));
            i += n;
        }
    }
    return out;
}

QByteArray nameToBytes(QStringView name)
{
    if (!holdsRawBytes(name))
        return name.toUtf8();
    QByteArray out;
    out.reserve(name.size() * 3);
    qsizetype from = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name[i].unicode();
        // A low surrogate right after a high one is half of a real character.
        if (!isEscape(u) || (i > 0 && name[i - 1].isHighSurrogate()))
            continue;
        out.append(name.sliced(from, i - from).toUtf8());
        out.append(char(u - kEscapeBase));
        from = i + 1;
    }
    out.append(name.sliced(from).toUtf8());
    return out;
}

bool holdsRawBytes(QStringView name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isEscape(name[i].unicode()) && !(i > 0 && name[i - 1].isHighSurrogate()))
            return true;
    }
    return false;
}

} // namespace kivo::fs
