// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/UniqueFd.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

namespace kivo {

// Plain file operations the layers above need, so none of them talks to the
// system directly. Failures throw SystemError with the path and the reason.
namespace fs {

// A file that could not be opened, with the reason the system gave.
class OpenFailure : public SystemError {
public:
    OpenFailure(QString message, bool permissionDenied)
        : SystemError(std::move(message)), m_permissionDenied(permissionDenied) {}
    bool isPermissionDenied() const { return m_permissionDenied; }

private:
    bool m_permissionDenied;
};

// What the layers above need to know of a file.
struct FileStatus {
    enum class Kind { regular, directory, other };
    Kind kind = Kind::other;
    std::uint64_t size = 0;           // length in bytes
    std::uint64_t allocatedBytes = 0; // space taken on disk
    std::uint16_t mode = 0;           // permission and set-id bits
    std::int64_t modifiedSecs = 0;
    std::int64_t modifiedNsecs = 0;
    // Inode change time: moves on every write or attribute change, and cannot be set back by the writer.
    std::int64_t changedSecs = 0;
    std::int64_t changedNsecs = 0;
    // Which file this is: a path replaced by another file shows a different pair.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // Names the file has; more than one for a file hard-linked elsewhere.
    std::uint64_t linkCount = 1;

    bool isRegular() const { return kind == Kind::regular; }
    bool isDirectory() const { return kind == Kind::directory; }
};

enum class Links { follow, dontFollow };

// Nothing when there is nothing at `path` (with Links::dontFollow a dangling link is something).
std::optional<FileStatus> status(const QString& path, Links links);
// The status of an open file; nothing when it cannot be read.
std::optional<FileStatus> status(int file);
inline std::optional<FileStatus> status(const UniqueFd& file) { return status(file.get()); }

using RegularFileVisitor = std::function<void(const QString& path, const FileStatus& status)>;
// Streams every regular file below `root` to `visit`, in the file system's order.
// Symbolic links inside the tree are never followed (a link to a directory is
// not descended into, a link to a file is not a file); `root` itself may be a
// link, since the user named it. With `skipHidden`, entries whose name begins
// with "." are left out together with everything below them. Entries that
// cannot be read are skipped. False when `root` is not an openable directory.
bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit);
// Called for a folder below the root whose entries cannot be listed or examined, with the system's reason.
using UnreadableFolderVisitor = std::function<void(const QString& path, const QString& reason)>;
// As above, and reports each folder the walk cannot enter instead of passing over it in silence.
bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit,
                        const UnreadableFolderVisitor& unreadable);

// Writes every byte, retrying short writes and interruptions.
void writeAll(int fd, QByteArrayView bytes, const QString& pathForErrors);
// Replaces `path` in one step: readers see the old content or the new, never a
// mix, also after a crash. The folder is created when missing.
void writeFileAtomically(const QString& path, QByteArrayView bytes);
using ByteSink = std::function<void(QByteArrayView)>;
// The same, with the content handed over in pieces by `produce`.
void writeFileAtomically(const QString& path, const std::function<void(const ByteSink&)>& produce);
// Opened for appending, created with owner-only access; `truncate` starts it empty.
UniqueFd openForAppend(const QString& path, bool truncate);
// Read-only, the access time left as it was where this user owns the file:
// reading a home to move it is not using it. Throws OpenFailure.
UniqueFd openForReading(const QString& path);
// Reads up to `length` bytes at `offset`, fewer only at the end of the file.
std::int64_t readAt(const UniqueFd& file, char* into, std::int64_t length, std::int64_t offset,
                    const QString& pathForErrors);
// The file will be read from start to end: the system may read ahead.
void adviseSequential(const UniqueFd& file);
// Size of an open file; 0 when it cannot be read.
std::uint64_t sizeOf(const UniqueFd& file);
// Free bytes for an unprivileged writer on the volume holding `path`; 0 when unknown.
std::uint64_t freeBytesAt(const QString& path);
// Sets the modification and access time (seconds since the epoch) and the permission bits.
void setTimesAndMode(const QString& path, std::int64_t modifiedSecs, std::uint16_t mode);
// True when the stream is an interactive terminal.
bool isTerminal(std::FILE* stream);
// True when this process may read what is at `path` (names of any bytes, as held by NameBytes).
bool isReadable(const QString& path);
// The text of the last system error.
QString lastErrorText();

} // namespace fs
} // namespace kivo
