#include "categories/FileEnumeration.h"

#include <QDateTime>

namespace kivo::files {

TransferManifest::FileItem makeItem(const QString& absolutePath, const QString& relativePath, const fs::FileStatus& status,
                                    const QString& categoryID)
{
    TransferManifest::FileItem item;
    item.relativePath = relativePath;
    item.absolutePath = absolutePath;
    // The byte length, not the allocation: chunk counts and whole-file hashes
    // follow it, and allocation differs from it on compressing or preallocating
    // file systems. Estimates elsewhere stay in allocated bytes.
    item.size = status.size;
    item.categoryID = categoryID;
    item.mode = status.mode;
    item.sourceModified = QDateTime::fromSecsSinceEpoch(status.modifiedSecs, Qt::UTC);
    return item;
}

void appendDirectoryItems(QList<TransferManifest::FileItem>& out, const QString& directory, const QString& categoryID,
                          const UserFolders& home, SkippedFolders* skipped)
{
    const auto visit = [&](const QString& path, const fs::FileStatus& status) {
        out.append(makeItem(path, home.abbreviate(path), status, categoryID));
    };
    if (!skipped) {
        fs::forEachRegularFile(directory, false, visit);
        return;
    }
    const auto unreadable = [&](const QString& path, const QString& reason) {
        skipped->append({home.abbreviate(path), categoryID, reason});
    };
    if (!fs::forEachRegularFile(directory, false, visit, unreadable))
        unreadable(directory, fs::lastErrorText());
}

void appendCategoryItems(QList<TransferManifest::FileItem>& out, const QStringList& paths, const QString& categoryID,
                         const UserFolders& home, SkippedFolders* skipped)
{
    for (const QString& listed : paths) {
        const QString expanded = home.expandTilde(listed);
        // A listed path is followed if it is a link: the user (or the table) named it.
        const auto status = fs::status(expanded, fs::Links::follow);
        if (!status)
            continue;
        if (status->isDirectory())
            appendDirectoryItems(out, expanded, categoryID, home, skipped);
        else if (status->isRegular())
            out.append(makeItem(expanded, listed, *status, categoryID));
    }
}

} // namespace kivo::files
