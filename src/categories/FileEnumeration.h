// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"
#include "platform/TreeWalk.h"
#include "platform/UserFolders.h"
#include "transfer/TransferManifest.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>

namespace kivo::files {

// A pending manifest item for one regular file: `size` is its length in bytes.
// `sourceModified` is filled on purpose (whole seconds, as it survives the wire;
// the fraction goes beside it) so the keepNewer conflict policy has a date to compare.
TransferManifest::FileItem makeItem(const QString& absolutePath, const QString& relativePath, const fs::FileStatus& status,
                                    const QString& categoryID);

using SkippedFolders = QList<TransferManifest::SkippedFolder>;
using Entries = QList<TransferManifest::Entry>;

// What listing some paths found: the files, the folders and links that travel
// as themselves, and what was left out and why.
struct Listing {
    QList<TransferManifest::FileItem> items;
    SkippedFolders skipped;
    Entries entries;
};

// Every regular file below `directory`, hidden files included; relativePath is
// the path with the home folder abbreviated to "~". Appends to `out`, and each
// folder that cannot be read (the directory itself included) and each entry
// that is neither file, folder nor link to `skipped` when given. With
// `entries`, the folders (the directory itself included) and the symbolic
// links go there, each folder before what it holds.
void appendDirectoryItems(QList<TransferManifest::FileItem>& out, const QString& directory, const QString& categoryID,
                          const UserFolders& home, SkippedFolders* skipped = nullptr, Entries* entries = nullptr);

// The default enumeration of a category's "~/" path list: a listed file keeps
// its listed path as relativePath, a listed directory is walked, a missing path
// gives nothing. Appends to `out` and, when given, to `skipped` and `entries` as above.
void appendCategoryItems(QList<TransferManifest::FileItem>& out, const QStringList& paths, const QString& categoryID,
                         const UserFolders& home, SkippedFolders* skipped = nullptr, Entries* entries = nullptr);

// The home-relative paths ("Projects", ".ssh/config") a listing covers, each
// folder standing for what it holds, for copying them elsewhere as they are.
// Files written elsewhere to be sent under a home name are not among them.
QStringList topmostPaths(const Listing& listing, const UserFolders& home);

} // namespace kivo::files
