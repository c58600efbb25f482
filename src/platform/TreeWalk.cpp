// SPDX-License-Identifier: Apache-2.0
#include "platform/TreeWalk.h"

#include "platform/Beneath.h"
#include "platform/NameBytes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::fs {

namespace {

TreeEntry::Kind kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return TreeEntry::Kind::directory;
    if (S_ISLNK(mode))
        return TreeEntry::Kind::symlink;
    if (S_ISFIFO(mode))
        return TreeEntry::Kind::fifo;
    if (S_ISSOCK(mode))
        return TreeEntry::Kind::socket;
    if (S_ISREG(mode))
        return TreeEntry::Kind::regular;
    return TreeEntry::Kind::device;
}

struct Walker {
    const TreeVisitor& visit;
    const UnreadableFolderVisitor& unreadable;

    TreeEntry entryFor(const QString& path, const QByteArray& native, const struct stat& st) const
    {
        TreeEntry entry;
        entry.kind = kindOf(st.st_mode);
        entry.path = path;
        entry.status = statusOf(st);
        if (entry.kind == TreeEntry::Kind::symlink)
            entry.linkTarget = readLinkTarget(native).value_or(QByteArray());
        else if (entry.kind == TreeEntry::Kind::regular || entry.kind == TreeEntry::Kind::directory)
            entry.attributes = readUserAttributes(native);
        return entry;
    }

    // Takes ownership of dirFd. Descends through openat(O_NOFOLLOW), so a link
    // swapped in after the fstatat still cannot lead the walk out of the tree.
    void walk(int dirFd, const QString& dirPath, const QByteArray& dirNative)
    {
        DIR* dir = ::fdopendir(dirFd);
        if (!dir) {
            unreadable(dirPath, lastErrorText());
            ::close(dirFd);
            return;
        }
        const int fd = ::dirfd(dir);
        bool reported = false;
        while (const dirent* d = ::readdir(dir)) {
            const char* name = d->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                // A folder that may be listed but not searched hides every entry: say so once.
                if (!reported && (errno == EACCES || errno == EPERM)) {
                    unreadable(dirPath, lastErrorText());
                    reported = true;
                }
                continue;
            }
            const QByteArray native = dirNative + '/' + name;
            const QString path = dirPath + u'/' + nameFromBytes(name);
            visit(entryFor(path, native, st));
            if (!S_ISDIR(st.st_mode))
                continue;
            const int child = openKeepingAccessTime(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                walk(child, path, native);
            else if (errno != ENOENT)
                unreadable(path, lastErrorText());
        }
        ::closedir(dir);
    }
};

} // namespace

bool walkTree(const QString& root, const TreeVisitor& visit, const UnreadableFolderVisitor& unreadable)
{
    const QByteArray native = nameToBytes(root);
    const int fd = openKeepingAccessTime(AT_FDCWD, native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return false;
    }
    Walker walker{visit, unreadable};
    TreeEntry entry = walker.entryFor(root, native, st);
    visit(entry);
    walker.walk(fd, root, native);
    return true;
}

} // namespace kivo::fs
