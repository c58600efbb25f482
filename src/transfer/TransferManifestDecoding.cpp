// SPDX-License-Identifier: Apache-2.0
// Reading a manifest as it arrived: the items one at a time, never the whole
// document as one JSON tree.
#include "transfer/TransferManifest.h"

#include "platform/Json.h"

#include <QJsonDocument>

namespace kivo {

namespace {

// Finds the extents of JSON values without building them, so that a large
// manifest's items can be decoded one at a time: a whole-document parse would
// hold a tree several times the size of the text next to the text itself and
// the decoded list. Each piece found is still checked by the JSON parser.
class Scanner {
public:
    explicit Scanner(const QByteArray& text, qsizetype from = 0, const TransferManifest::Consumed* consumed = nullptr)
        : m_data(text.constData()), m_size(text.size()), m_pos(from), m_consumed(consumed), m_reported(from)
    {
    }

    qsizetype pos() const { return m_pos; }
    void skipSpace()
    {
        while (m_pos < m_size && (m_data[m_pos] == ' ' || m_data[m_pos] == '\n' || m_data[m_pos] == '\r' ||
                                  m_data[m_pos] == '\t'))
            ++m_pos;
    }
    bool atEnd() const { return m_pos >= m_size; }
    char peek() const { return m_pos < m_size ? m_data[m_pos] : '\0'; }
    void expect(char c)
    {
        skipSpace();
        if (peek() != c)
            failHere(QStringLiteral("expected '%1'").arg(QLatin1Char(c)));
        ++m_pos;
    }
    // True when the next character is `c`, which is then consumed.
    bool consume(char c)
    {
        skipSpace();
        if (peek() != c)
            return false;
        ++m_pos;
        return true;
    }
    // The text of the next value, which is skipped.
    QByteArrayView value()
    {
        skipSpace();
        const qsizetype start = m_pos;
        if (peek() == '"') {
            skipString();
        } else if (peek() == '{' || peek() == '[') {
            int depth = 0;
            do {
                const char c = m_data[m_pos];
                if (c == '"') {
                    skipString();
                    continue;
                }
                if (m_consumed && m_pos - m_reported >= kConsumedStep) {
                    (*m_consumed)(m_reported, m_pos);
                    m_reported = m_pos;
                }
                if (c == '{' || c == '[')
                    ++depth;
                else if (c == '}' || c == ']')
                    --depth;
                ++m_pos;
            } while (depth > 0 && m_pos < m_size);
            if (depth > 0)
                failHere(QStringLiteral("unterminated value"));
        } else {
            while (m_pos < m_size && !QByteArrayView(",}] \t\r\n").contains(m_data[m_pos]))
                ++m_pos;
            if (m_pos == start)
                failHere(QStringLiteral("expected a value"));
        }
        return QByteArrayView(m_data + start, m_pos - start);
    }
    [[noreturn]] void failHere(const QString& what) const
    {
        throw DecodingError(QStringLiteral("Invalid JSON: %1 at offset %2").arg(what).arg(m_pos));
    }

private:
    void skipString()
    {
        ++m_pos; // the opening quote
        while (m_pos < m_size && m_data[m_pos] != '"')
            m_pos += m_data[m_pos] == '\\' ? 2 : 1;
        if (m_pos >= m_size)
            failHere(QStringLiteral("unterminated string"));
        ++m_pos;
    }

    // How often a reader that wants to know hears how far the scan has gone.
    static constexpr qsizetype kConsumedStep = 4 << 20;

