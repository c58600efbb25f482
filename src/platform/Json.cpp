// SPDX-License-Identifier: Apache-2.0
#include "platform/Json.h"

#include <QTimeZone>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kivo::json {

namespace {

[[noreturn]] void fail(const char* key, const char* expected)
{
    throw DecodingError(QStringLiteral("Invalid JSON: key \"%1\" is missing or not %2")
                            .arg(QString::fromLatin1(key), QString::fromLatin1(expected)));
}

// JSON numbers are doubles; integers above 2^53 cannot be carried exactly.
constexpr double kMaxExactInteger = 9007199254740992.0;

std::uint64_t toUInt64(const QJsonValue& v, const char* key)
{
    if (!v.isDouble())
        fail(key, "a number");
    const double d = v.toDouble();
    if (d < 0 || d > kMaxExactInteger || std::floor(d) != d)
        fail(key, "an unsigned integer");
    return static_cast<std::uint64_t>(d);
}

} // namespace

QString formatDate(const QDateTime& date)
{
    if (!date.isValid())
        return {};
    // Written for every journalled event, thousands a second: the text of the
    // last second is kept, and calendar arithmetic beats formatting through a pattern.
    const std::time_t seconds = static_cast<std::time_t>(std::floor(date.toMSecsSinceEpoch() / 1000.0));
    thread_local std::optional<std::time_t> lastSeconds;
    thread_local QString lastText;
    if (seconds == lastSeconds)
        return lastText;
    std::tm utc {};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    lastSeconds = seconds;
    lastText = QString::fromLatin1(text, n);
    return lastText;
}

QDateTime parseDate(const QString& text)
{
    QDateTime d = QDateTime::fromString(text, Qt::ISODate);
    if (!d.isValid())
        d = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!d.isValid())
        throw DecodingError(QStringLiteral("Invalid JSON: \"%1\" is not an ISO 8601 date").arg(text));
    return d.toUTC();
}

QByteArray toFileBytes(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Indented); }
QByteArray toFileBytes(const QJsonArray& array) { return QJsonDocument(array).toJson(QJsonDocument::Indented); }

namespace {

// Text every JSON writer spells as it stands: ASCII with no quote, backslash or control.
bool isPlainAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return c.unicode() >= 0x20 && c.unicode() < 0x80 && c != u'"' && c != u'\\';
    });
}

// Appends plain ASCII, one byte a character, without converting through UTF-8.
void appendAscii(QByteArray& out, QStringView text)
{
    const qsizetype at = out.size();
    out.resize(at + text.size());
    char* to = out.data() + at;
    for (const QChar c : text)
        *to++ = char(c.unicode());
}

void appendDigits(QByteArray& out, std::uint64_t value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end - digits);
}

// Entries [from, to) of a member, as their lines in the whole document, each
// followed by its separator. Nested one level further, the pretty-printer
// indents an entry as deep as it sits in the document: "[\n    [\n" or
// "[\n    {\n" before it and the matching nine bytes after it are cut off.
QByteArray filledBlock(const FilledMember& member, qsizetype from, qsizetype to)
{
    QByteArray out;
    for (qsizetype i = from; i < to; ++i) {
        const qsizetype start = out.size();
        if (member.text && member.text(i, out)) {
            out.append(i + 1 < member.count ? ",\n" : "\n    ");
            continue;
        }
        out.truncate(start);
        const QByteArray nested = toFileBytes(QJsonArray{member.entry(i)});
        if (i == from)
            out.reserve((nested.size() + 64) * (to - from)); // sized once, from the first entry
        out.append(QByteArrayView(nested).sliced(8, nested.size() - 17));
        out.append(i + 1 < member.count ? ",\n" : "\n    ");
    }
    return out;
}

} // namespace

void writeFilled(const QByteArray& frame, QList<FilledMember> members, const std::function<void(QByteArrayView)>& write)
{
    // Entries handed to `write` at a time.
    constexpr qsizetype kBlock = 1024;
    struct Place {
        qsizetype open;
        qsizetype close;
        const FilledMember* member;
    };
    QList<Place> places;
    for (const FilledMember& m : std::as_const(members)) {
        const QByteArray opening = QByteArray("\n    \"") + m.key + "\": ";
        const qsizetype at = frame.indexOf(opening);
        if (at < 0 || m.count == 0)
            continue;
        const qsizetype open = at + opening.size();
        places.append({open, frame.indexOf(frame[open] == '[' ? ']' : '}', open), &m});
    }
    std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) { return a.open < b.open; });
    qsizetype from = 0;
    for (const Place& p : std::as_const(places)) {
        write(QByteArrayView(frame).sliced(from, p.open + 1 - from));
        write("\n");
        for (qsizetype at = 0; at < p.member->count; at += kBlock)
            write(filledBlock(*p.member, at, std::min(p.member->count, at + kBlock)));
        from = p.close;
    }
    write(QByteArrayView(frame).sliced(from));
}
bool appendPlainString(QByteArray& out, QStringView text)
{
    const bool ascii = isPlainAscii(text);
    if (!ascii && std::any_of(text.begin(), text.end(), [](QChar c) {
            return c.unicode() < 0x20 || c == u'"' || c == u'\\' || c.isSurrogate();
        }))
        return false;
    out.append('"');
    if (ascii)
        appendAscii(out, text);
    else
        out.append(text.toUtf8());
    out.append('"');
    return true;
}

