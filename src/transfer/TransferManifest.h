// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileMetadata.h"
#include "transfer/BoxedOptional.h"
#include "transfer/ConflictPolicy.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace kivo {

struct UserMapping;

// How a folder the source could not read is reported.
QString skippedFolderText(const QString& reason);
// How an entry that is not copied (a named pipe, a socket, a device) is reported.
QString skippedEntryText(const QString& reason);

enum class FileTransferStatus : std::uint8_t { pending, inProgress, completed, failed, skipped };

QString toString(FileTransferStatus status);
std::optional<FileTransferStatus> fileTransferStatusFromString(const QString& text);

// What one transfer moves, in sending order.
struct TransferManifest {
    // Wide members first, the small ones together at the end: a manifest holds
    // hundreds of thousands of these, and padding between them would cost 16 bytes each.
    // Fields nearly every item leaves out are boxed, and the source path is
    // rarely stored whole (see setAbsolutePath).
    // extendedAttributes, sourceModifiedNanoseconds, sparse and rawName are our
    // own; a peer that does not know them sees the item without them.
    struct FileItem {
        QString relativePath; // "~/..." under the home folder; the key of every message's filePath
        QString categoryID;
        std::uint64_t size = 0;
        std::uint64_t bytesTransferred = 0;
        BoxedOptional<QString> sha256Hash;
        BoxedOptional<QString> destinationPath;
        std::optional<QDateTime> sourceModified;
        SharedBox<QList<fs::ExtendedAttribute>> extendedAttributes;
        // The fraction of a second `sourceModified` leaves out.
        std::optional<std::uint32_t> sourceModifiedNanoseconds;
        std::optional<std::uint16_t> mode;
        // Ours: items of one category that are one file on the source under
        // several names share this number (0: none); it means nothing beyond this
        // transfer. A destination that takes links receives the later names as links.
        std::uint32_t linkGroup = 0;
        FileTransferStatus transferStatus = FileTransferStatus::pending;
        bool isTransferred = false;
        // The source file has holes: they need not travel, nor be written.
        bool sparse = false;
        // relativePath spells bytes that are not UTF-8 (see WireName.h); the
        // wire carries the raw bytes too, as relativePathBytes.
        bool rawName = false;
        // Never sent: the source file had more than one name when it was listed,
        // so it is worth asking which other items share it.
        bool multiplyLinked = false;

    private:
        // m_source is the home folder when m_sourceIsHome, else the whole path.
        bool m_sourceIsHome = false;
        SharedBox<QString> m_source;

    public:
        // Where the source reads the file.
        QString absolutePath() const;
        // Set after relativePath. A path that is a home folder followed by
        // relativePath's tail keeps only that folder, one string shared by
        // every item under it: whole paths were the largest part of a long list.
        void setAbsolutePath(const QString& path);

        // The modification time to the precision known.
        std::optional<fs::FileTime> modifiedTime() const;
        // The source's home folder, when absolutePath is that folder followed by the "~/" path.
        std::optional<QString> homeShown() const;
        QJsonObject toJson() const;
        static FileItem fromJson(const QJsonObject& o); // throws DecodingError
        bool operator==(const FileItem&) const = default;
    };

    // A folder or a symbolic link: nothing to send but what it is; the
    // destination creates it. Older destinations ignore these.
    struct Entry {
        enum class Kind { folder, link };
        QString relativePath; // spelt as an item's
        bool rawName = false;
        QString categoryID;
        Kind kind = Kind::folder;
        std::optional<std::uint16_t> mode; // folders
        std::optional<QDateTime> sourceModified;
        std::optional<std::uint32_t> sourceModifiedNanoseconds;
        QList<fs::ExtendedAttribute> extendedAttributes;
        QByteArray linkTarget; // a link's text, byte for byte

        std::optional<fs::FileTime> modifiedTime() const;
        QJsonObject toJson() const;
        static Entry fromJson(const QJsonObject& o); // throws DecodingError
        bool operator==(const Entry&) const = default;
    };

    // A folder the source could not read: none of its files are in `items`;
    // or an entry that is neither file, folder nor link, which is never opened.
    struct SkippedFolder {
        QString relativePath;
        QString categoryID;
        QString reason;
        bool isFolder = true;

        // What the user is shown for it.
        QString text() const;

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
    // Folders and links, each folder before what it holds; omitted when empty.
    QList<Entry> entries;
    // How the source home is laid out ("linux" or "macos"); older sources
    // leave it out, and theirs was Mac-shaped.
    std::optional<QString> layout;
    // The source's user folders by kind ("DOCUMENTS" -> "~/Dokumente"), so
    // that each lands in the destination's folder of that kind; omitted when empty.
    QMap<QString, QString> userFolders;

    QJsonObject toJson() const;
    static TransferManifest fromJson(const QJsonObject& o); // throws DecodingError
    // Pretty-printed, keys sorted.
    QByteArray encoded() const;
    // The same text, handed to `write` in pieces of about one item each.
    void encodeInto(const std::function<void(QByteArrayView)>& write) const;
    // Told, now and then, that the bytes in [from, to) have been read (for now).
    using Consumed = std::function<void(qsizetype from, qsizetype to)>;
    // Reads the items one at a time, so that decoding costs little beyond the text
    // and the list itself. Throws DecodingError.
    static TransferManifest decode(const QByteArray& bytes, const Consumed& consumed = {});

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

// Moved bytewise when a list of them grows or shrinks, so a list of a
// million items is resized in place instead of copied beside itself.
Q_DECLARE_TYPEINFO(kivo::TransferManifest::FileItem, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(kivo::TransferManifest::Entry, Q_RELOCATABLE_TYPE);
