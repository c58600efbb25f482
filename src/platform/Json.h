// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

// Helpers for the JSON conventions every record follows: ISO 8601 UTC dates
// without fractions, bytes as Base64, and absent optionals omitted rather than
// written as null. Files are written with sorted keys (QJsonObject keeps them
// sorted); wire headers and journal lines in field order (ObjectWriter).
namespace kivo::json {

QString formatDate(const QDateTime& date);
QDateTime parseDate(const QString& text); // throws DecodingError

// Pretty-printed document for files we write.
QByteArray toFileBytes(const QJsonObject& object);
QByteArray toFileBytes(const QJsonArray& array);

// A pretty-printed document whose large members are written in entry by
// entry: the text is that of the whole document, which is never held.
struct FilledMember {
    const char* key; // a top-level member, an empty array or object in the frame
    qsizetype count;
    // Entry i as a one-entry container: an array of the element, or an object of the member.
    std::function<QJsonValue(qsizetype)> entry;
    // Optional: appends entry i's lines as the pretty-printer would spell them,
    // or returns false to leave that entry to it. Building no tree, it is many times faster.
    std::function<bool(qsizetype, QByteArray&)> text = {};
};

// Pieces of an entry spelt as the pretty-printer spells them, for FilledMember::text.
// A string it escapes (quotes, backslashes, controls) or spells otherwise
// (surrogates) is not written, and false returned; so is a number too large
// to be held exactly.
bool appendPlainString(QByteArray& out, QStringView text);
bool appendPlainNumber(QByteArray& out, std::uint64_t value);
// `frame` is the document pretty-printed with those members empty.
void writeFilled(const QByteArray& frame, QList<FilledMember> members, const std::function<void(QByteArrayView)>& write);

QJsonObject parseObject(const QByteArray& bytes); // throws DecodingError

// Required readers: a missing key or a value of the wrong type throws DecodingError.
QString requireString(const QJsonObject& o, const char* key);
bool requireBool(const QJsonObject& o, const char* key);
std::uint64_t requireUInt64(const QJsonObject& o, const char* key);
std::uint32_t requireUInt32(const QJsonObject& o, const char* key);
qint64 requireInt(const QJsonObject& o, const char* key);
QDateTime requireDate(const QJsonObject& o, const char* key);
QJsonArray requireArray(const QJsonObject& o, const char* key);
QJsonObject requireObject(const QJsonObject& o, const char* key);
QStringList requireStringList(const QJsonObject& o, const char* key);
// A required array of records, each read with T::fromJson from its object.
template <typename T>
QList<T> requireRecords(const QJsonObject& o, const char* key)
{
    const QJsonArray array = requireArray(o, key);
    QList<T> out;
    out.reserve(array.size());
    for (const QJsonValue& v : array) {
        if (!v.isObject())
            throw DecodingError(QStringLiteral("Invalid JSON: %1 holds a non-object").arg(QLatin1String(key)));
        out.append(T::fromJson(v.toObject()));
    }
    return out;
}

// Optional readers: a missing key gives nullopt; a present key of the wrong type throws.
std::optional<QString> optionalString(const QJsonObject& o, const char* key);
std::optional<std::uint64_t> optionalUInt64(const QJsonObject& o, const char* key);
std::optional<std::uint32_t> optionalUInt32(const QJsonObject& o, const char* key);
std::optional<QDateTime> optionalDate(const QJsonObject& o, const char* key);
std::optional<QByteArray> optionalBase64(const QJsonObject& o, const char* key);

// Writers that leave no key behind for an absent value.
void put(QJsonObject& o, const char* key, const std::optional<QString>& v);
void put(QJsonObject& o, const char* key, const std::optional<std::uint64_t>& v);
void put(QJsonObject& o, const char* key, const std::optional<std::uint32_t>& v);
void put(QJsonObject& o, const char* key, const std::optional<QDateTime>& v);

QJsonArray toArray(const QStringList& list);

// Writes one compact JSON object field by field, in the order given: the
// records sent or journalled for every file skip building a QJsonObject.
class ObjectWriter {
public:
    ObjectWriter() { m_out.reserve(256); m_out.append('{'); }
    ObjectWriter& add(const char* key, QStringView value);
    ObjectWriter& add(const char* key, std::uint64_t value);
    // A value that is JSON already (a nested object or array).
    ObjectWriter& addJson(const char* key, QByteArrayView json);
    template <typename T>
    ObjectWriter& add(const char* key, const std::optional<T>& value)
    {
        return value ? add(key, *value) : *this;
    }
    QByteArray finish() { m_out.append('}'); return std::move(m_out); }

private:
    void key(const char* key);
    void string(QStringView value);
    QByteArray m_out;
};

} // namespace kivo::json
