// SPDX-License-Identifier: Apache-2.0
#include "connection/Der.h"

#include <QStringList>
#include <QTimeZone>

#include <stdexcept>

namespace kivo::der {

QByteArray encodeLength(std::size_t length)
{
    if (length < 128)
        return QByteArray(1, static_cast<char>(length));
    QByteArray bytes;
    for (std::size_t n = length; n > 0; n >>= 8)
        bytes.prepend(static_cast<char>(n & 0xFF));
    bytes.prepend(static_cast<char>(0x80 | bytes.size()));
    return bytes;
}

QByteArray tlv(std::uint8_t tag, const QByteArray& contents)
{
    QByteArray out(1, static_cast<char>(tag));
    out += encodeLength(static_cast<std::size_t>(contents.size()));
    out += contents;
    return out;
}

QByteArray encodeInteger(QByteArray magnitude)
{
    while (magnitude.size() > 1 && magnitude.at(0) == 0 && !(static_cast<quint8>(magnitude.at(1)) & 0x80))
        magnitude.remove(0, 1);
    if (magnitude.isEmpty())
        magnitude = QByteArray(1, '\0');
    if (static_cast<quint8>(magnitude.at(0)) & 0x80)
        magnitude.prepend('\0');
    return tlv(integer, magnitude);
}

QByteArray encodeInteger(std::uint64_t value)
{
    QByteArray bytes;
    do {
        bytes.prepend(static_cast<char>(value & 0xFF));
        value >>= 8;
    } while (value > 0);
    return encodeInteger(bytes);
}

namespace {

void appendBase128(QByteArray& out, std::uint64_t arc)
{
    QByteArray chunk(1, static_cast<char>(arc & 0x7F));
    for (arc >>= 7; arc > 0; arc >>= 7)
        chunk.prepend(static_cast<char>(0x80 | (arc & 0x7F)));
    out += chunk;
}

} // namespace

QByteArray encodeOid(const char* dotted)
{
    const QStringList parts = QString::fromLatin1(dotted).split(u'.');
    if (parts.size() < 2)
        throw std::invalid_argument("an OID needs at least two arcs");
    QList<std::uint64_t> arcs;
    for (const QString& p : parts) {
        bool ok = false;
        arcs.append(p.toULongLong(&ok));
        if (!ok)
            throw std::invalid_argument("malformed OID");
    }
    QByteArray body;
    appendBase128(body, arcs[0] * 40 + arcs[1]);
    for (qsizetype i = 2; i < arcs.size(); ++i)
        appendBase128(body, arcs[i]);
    return tlv(objectIdentifier, body);
}

QByteArray encodeUtf8String(const QString& text)
{
    return tlv(utf8String, text.toUtf8());
}

QByteArray encodeUtcTime(const QDateTime& time)
{
    return tlv(utcTime, time.toTimeZone(QTimeZone::utc()).toString(QStringLiteral("yyMMddHHmmss'Z'")).toLatin1());
}

QByteArray encodeBitString(const QByteArray& bits)
{
    return tlv(bitString, QByteArray(1, '\0') + bits);
}

QByteArray encodeSequence(std::initializer_list<QByteArray> items)
{
    QByteArray body;
    for (const auto& i : items)
        body += i;
    return tlv(sequence, body);
}

QByteArray encodeSet(std::initializer_list<QByteArray> items)
{
    QByteArray body;
    for (const auto& i : items)
        body += i;
    return tlv(set, body);
}

} // namespace kivo::der
