#include "transfer/TransferManifest.h"

#include "platform/Json.h"
#include "transfer/UserMapping.h"

namespace kivo {

namespace {

const char* const kStatusNames[] = {"pending", "inProgress", "completed", "failed", "skipped"};

} // namespace

QString skippedFolderText(const QString& reason) { return QStringLiteral("Folder could not be read: ") + reason; }

QString toString(FileTransferStatus status) { return QString::fromLatin1(kStatusNames[static_cast<int>(status)]); }

std::optional<FileTransferStatus> fileTransferStatusFromString(const QString& text)
{
    for (int i = 0; i < 5; ++i) {
        if (text == QLatin1String(kStatusNames[i]))
            return static_cast<FileTransferStatus>(i);
    }
    return std::nullopt;
}

QJsonObject TransferManifest::FileItem::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("relativePath"), relativePath);
    o.insert(QStringLiteral("absolutePath"), absolutePath);
    o.insert(QStringLiteral("size"), static_cast<double>(size));
    o.insert(QStringLiteral("categoryID"), categoryID);
    json::put(o, "sha256Hash", sha256Hash);
    o.insert(QStringLiteral("isTransferred"), isTransferred);
    o.insert(QStringLiteral("bytesTransferred"), static_cast<double>(bytesTransferred));
    o.insert(QStringLiteral("transferStatus"), toString(transferStatus));
    json::put(o, "destinationPath", destinationPath);
    if (mode)
        o.insert(QStringLiteral("mode"), static_cast<int>(*mode));
    json::put(o, "sourceModified", sourceModified);
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
    return item;
}

QJsonObject TransferManifest::SkippedFolder::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("relativePath"), relativePath);
    o.insert(QStringLiteral("categoryID"), categoryID);
    o.insert(QStringLiteral("reason"), reason);
    return o;
}

TransferManifest::SkippedFolder TransferManifest::SkippedFolder::fromJson(const QJsonObject& o)
{
    SkippedFolder folder;
    folder.relativePath = json::requireString(o, "relativePath");
    folder.categoryID = json::requireString(o, "categoryID");
    folder.reason = json::requireString(o, "reason");
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
    return m;
}

QByteArray TransferManifest::encoded() const { return json::toFileBytes(toJson()); }

TransferManifest TransferManifest::decode(const QByteArray& bytes) { return fromJson(json::parseObject(bytes)); }

QList<TransferManifest::FileItem> TransferManifest::itemsForCategory(const QString& categoryID) const
{
    QList<FileItem> out;
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