bool appendPlainNumber(QByteArray& out, std::uint64_t value)
{
    // Beyond 2^53 a double no longer holds every integer, and the printer's spelling changes.
    if (value > (std::uint64_t(1) << 53))
        return false;
    appendDigits(out, value);
    return true;
}

QJsonObject parseObject(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("Invalid JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        throw DecodingError(QStringLiteral("Invalid JSON: expected an object"));
    return doc.object();
}

QString requireString(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString())
        fail(key, "a string");
    return v.toString();
}

bool requireBool(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isBool())
        fail(key, "a boolean");
    return v.toBool();
}

std::uint64_t requireUInt64(const QJsonObject& o, const char* key)
{
    return toUInt64(o.value(QLatin1String(key)), key);
}

std::uint32_t requireUInt32(const QJsonObject& o, const char* key)
{
    const std::uint64_t v = requireUInt64(o, key);
    if (v > 0xFFFFFFFFull)
        fail(key, "a 32-bit unsigned integer");
    return static_cast<std::uint32_t>(v);
}

qint64 requireInt(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isDouble() || std::floor(v.toDouble()) != v.toDouble())
        fail(key, "an integer");
    return static_cast<qint64>(v.toDouble());
}

QDateTime requireDate(const QJsonObject& o, const char* key) { return parseDate(requireString(o, key)); }

QJsonArray requireArray(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isArray())
        fail(key, "an array");
    return v.toArray();
}

QJsonObject requireObject(const QJsonObject& o, const char* key)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isObject())
        fail(key, "an object");
    return v.toObject();
}

QStringList requireStringList(const QJsonObject& o, const char* key)
{
    QStringList out;
    for (const QJsonValue& v : requireArray(o, key)) {
        if (!v.isString())
            fail(key, "an array of strings");
        out << v.toString();
    }
    return out;
}

std::optional<QString> optionalString(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    return requireString(o, key);
}

std::optional<std::uint64_t> optionalUInt64(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    return requireUInt64(o, key);
}

std::optional<std::uint32_t> optionalUInt32(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    return requireUInt32(o, key);
}

std::optional<QDateTime> optionalDate(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    return requireDate(o, key);
}

std::optional<QByteArray> optionalBase64(const QJsonObject& o, const char* key)
{
    if (!o.contains(QLatin1String(key)))
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(requireString(o, key).toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        fail(key, "Base64 text");
    return *decoded;
}

void put(QJsonObject& o, const char* key, const std::optional<QString>& v)
{
    if (v)
        o.insert(QLatin1String(key), *v);
}

void put(QJsonObject& o, const char* key, const std::optional<std::uint64_t>& v)
{
    if (v)
        o.insert(QLatin1String(key), static_cast<double>(*v));
}

void put(QJsonObject& o, const char* key, const std::optional<std::uint32_t>& v)
{
    if (v)
        o.insert(QLatin1String(key), static_cast<double>(*v));
}

void put(QJsonObject& o, const char* key, const std::optional<QDateTime>& v)
{
    if (v)
        o.insert(QLatin1String(key), formatDate(*v));
}

QJsonArray toArray(const QStringList& list)
{
    QJsonArray a;
    for (const QString& s : list)
        a.append(s);
    return a;
}

void ObjectWriter::key(const char* name)
{
    if (m_out.size() > 1)
        m_out.append(',');
    m_out.append('"').append(name).append("\":");
}

void ObjectWriter::string(QStringView value)
{
    static const char hex[] = "0123456789abcdef";
    m_out.append('"');
    // Nearly every value is plain ASCII: copied across without converting or escaping.
    if (isPlainAscii(value)) {
        appendAscii(m_out, value);
        m_out.append('"');
        return;
    }
    for (const char c : value.toUtf8()) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            m_out.append('\\').append(c);
        } else if (u < 0x20) {
            const char escaped[] = {'\\', 'u', '0', '0', hex[u >> 4], hex[u & 15]};
            m_out.append(escaped, 6);
        } else {
            m_out.append(c);
        }
    }
    m_out.append('"');
}

ObjectWriter& ObjectWriter::add(const char* name, QStringView value)
{
    key(name);
    string(value);
    return *this;
}

ObjectWriter& ObjectWriter::add(const char* name, std::uint64_t value)
{
    key(name);
    appendDigits(m_out, value);
    return *this;
}

ObjectWriter& ObjectWriter::addJson(const char* name, QByteArrayView json)
{
    key(name);
    m_out.append(json);
    return *this;
}

} // namespace kivo::json
