// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferManifest.h"

#include "platform/Json.h"
#include "platform/NameBytes.h"
#include "transfer/UserFoldersField.h"
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

QString TransferManifest::FileItem::absolutePath() const
{
    if (!m_sourceIsHome)
        return m_source;
    const QString& home = m_source;
    QString path;
    path.reserve(home.size() + relativePath.size() - 1);
    return path.append(home).append(QStringView(relativePath).mid(1));
}

void TransferManifest::FileItem::setAbsolutePath(const QString& path)
{
    // Items come in runs under one home: the last one seen is shared by the next.
    thread_local SharedBox<QString> lastHome;
    const QStringView tail = QStringView(relativePath).mid(1); // "/X" of "~/X"
    m_sourceIsHome = relativePath.startsWith(QLatin1String("~/")) && tail.size() >= 2 && path.size() > tail.size()
                     && path.endsWith(tail);
    if (!m_sourceIsHome) {
        QString whole = path;
        whole.squeeze();
        m_source = std::move(whole);
        return;
    }
    const QStringView home = QStringView(path).chopped(tail.size());
    if (home != lastHome.get())
        lastHome = home.toString();
    m_source = lastHome;
}

std::optional<QString> TransferManifest::FileItem::homeShown() const
{
    return m_sourceIsHome ? std::optional<QString>(m_source.get()) : std::nullopt;
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
    const QString source = absolutePath();
    o.insert(QStringLiteral("absolutePath"), rawName ? toWireName(source) : source);
    o.insert(QStringLiteral("size"), static_cast<double>(size));
    o.insert(QStringLiteral("categoryID"), categoryID);
    json::put(o, "sha256Hash", sha256Hash.get());
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
    if (linkGroup)
        o.insert(QStringLiteral("linkGroup"), static_cast<double>(linkGroup));
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
    const QString absolute = json::requireString(o, "absolutePath");
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
    item.linkGroup = json::optionalUInt32(o, "linkGroup").value_or(0);
    item.rawName = readRawName(o, item.relativePath);
    item.setAbsolutePath(item.rawName ? fromWireName(absolute).value_or(absolute) : absolute);
    if (item.rawName) {
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
    insertUserFolders(o, userFolders);
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
    m.userFolders = userFoldersOf(o);
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
        string("absolutePath", item.absolutePath()) && number("bytesTransferred", item.bytesTransferred)
        && string("categoryID", item.categoryID) && flag("isTransferred", item.isTransferred)
        && (!item.linkGroup || number("linkGroup", item.linkGroup))
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
        QString path = item.absolutePath();
        item.destinationPath = path.replace(mapping.sourceHomeFolder, mapping.destinationHomeFolder);
    }
}

} // namespace kivo
