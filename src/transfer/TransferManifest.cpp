// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferManifest.h"

#include "platform/Json.h"
#include "platform/NameBytes.h"
#include "transfer/UserMapping.h"
#include "transfer/WireName.h"

#include <QJsonDocument>

namespace kivo {

namespace {

const char* const kStatusNames[] = {"pending", "inProgress", "completed", "failed", "skipped"};

constexpr std::uint32_t kMaxNanoseconds = 999'999'999;

std::optional<fs::FileTime> timeOf(const std::optional<QDateTime>& date, const std::optional<std::uint32_t>& nanos)
{
    if (!date || !date->isValid())
        return std::nullopt;
    return fs::FileTime{date->toSecsSinceEpoch(), std::int64_t(nanos.value_or(0))};
}

std::optional<std::uint32_t> readNanoseconds(const QJsonObject& o)
{
    const auto nanos = json::optionalUInt32(o, "sourceModifiedNanoseconds");
    if (nanos && *nanos > kMaxNanoseconds)
        throw DecodingError(QStringLiteral("Invalid JSON: sourceModifiedNanoseconds out of range"));
    return nanos;
}

// Name -> Base64 value; names are the user namespace's, which are text.
void putAttributes(QJsonObject& o, const QList<fs::ExtendedAttribute>& attributes)
{
    if (attributes.isEmpty())
        return;
    QJsonObject map;
    for (const fs::ExtendedAttribute& a : attributes)
        map.insert(QString::fromUtf8(a.name), QString::fromLatin1(a.value.toBase64()));
    o.insert(QStringLiteral("extendedAttributes"), map);
}

QList<fs::ExtendedAttribute> readAttributes(const QJsonObject& o)
{
    QList<fs::ExtendedAttribute> out;
    if (!o.contains(QLatin1String("extendedAttributes")))
        return out;
    const QJsonObject map = json::requireObject(o, "extendedAttributes");
    for (auto it = map.begin(); it != map.end(); ++it) {
        auto value = QByteArray::fromBase64Encoding(it.value().toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!it.value().isString() || !value)
            throw DecodingError(QStringLiteral("Invalid JSON: extendedAttributes holds a value that is not Base64"));
        out.append({it.key().toUtf8(), *value});
    }
    return out;
}

void putName(QJsonObject& o, const QString& relativePath, bool rawName)
{
    o.insert(QStringLiteral("relativePath"), relativePath);
    if (rawName) {
        if (const auto held = fromWireName(relativePath))
            o.insert(QStringLiteral("relativePathBytes"), QString::fromLatin1(fs::nameToBytes(*held).toBase64()));
    }
}

// The bytes must spell the path exactly: a path is never taken on trust from either field alone.
bool readRawName(const QJsonObject& o, const QString& relativePath)
{
    const auto bytes = json::optionalBase64(o, "relativePathBytes");
    if (!bytes)
        return false;
    if (toWireName(fs::nameFromBytes(*bytes)) != relativePath)
        throw DecodingError(QStringLiteral("Invalid JSON: relativePathBytes does not match relativePath"));
    return true;
}

} // namespace

QString skippedFolderText(const QString& reason) { return QStringLiteral("Folder could not be read: ") + reason; }

QString skippedEntryText(const QString& reason) { return QStringLiteral("Not copied: ") + reason; }

QString TransferManifest::SkippedFolder::text() const
{
    return isFolder ? skippedFolderText(reason) : skippedEntryText(reason);
}

std::optional<fs::FileTime> TransferManifest::FileItem::modifiedTime() const
{
    return timeOf(sourceModified, sourceModifiedNanoseconds);
}

std::optional<QString> TransferManifest::FileItem::homeShown() const
{
    if (!relativePath.startsWith(QLatin1String("~/")))
        return std::nullopt;
    const QStringView tail = QStringView(relativePath).mid(1); // "/X"
    if (tail.size() < 2 || !absolutePath.endsWith(tail))
        return std::nullopt;
    return absolutePath.chopped(tail.size());
}

std::optional<fs::FileTime> TransferManifest::Entry::modifiedTime() const
{
    return timeOf(sourceModified, sourceModifiedNanoseconds);
}

QJsonObject TransferManifest::Entry::toJson() const
{
    QJsonObject o;
    putName(o, relativePath, rawName);
    o.insert(QStringLiteral("categoryID"), categoryID);
    o.insert(QStringLiteral("kind"), kind == Kind::folder ? QStringLiteral("folder") : QStringLiteral("link"));
    if (mode)
        o.insert(QStringLiteral("mode"), static_cast<int>(*mode));
    json::put(o, "sourceModified", sourceModified);
    json::put(o, "sourceModifiedNanoseconds", sourceModifiedNanoseconds);
    putAttributes(o, extendedAttributes);
    if (kind == Kind::link) {
        const QString text = fs::nameFromBytes(linkTarget);
        if (needsEscaping(text))
            o.insert(QStringLiteral("linkTargetBytes"), QString::fromLatin1(linkTarget.toBase64()));
        else
            o.insert(QStringLiteral("linkTarget"), text);
    }
    return o;
}

TransferManifest::Entry TransferManifest::Entry::fromJson(const QJsonObject& o)
{
    Entry e;
    e.relativePath = json::requireString(o, "relativePath");
    e.rawName = readRawName(o, e.relativePath);
    e.categoryID = json::requireString(o, "categoryID");
    const QString kind = json::requireString(o, "kind");
    if (kind == QLatin1String("folder"))
        e.kind = Kind::folder;
    else if (kind == QLatin1String("link"))
        e.kind = Kind::link;
    else
        throw DecodingError(QStringLiteral("Invalid JSON: unknown entry kind \"%1\"").arg(kind));
    if (const auto mode = json::optionalUInt64(o, "mode")) {
        if (*mode > 0xFFFF)
            throw DecodingError(QStringLiteral("Invalid JSON: mode out of range"));
        e.mode = static_cast<std::uint16_t>(*mode);
    }
    e.sourceModified = json::optionalDate(o, "sourceModified");
    e.sourceModifiedNanoseconds = readNanoseconds(o);
    e.extendedAttributes = readAttributes(o);
    if (e.kind == Kind::link) {
        if (const auto bytes = json::optionalBase64(o, "linkTargetBytes"))
            e.linkTarget = *bytes;
        else
            e.linkTarget = json::requireString(o, "linkTarget").toUtf8();
        if (e.linkTarget.isEmpty() || e.linkTarget.contains('\0') || e.linkTarget.size() >= 4096)
            throw DecodingError(QStringLiteral("Invalid JSON: unusable linkTarget"));
    }
    return e;
}

QString toString(FileTransferStatus status) { return QString::fromLatin1(kStatusNames[static_cast<int>(status)]); }

std::optional<FileTransferStatus> fileTransferStatusFromString(const QString& text)
{
    for (int i = 0; i < 5; ++i) {
        if (text == QLatin1String(kStatusNames[i]))
            return static_cast<FileTransferStatus>(i);
    }
    return std::nullopt;
}

// appendItemText below spells the same fields for the manifest's items: a
// field added here is added there too, or sends its items back here.
QJsonObject TransferManifest::FileItem::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("relativePath"), relativePath);
    o.insert(QStringLiteral("absolutePath"), rawName ? toWireName(absolutePath) : absolutePath);
    o.insert(QStringLiteral("size"), static_cast<double>(size));
    o.insert(QStringLiteral("categoryID"), categoryID);
    json::put(o, "sha256Hash", sha256Hash);
    o.insert(QStringLiteral("isTransferred"), isTransferred);
    o.insert(QStringLiteral("bytesTransferred"), static_cast<double>(bytesTransferred));
    o.insert(QStringLiteral("transferStatus"), toString(transferStatus));
    if (destinationPath)
        o.insert(QStringLiteral("destinationPath"), rawName ? toWireName(*destinationPath) : *destinationPath);
    if (mode)
        o.insert(QStringLiteral("mode"), static_cast<int>(*mode));
    json::put(o, "sourceModified", sourceModified);
    json::put(o, "sourceModifiedNanoseconds", sourceModifiedNanoseconds);
    if (sparse)
        o.insert(QStringLiteral("sparse"), true);
    if (rawName) {
        if (const auto held = fromWireName(relativePath))
            o.insert(QStringLiteral("relativePathBytes"), QString::fromLatin1(fs::nameToBytes(*held).toBase64()));
    }
    putAttributes(o, extendedAttributes);
    return o;
}

