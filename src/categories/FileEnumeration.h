#pragma once

#include "platform/UserFolders.h"
#include "transfer/TransferManifest.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>

namespace kivo::files {

// Bytes the file occupies on disk (blocks are 512 bytes on Linux and macOS).
inline std::uint64_t allocatedBytes(const struct stat& st)
{
    return st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512u : 0u;
}

using RegularFileVisitor = std::function<void(const QString& path, const struct stat& st)>;

// Streams every regular file below `root` to `visit`, in the file system's order.
// Symbolic links inside the tree are never followed (a link to a directory is
// not descended into, a link to a file is not a file); `root` itself may be a
// link, since the user named it. With `skipHidden`, entries whose name begins
// with "." are left out together with everything below them. Entries that
// cannot be read are skipped. Returns false when `root` is not an openable directory.
bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit);

// A pending manifest item for one regular file: `size` is its length in bytes.
// `sourceModified` is filled on purpose (whole seconds, as it survives the wire)
// so the keepNewer conflict policy has a date to compare.
TransferManifest::FileItem makeItem(const QString& absolutePath, const QString& relativePath, const struct stat& st,
                                    const QString& categoryID);

// Every regular file below `directory`, hidden files included; relativePath is
// the path with the home folder abbreviated to "~". Appends to `out`.
void appendDirectoryItems(QList<TransferManifest::FileItem>& out, const QString& directory, const QString& categoryID,
                          const UserFolders& home);

// The default enumeration of a category's "~/" path list: a listed file keeps
// its listed path as relativePath, a listed directory is walked, a missing path
// gives nothing. Appends to `out`.
void appendCategoryItems(QList<TransferManifest::FileItem>& out, const QStringList& paths, const QString& categoryID,
                         const UserFolders& home);

} // namespace kivo::files
