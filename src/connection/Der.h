// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>

#include <cstdint>
#include <initializer_list>

// The few DER encodings our self-signed certificate needs, nothing more.
namespace kivo::der {

enum Tag : std::uint8_t {
    integer = 0x02,
    bitString = 0x03,
    objectIdentifier = 0x06,
    utf8String = 0x0C,
    utcTime = 0x17,
    sequence = 0x30,
    set = 0x31,
    contextTag0 = 0xA0,
};

// Short form below 128, then 0x81 / 0x82 / ... followed by the big-endian length.
QByteArray encodeLength(std::size_t length);
QByteArray tlv(std::uint8_t tag, const QByteArray& contents);

// Unsigned big-endian magnitude; a leading 0x00 keeps a set top bit from reading as negative.
QByteArray encodeInteger(QByteArray magnitude);
QByteArray encodeInteger(std::uint64_t value);
// Dotted text such as "1.2.840.10045.4.3.2".
QByteArray encodeOid(const char* dotted);
QByteArray encodeUtf8String(const QString& text);
// "yyMMddHHmmssZ" in UTC.
QByteArray encodeUtcTime(const QDateTime& time);
// No unused bits.
QByteArray encodeBitString(const QByteArray& bits);
QByteArray encodeSequence(std::initializer_list<QByteArray> items);
QByteArray encodeSet(std::initializer_list<QByteArray> items);

} // namespace kivo::der