TransferManifest::FileItem TransferManifest::FileItem::fromJson(const QJsonObject& o)
{
    FileItem item;
    item.relativePath = json::requireString(o, "relativePath");
    item.absolutePath = json::requireString(o, "absolutePath");
    item.size = json::requireUInt64(o, "size");
    item.categoryID = json::requireString(o, "categoryID");
    item.sha256Hash = json::optionalString(o, "sha256Hash");
    item.isTransferred = json::requireBool(o, "isTransferred");
    item.bytesTransferred = json::requireUInt64(o, "bytesTransferred");
    const QString status = json::requireString(o, "transferStatus");
    const auto parsed = fileTransferStatusFromString(status);
    if (!parsed)
        throw DecodingError(QStringLiteral("Invalid JSON: unknown transferStatus \"%1\"").arg(status));
    item.transferStatus = *parsed;
    item.destinationPath = json::optionalString(o, "destinationPath");
    if (const auto mode = json::optionalUInt64(o, "mode")) {
        if (*mode > 0xFFFF)
            throw DecodingError(QStringLiteral("Invalid JSON: mode out of range"));
        item.mode = static_cast<std::uint16_t>(*mode);
    }
    item.sourceModified = json::optionalDate(o, "sourceModified");
    item.sourceModifiedNanoseconds = readNanoseconds(o);
    if (o.contains(QLatin1String("sparse")))
        item.sparse = json::requireBool(o, "sparse");
    item.rawName = readRawName(o, item.relativePath);
    if (item.rawName) {
        item.absolutePath = fromWireName(item.absolutePath).value_or(item.absolutePath);
        if (item.destinationPath)
            item.destinationPath = fromWireName(*item.destinationPath).value_or(*item.destinationPath);
    }
    item.extendedAttributes = readAttributes(o);
    return item;
}

