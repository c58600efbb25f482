// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/UniqueFd.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

// Opens `relative` below `dirFd` refusing "..", "." and every symbolic link on
// the way (a trailing link only as itself, with O_PATH | O_NOFOLLOW): one
// openat2 call where the kernel has it, else one component at a time.
// A descriptor, or -1 with errno.
int openWithoutLinks(int dirFd, const QByteArray& relative, int flags);

// Changes to files inside one home folder that never follow a symbolic link:
// every path is resolved beneath the home in one call that refuses links and
// "..", so a link planted in the home cannot point a change at /etc.
// Paths are absolute and must lie inside the home (or be the home itself).
// Failures throw SystemError naming the path.
class HomeBeneath {
public:
    explicit HomeBeneath(QString homeFolder);

    const QString& home() const { return m_home; }
    // The path below the home, or nothing when it is not inside it.
    std::optional<QString> relativePath(const QString& absolutePath) const;

    // Owner and group of what is at the path (a link itself, never its target).
    void changeOwner(const QString& absolutePath, unsigned uid, unsigned gid) const;
    // What is at the path, resolved now and held: a later change acts on this very file.
    UniqueFd handle(const QString& absolutePath) const;
    // The same, or nothing when there is nothing at the path (any more).
    std::optional<UniqueFd> handleIfPresent(const QString& absolutePath) const;
    static void changeOwner(const UniqueFd& handle, unsigned uid, unsigned gid, const QString& pathForErrors);
    // A folder in the home (or the home), resolved now and held.
    UniqueFd folderHandle(const QString& absoluteFolder) const;
    // Owner and group of `name` in a held folder, a link itself and not its
    // target; false when there is nothing by that name.
    static bool changeOwnerIn(const UniqueFd& folder, const QString& name, unsigned uid, unsigned gid,
                              const QString& pathForErrors);
    void setMode(const QString& absolutePath, std::uint16_t mode) const;
    // Nothing when the path resolves beneath the home without a link; else the reason.
    std::optional<QString> resolveError(const QString& absolutePath) const;
    bool isDirectory(const QString& absolutePath) const;
    // The names in a folder (no "." or ".."), the folder reached without links.
    QStringList entries(const QString& absoluteFolder) const;
    // Replaces the file with `data` in one step, owned by uid/gid with `mode`.
    // The folder it goes in must exist.
    void replaceFile(const QString& absolutePath, QByteArrayView data, unsigned uid, unsigned gid,
                     std::uint16_t mode) const;
    // Creates the missing folders of `absoluteFolder` (mode 0700 for new ones),
    // owned by uid/gid when `own` is set.
    void makeFolders(const QString& absoluteFolder, std::optional<std::pair<unsigned, unsigned>> owner) const;
    // Moves a regular file within the home; the target's folder must exist. An
    // existing target is replaced only when it is a regular file or a link.
    void moveFile(const QString& from, const QString& to) const;
    void removeFile(const QString& absolutePath) const;
    // Removes a folder only when it is empty; false when it is not, or is gone.
    bool removeEmptyFolder(const QString& absoluteFolder) const;
    // Sets a folder's modification time to the nanosecond; its access time stays.
    void setFolderModifiedTime(const QString& absoluteFolder, std::int64_t secs, std::int64_t nsecs) const;
    // Whether this process may add and remove names in the folder (a read-only
    // mount or an immutable folder says no, even to root).
    bool canChangeFolder(const QString& absoluteFolder) const;
    // Removes a folder and everything in it, links removed as links.
    void removeTree(const QString& absolutePath) const;
    // An open regular file, for reading.
    UniqueFd openRegularForReading(const QString& absolutePath) const;

private:
    UniqueFd open(const QString& absolutePath, int flags) const;
    UniqueFd openParent(const QString& absolutePath, QByteArray* leaf) const;

    QString m_home;
    UniqueFd m_homeFd;
};

} // namespace kivo

namespace kivo {

// Run as root for another person's home, what kivo itself writes there (a log,
// a checkpoint) would stay root's. This hands `absolutePath` and every folder
// between it and the home that root owns to the home's owner, never through a
// link. Does nothing when not root, or when the home is root's own.
void handToHomeOwner(const QString& homeFolder, const QString& absolutePath);

} // namespace kivo
