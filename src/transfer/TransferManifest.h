#pragma once

#include "transfer/ConflictPolicy.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

struct UserMapping;

// How a folder the source could not read is reported.
QString skippedFolderText(const QString& reason);

enum class FileTransferStatus { pending, inProgress, completed, failed, skipped };

QString toString(FileTransferStatus status);
std::optional<FileTransferStatus> fileTransferStatusFromString(const QString& text);

// What one transfer moves, in sending order.
struct TransferManifest {
    struct FileItem {
        QString relativePath; // "~/..." under the home folder; the key of every message's filePath
        QString absolutePath;
        std::uint64_t size = 0;
        QString categoryID;
        std::optional<QString> sha256Hash;
        bool isTransferred = false;
        std::uint64_t bytesTransferred = 0;
        FileTransferStatus transferStatus = FileTransferStatus::pending;
        std::optional<QString> destinationPath;
        std::optional<std::uint16_t> mode;
        std::optional<QDateTime> sourceModified;

        QJsonObject toJson() const;
        static FileItem fromJson(const QJsonObject& o); // throws DecodingError
        bool operator==(const FileItem&) const = default;
    };

    // A folder the source could not read: none of its files are in `items`.
    struct SkippedFolder {
        QString relativePath;
        QString categoryID;
        QString reason;

        QJsonObject toJson() const;
        static SkippedFolder fromJson(const QJsonObject& o); // throws DecodingError
        bool operator==(const SkippedFolder&) const = default;
    };

    QString transferID;
    QString sourceHostname;
    // The source account's home folder, so the destination can map paths that
    // name it; older sources leave it out.
    std::optional<QString> sourceHomeFolder;
    QList<FileItem> items;
    std::uint64_t totalSize = 0;
    QStringList categoryIDs;
    QStringList categoryOrder;
    QDateTime createdAt;
    // The source user's choice for files that already exist; the destination
    // applies it. Older sources leave it out and the destination keeps its own.
    std::optional<ConflictPolicy> conflictPolicy;
    // Left out of `items` because they could not be read; omitted when empty.
    QList<SkippedFolder> skippedFolders;

    QJsonObject toJson() const;
    static TransferManifest fromJson(const QJsonObject& o); // throws DecodingError
    // Pretty-printed, keys sorted.
    QByteArray encoded() const;
    // Reads the items one at a time, so that decoding costs little beyond the text
    // and the list itself. Throws DecodingError.
    static TransferManifest decode(const QByteArray& bytes);

    QList<FileItem> itemsForCategory(const QString& categoryID) const;
    QList<qsizetype> indicesForCategory(const QString& categoryID) const;
    // Out-of-range indices change nothing.
    void markFileCompleted(qsizetype index);
    void markFileSkipped(qsizetype index);
    void markFileFailed(qsizetype index);
    // Records the mapping's source home; destination paths follow a changed home folder.
    void applyUserMapping(const UserMapping& mapping);

    bool operator==(const TransferManifest&) const = default;
};

} // namespace kivo