QJsonObject TransferManifest::SkippedFolder::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("relativePath"), relativePath);
    o.insert(QStringLiteral("categoryID"), categoryID);
    o.insert(QStringLiteral("reason"), reason);
    if (!isFolder)
        o.insert(QStringLiteral("kind"), QStringLiteral("file"));
    return o;
}

TransferManifest::SkippedFolder TransferManifest::SkippedFolder::fromJson(const QJsonObject& o)
{
    SkippedFolder folder;
    folder.relativePath = json::requireString(o, "relativePath");
    folder.categoryID = json::requireString(o, "categoryID");
    folder.reason = json::requireString(o, "reason");
    folder.isFolder = json::optionalString(o, "kind").value_or(QStringLiteral("folder")) != QLatin1String("file");
    return folder;
}

QJsonObject TransferManifest::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("transferID"), transferID);
    o.insert(QStringLiteral("sourceHostname"), sourceHostname);
    if (sourceHomeFolder)
        o.insert(QStringLiteral("sourceHomeFolder"), *sourceHomeFolder);
    QJsonArray array;
    for (const FileItem& item : items)
        array.append(item.toJson());
    o.insert(QStringLiteral("items"), array);
    o.insert(QStringLiteral("totalSize"), static_cast<double>(totalSize));
    o.insert(QStringLiteral("categoryIDs"), json::toArray(categoryIDs));
    o.insert(QStringLiteral("categoryOrder"), json::toArray(categoryOrder));
    o.insert(QStringLiteral("createdAt"), json::formatDate(createdAt));
    if (conflictPolicy)
        o.insert(QStringLiteral("conflictPolicy"), toString(*conflictPolicy));
    if (!skippedFolders.isEmpty()) {
        QJsonArray folders;
        for (const SkippedFolder& folder : skippedFolders)
            folders.append(folder.toJson());
        o.insert(QStringLiteral("skippedFolders"), folders);
    }
    if (!entries.isEmpty()) {
        QJsonArray array;
        for (const Entry& entry : entries)
            array.append(entry.toJson());
        o.insert(QStringLiteral("entries"), array);
    }
    if (layout)
        o.insert(QStringLiteral("layout"), *layout);
    if (!userFolders.isEmpty()) {
        QJsonObject folders;
        for (auto it = userFolders.cbegin(); it != userFolders.cend(); ++it)
            folders.insert(it.key(), it.value());
        o.insert(QStringLiteral("userFolders"), folders);
    }
    return o;
}