    const char* m_data;
    qsizetype m_size;
    qsizetype m_pos;
    const TransferManifest::Consumed* m_consumed;
    qsizetype m_reported;
};

// A piece of the document checked by the JSON parser at the depth it has in the
// whole document (`depth` arrays around it), so that the parser's nesting limit
// refuses exactly what it would refuse in a whole-document parse.
QJsonValue parsePiece(QByteArrayView text, qsizetype offset, int depth)
{
    QByteArray wrapped;
    wrapped.reserve(text.size() + 2 * depth);
    wrapped.append(QByteArray(depth, '[')).append(text).append(QByteArray(depth, ']'));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("Invalid JSON: %1 at offset %2")
                                .arg(error.errorString())
                                .arg(offset - depth + error.offset));
    if (depth == 0)
        return doc.isObject() ? QJsonValue(doc.object()) : QJsonValue(doc.array());
    QJsonValue value = doc.array().at(0);
    for (int level = 1; level < depth; ++level)
        value = value.toArray().at(0);
    return value;
}

// The items array at `at`, read element by element into a list allocated once.
QList<TransferManifest::FileItem> decodeItems(const QByteArray& text, qsizetype at, const TransferManifest::Consumed* consumed)
{
    auto walk = [&](auto&& onElement) {
        Scanner s(text, at, consumed);
        if (!s.consume('['))
            throw DecodingError(QStringLiteral("Invalid JSON: key \"items\" is missing or not an array"));
        if (s.consume(']'))
            return;
        do {
            s.skipSpace();
            const qsizetype offset = s.pos();
            onElement(s.value(), offset);
        } while (s.consume(','));
        s.expect(']');
    };
    qsizetype count = 0;
    walk([&](QByteArrayView, qsizetype) { ++count; });
    QList<TransferManifest::FileItem> items;
    items.reserve(count);
    QStringList categories; // one shared string per category instead of one per item
    walk([&](QByteArrayView element, qsizetype offset) {
        const QJsonValue value = parsePiece(element, offset, 2); // inside the manifest and its items
        if (!value.isObject())
            throw DecodingError(QStringLiteral("Invalid JSON: items holds a non-object"));
        TransferManifest::FileItem item = TransferManifest::FileItem::fromJson(value.toObject());
        const qsizetype known = categories.indexOf(item.categoryID);
        if (known >= 0)
            item.categoryID = categories[known];
        else
            categories.append(item.categoryID);
        items.append(std::move(item));
    });
    return items;
}

// A member name as JSON text, unescaped.
QString keyOf(QByteArrayView text, qsizetype offset)
{
    if (text.size() >= 2 && text.front() == '"' && !text.contains('\\'))
        return QString::fromUtf8(text.sliced(1, text.size() - 2));
    const QJsonValue key = parsePiece(text, offset, 1);
    if (!key.isString())
        throw DecodingError(QStringLiteral("Invalid JSON: a member name is not a string at offset %1").arg(offset));
    return key.toString();
}

} // namespace

TransferManifest TransferManifest::decode(const QByteArray& bytes, const Consumed& consumed)
{
    Scanner s(bytes, 0, consumed ? &consumed : nullptr);
    s.expect('{');
    // Every member but the items, re-assembled into a small object for fromJson.
    QByteArray rest = "{";
    qsizetype itemsAt = -1;
    qsizetype itemsEnd = -1;
    if (!s.consume('}')) {
        do {
            s.skipSpace();
            const qsizetype keyAt = s.pos();
            const QByteArrayView key = s.value();
            s.expect(':');
            s.skipSpace();
            const qsizetype valueAt = s.pos();
            const QByteArrayView value = s.value();
            if (keyOf(key, keyAt) == QLatin1String("items")) {
                // A repeated key: as in a whole-document parse the last one counts and
                // the earlier ones need only be well-formed.
                if (itemsAt >= 0)
                    parsePiece(bytes.sliced(itemsAt, itemsEnd - itemsAt), itemsAt, 1);
                itemsAt = valueAt;
                itemsEnd = s.pos();
                continue;
            }
            if (rest.size() > 1)
                rest.append(',');
            rest.append(key).append(':').append(value);
        } while (s.consume(','));
        s.expect('}');
    }
    s.skipSpace();
    if (!s.atEnd())
        s.failHere(QStringLiteral("garbage after the manifest"));
    rest.append(rest.size() > 1 ? ",\"items\":[]}" : "\"items\":[]}");
    const QJsonValue restValue = parsePiece(rest, 0, 0);
    if (!restValue.isObject())
        throw DecodingError(QStringLiteral("Invalid JSON: expected an object"));
    TransferManifest m = fromJson(restValue.toObject());
    if (itemsAt < 0)
        throw DecodingError(QStringLiteral("Invalid JSON: key \"items\" is missing or not an array"));
    m.items = decodeItems(bytes, itemsAt, consumed ? &consumed : nullptr);
    return m;
}

} // namespace kivo
