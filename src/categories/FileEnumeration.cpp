// SPDX-License-Identifier: Apache-2.0
#include "categories/FileEnumeration.h"

#include "categories/WalkCounter.h"
#include "platform/Logging.h"
#include "platform/NameBytes.h"
#include "transfer/WireName.h"

#include <QDateTime>
#include <QSet>

namespace kivo::files {

namespace {

// The fraction of the second travels beside the whole-second date.
void setTime(std::optional<QDateTime>& date, std::optional<std::uint32_t>& nanos, const fs::FileStatus& status)
{
    date = QDateTime::fromSecsSinceEpoch(status.modifiedSecs, Qt::UTC);
    nanos = std::uint32_t(status.modifiedNsecs);
}

// Attribute names travel as JSON text; one that is not UTF-8 is left behind, and said so.
QList<fs::ExtendedAttribute> travellingAttributes(QList<fs::ExtendedAttribute> attributes, const QString& path)
{
    attributes.removeIf([&](const fs::ExtendedAttribute& a) {
        if (QString::fromUtf8(a.name).toUtf8() == a.name)
            return false;
        qCWarning(lcCategories).noquote() << "Leaving out an attribute whose name is not UTF-8 on"
                                          << toWireName(path);
        return true;
    });
    return attributes;
}

QString skipReason(fs::TreeEntry::Kind kind)
{
    switch (kind) {
    case fs::TreeEntry::Kind::fifo:
        return QStringLiteral("a named pipe; only files, folders and links are copied");
    case fs::TreeEntry::Kind::socket:
        return QStringLiteral("a socket; only files, folders and links are copied");
    default:
        return QStringLiteral("a device; only files, folders and links are copied");
    }
}

} // namespace

TransferManifest::FileItem makeItem(const QString& absolutePath, const QString& relativePath, const fs::FileStatus& status,
                                    const QString& categoryID)
{
    TransferManifest::FileItem item;
    // A name that is not UTF-8 is spelt escaped on the wire; absolutePath keeps the bytes for reading.
    item.rawName = needsEscaping(relativePath);
    item.relativePath = item.rawName ? toWireName(relativePath) : relativePath;
    // Built by appending, with room to grow it will never use: at 100,000
    // files that room is a third of the list's memory.
    item.relativePath.squeeze();
    item.setAbsolutePath(absolutePath);
    // The byte length, not the allocation: chunk counts and whole-file hashes
    // follow it, and allocation differs from it on compressing or preallocating
    // file systems. Estimates elsewhere stay in allocated bytes.
    item.size = status.size;
    item.categoryID = categoryID;
    item.mode = status.mode;
    setTime(item.sourceModified, item.sourceModifiedNanoseconds, status);
    // Fewer blocks than bytes: there are holes worth finding when the file is sent.
    item.sparse = status.allocatedBytes < status.size;
    item.multiplyLinked = status.linkCount > 1;
    return item;
}

void appendDirectoryItems(QList<TransferManifest::FileItem>& out, const QString& directory, const QString& categoryID,
                          const UserFolders& home, SkippedFolders* skipped, Entries* entries)
{
    const auto visit = [&](const fs::TreeEntry& e) {
        const QString relative = home.abbreviate(e.path);
        switch (e.kind) {
        case fs::TreeEntry::Kind::regular: {
            TransferManifest::FileItem item = makeItem(e.path, relative, e.status, categoryID);
            item.extendedAttributes = travellingAttributes(e.attributes, e.path);
            out.append(std::move(item));
            return;
        }
        case fs::TreeEntry::Kind::directory:
        case fs::TreeEntry::Kind::symlink: {
            if (!entries)
                return;
            TransferManifest::Entry entry;
            entry.rawName = needsEscaping(relative);
            entry.relativePath = entry.rawName ? toWireName(relative) : relative;
            entry.categoryID = categoryID;
            setTime(entry.sourceModified, entry.sourceModifiedNanoseconds, e.status);
            if (e.kind == fs::TreeEntry::Kind::directory) {
                entry.kind = TransferManifest::Entry::Kind::folder;
                entry.mode = e.status.mode;
                entry.extendedAttributes = travellingAttributes(e.attributes, e.path);
            } else if (e.linkTarget.isEmpty()) {
                // Its text could not be read: nothing to recreate, and the user hears of it.
                if (skipped)
                    skipped->append({entry.relativePath, categoryID, QStringLiteral("the link could not be read"), false});
                return;
            } else {
                entry.kind = TransferManifest::Entry::Kind::link;
                entry.linkTarget = e.linkTarget;
            }
            entries->append(std::move(entry));
            return;
        }
        default:
            // Never opened: opening a named pipe would wait for a writer.
            if (skipped)
                skipped->append({toWireName(relative), categoryID, skipReason(e.kind), false});
        }
    };
    const auto unreadable = [&](const QString& path, const QString& reason) {
        if (skipped)
            skipped->append({toWireName(home.abbreviate(path)), categoryID, reason});
    };
    WalkCounter::count(directory);
    if (!fs::walkTree(directory, visit, unreadable))
        unreadable(directory, fs::lastErrorText());
}

void appendCategoryItems(QList<TransferManifest::FileItem>& out, const QStringList& paths, const QString& categoryID,
                         const UserFolders& home, SkippedFolders* skipped, Entries* entries)
{
    for (const QString& listed : paths) {
        const QString expanded = home.expandTilde(listed);
        // A listed path is followed if it is a link: the user (or the table) named it.
        const auto status = fs::status(expanded, fs::Links::follow);
        if (!status)
            continue;
        if (status->isDirectory())
            appendDirectoryItems(out, expanded, categoryID, home, skipped, entries);
        else if (status->isRegular()) {
            out.append(makeItem(expanded, listed, *status, categoryID));
            out.last().extendedAttributes =
                travellingAttributes(fs::readUserAttributes(fs::nameToBytes(expanded)), expanded);
        }
    }
}

QStringList topmostPaths(const Listing& listing, const UserFolders& home)
{
    QStringList paths;
    for (const TransferManifest::FileItem& item : listing.items)
        if (!item.rawName && item.absolutePath() == home.expandTilde(item.relativePath))
            paths << item.relativePath;
    for (const TransferManifest::Entry& entry : listing.entries)
        if (!entry.rawName)
            paths << entry.relativePath;
    const QSet<QString> listed(paths.begin(), paths.end());
    QStringList out;
    for (const QString& path : std::as_const(paths)) {
        bool below = false;
        for (qsizetype slash = path.lastIndexOf(u'/'); slash > 1 && !below; slash = path.lastIndexOf(u'/', slash - 1))
            below = listed.contains(path.left(slash));
        if (!below && path.startsWith(QLatin1String("~/")))
            out << path.mid(2);
    }
    out.removeDuplicates();
    return out;
}

} // namespace kivo::files