TransferManifest TransferManifest::fromJson(const QJsonObject& o)
{
    TransferManifest m;
    m.transferID = json::requireString(o, "transferID");
    m.sourceHostname = json::requireString(o, "sourceHostname");
    m.sourceHomeFolder = json::optionalString(o, "sourceHomeFolder");
    m.items = json::requireRecords<FileItem>(o, "items");
    m.totalSize = json::requireUInt64(o, "totalSize");
    m.categoryIDs = json::requireStringList(o, "categoryIDs");
    m.categoryOrder = json::requireStringList(o, "categoryOrder");
    m.createdAt = json::requireDate(o, "createdAt");
    if (const auto policy = json::optionalString(o, "conflictPolicy")) {
        m.conflictPolicy = conflictPolicyFromString(*policy);
        if (!m.conflictPolicy)
            throw DecodingError(QStringLiteral("Invalid JSON: unknown conflictPolicy \"%1\"").arg(*policy));
    }
    if (o.contains(QStringLiteral("skippedFolders")))
        m.skippedFolders = json::requireRecords<SkippedFolder>(o, "skippedFolders");
    if (o.contains(QStringLiteral("entries")))
        m.entries = json::requireRecords<Entry>(o, "entries");
    m.layout = json::optionalString(o, "layout");
    if (o.contains(QStringLiteral("userFolders"))) {
        const QJsonValue folders = o.value(QStringLiteral("userFolders"));
        if (!folders.isObject())
            throw DecodingError(QStringLiteral("Invalid JSON: userFolders is not an object"));
        const QJsonObject object = folders.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!it.value().isString())
                throw DecodingError(QStringLiteral("Invalid JSON: userFolders holds a non-string"));
            m.userFolders.insert(it.key(), it.value().toString());
        }
    }
    return m;
}

QByteArray TransferManifest::encoded() const
{
    QByteArray text;
    encodeInto([&text](QByteArrayView piece) { text.append(piece); });
    return text;
}

namespace {

// An item's lines as they sit in the pretty-printed manifest, keys in order,
// written straight out; false for an item with a field it leaves to the printer.
// Kept in step with FileItem::toJson.
bool appendItemText(const TransferManifest::FileItem& item, QByteArray& out)
{
    if (item.rawName || item.destinationPath || item.sha256Hash || !item.extendedAttributes.isEmpty())
        return false;
    const char* separator = "\n";
    const auto key = [&](const char* name) {
        out.append(separator).append("            \"").append(name).append("\": ");
        separator = ",\n";
    };
    // Each is false where the printer would spell the value otherwise.
    const auto string = [&](const char* name, QStringView value) {
        key(name);
        return json::appendPlainString(out, value);
    };
    const auto number = [&](const char* name, std::uint64_t value) {
        key(name);
        return json::appendPlainNumber(out, value);
    };
    const auto flag = [&](const char* name, bool value) {
        key(name);
        out.append(value ? "true" : "false");
        return true;
    };
    out.append("        {");
    const bool plain =
        string("absolutePath", item.absolutePath) && number("bytesTransferred", item.bytesTransferred)
        && string("categoryID", item.categoryID) && flag("isTransferred", item.isTransferred)
        && (!item.mode || number("mode", *item.mode)) && string("relativePath", item.relativePath)
        && number("size", item.size)
        && (!item.sourceModified || string("sourceModified", json::formatDate(*item.sourceModified)))
        && (!item.sourceModifiedNanoseconds || number("sourceModifiedNanoseconds", *item.sourceModifiedNanoseconds))
        && (!item.sparse || flag("sparse", true)) && string("transferStatus", toString(item.transferStatus));
    out.append("\n        }");
    return plain;
}

} // namespace

void TransferManifest::encodeInto(const std::function<void(QByteArrayView)>& write) const
{
    // The same text as the whole document pretty-printed, built one item at a
    // time: a document of every item at once holds a tree several times the text.
    TransferManifest rest = *this;
    rest.items = {};
    json::writeFilled(json::toFileBytes(rest.toJson()),
                      {{"items", items.size(), [this](qsizetype i) { return QJsonArray{items[i].toJson()}; },
                        [this](qsizetype i, QByteArray& out) { return appendItemText(items[i], out); }}},
                      write);
}

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

