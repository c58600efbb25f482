// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileMetadata.h"
#include "platform/FileSystem.h"

#include <QString>

#include <functional>

namespace kivo::fs {

// One entry of a tree: a file, a folder, a link, or something that is none of these.
struct TreeEntry {
    enum class Kind { regular, directory, symlink, fifo, socket, device };
    Kind kind = Kind::regular;
    QString path;                         // names as NameBytes holds them
    FileStatus status;                    // of the entry itself, not what a link names
    QByteArray linkTarget;                // the link's text, for a symbolic link
    QList<ExtendedAttribute> attributes;  // the user's own, for files and folders
};

using TreeVisitor = std::function<void(const TreeEntry& entry)>;

// Every entry of the tree at `root`, the root folder included, each folder
// before what it holds. Nothing is followed and nothing but folders is
// opened: a link is reported as a link, a named pipe is never opened (that
// would block). `root` itself may be a link, since the user named it.
// Folders whose entries cannot be listed or examined go to `unreadable`.
// False when `root` is not an openable folder.
bool walkTree(const QString& root, const TreeVisitor& visit, const UnreadableFolderVisitor& unreadable);

} // namespace kivo::fs