QJsonDocument parsePiece(QByteArrayView text, qsizetype offset)
{
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(text.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(
            QStringLiteral("Invalid JSON: %1 at offset %2").arg(error.errorString()).arg(offset + error.offset));
    return doc;
}

// The items array at `at`, read element by element into a list allocated once.
QList<TransferManifest::FileItem> decodeItems(const QByteArray& text, qsizetype at, const TransferManifest::Consumed* consumed,
                                              TransferManifest::SourcePaths sourcePaths)
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
    bool homeShown = false;
    walk([&](QByteArrayView element, qsizetype offset) {
        const QJsonDocument doc = parsePiece(element, offset);
        if (!doc.isObject())
            throw DecodingError(QStringLiteral("Invalid JSON: items holds a non-object"));
        TransferManifest::FileItem item = TransferManifest::FileItem::fromJson(doc.object());
        if (sourcePaths == TransferManifest::SourcePaths::homeOnce) {
            // Freed before the next item is read, so its bytes are reused at once.
            if (homeShown && item.relativePath.startsWith(QLatin1String("~/")))
                item.absolutePath = QString();
            else if (!homeShown)
                homeShown = item.homeShown().has_value();
        }
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
    const QJsonDocument doc = parsePiece(QByteArray("[") + text.toByteArray() + "]", offset - 1);
    if (!doc.array().at(0).isString())
        throw DecodingError(QStringLiteral("Invalid JSON: a member name is not a string at offset %1").arg(offset));
    return doc.array().at(0).toString();
}

} // namespace

TransferManifest TransferManifest::decode(const QByteArray& bytes, const Consumed& consumed, SourcePaths sourcePaths)
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
                    parsePiece(bytes.sliced(itemsAt, itemsEnd - itemsAt), itemsAt);
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
    const QJsonDocument restDoc = parsePiece(rest, 0);
    if (!restDoc.isObject())
        throw DecodingError(QStringLiteral("Invalid JSON: expected an object"));
    TransferManifest m = fromJson(restDoc.object());
    if (itemsAt < 0)
        throw DecodingError(QStringLiteral("Invalid JSON: key \"items\" is missing or not an array"));
    m.items = decodeItems(bytes, itemsAt, consumed ? &consumed : nullptr, sourcePaths);
    return m;
}

QList<TransferManifest::FileItem> TransferManifest::itemsForCategory(const QString& categoryID) const
{
    // One category often holds nearly every item: sized once instead of grown by doubling.
    const auto count = std::count_if(items.cbegin(), items.cend(),
                                     [&](const FileItem& item) { return item.categoryID == categoryID; });
    if (count == items.size())
        return items;
    QList<FileItem> out;
    out.reserve(count);
    for (const FileItem& item : items) {
        if (item.categoryID == categoryID)
            out.append(item);
    }
    return out;
}

QList<qsizetype> TransferManifest::indicesForCategory(const QString& categoryID) const
{
    QList<qsizetype> out;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i].categoryID == categoryID)
            out.append(i);
    }
    return out;
}

void TransferManifest::markFileCompleted(qsizetype index)
{
    if (index < 0 || index >= items.size())
        return;
    FileItem& item = items[index];
    item.isTransferred = true;
    item.transferStatus = FileTransferStatus::completed;
    item.bytesTransferred = item.size;
}

void TransferManifest::markFileSkipped(qsizetype index)
{
    if (index >= 0 && index < items.size())
        items[index].transferStatus = FileTransferStatus::skipped;
}

void TransferManifest::markFileFailed(qsizetype index)
{
    if (index >= 0 && index < items.size())
        items[index].transferStatus = FileTransferStatus::failed;
}

void TransferManifest::applyUserMapping(const UserMapping& mapping)
{
    if (!mapping.sourceHomeFolder.isEmpty())
        sourceHomeFolder = mapping.sourceHomeFolder;
    if (mapping.sourceHomeFolder == mapping.destinationHomeFolder || mapping.sourceHomeFolder.isEmpty())
        return;
    for (FileItem& item : items) {
        QString path = item.absolutePath;
        item.destinationPath = path.replace(mapping.sourceHomeFolder, mapping.destinationHomeFolder);
    }
}

} // namespace kivo
