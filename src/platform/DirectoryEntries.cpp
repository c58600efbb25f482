// SPDX-License-Identifier: Apache-2.0
#include "platform/DirectoryEntries.h"

#include "platform/Beneath.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kivo::fs {

namespace {

// Linux keeps unprivileged attributes under "user."; other systems have no namespace.
QList<QByteArray> attributeNames(const char* nativePath)
{
    char buffer[4096];
    const ssize_t n = ::llistxattr(nativePath, buffer, sizeof buffer);
    QList<QByteArray> out;
    if (n <= 0)
        return out;
    for (ssize_t at = 0; at < n;) {
        const QByteArray name(buffer + at);
        at += name.size() + 1;
#ifdef __linux__
        if (name.startsWith("user."))
            out.append(name.mid(5));
#else
        out.append(name);
#endif
    }
    return out;
}

#ifdef __linux__
#ifndef SYS_listxattrat
#define SYS_listxattrat 465 // one number on every architecture since 6.13
#endif
#endif

// The names of `name` inside the open folder `dirFd`: looked up from the
// folder, not from the root, where the kernel can (6.13 on); else by full path.
QList<QByteArray> attributeNamesAt(int dirFd, const char* name, const QByteArray& fullPath)
{
#ifdef __linux__
    static std::atomic<bool> unsupported{false};
    if (!unsupported.load(std::memory_order_relaxed)) {
        char buffer[4096];
        const long n = ::syscall(SYS_listxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, buffer, sizeof buffer);
        if (n >= 0 || errno != ENOSYS) {
            QList<QByteArray> out;
            for (long at = 0; at < n;) {
                const QByteArray attribute(buffer + at);
                at += attribute.size() + 1;
                if (attribute.startsWith("user."))
                    out.append(attribute.mid(5));
            }
            return out;
        }
        unsupported = true;
    }
#endif
    return attributeNames(fullPath.constData());
}

} // namespace

std::optional<QList<DirectoryEntry>> listDirectory(const QString& path, bool withAttributes, bool followRoot)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd =
        openKeepingAccessTime(AT_FDCWD, native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followRoot ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return std::nullopt;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    QList<DirectoryEntry> out;
    QByteArray childPath = native;
    if (!childPath.endsWith('/'))
        childPath.append('/');
    const qsizetype prefix = childPath.size();
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        DirectoryEntry e{QFile::decodeName(name), statusOf(st), {}};
        if (withAttributes && S_ISREG(st.st_mode)) {
            childPath.truncate(prefix);
            childPath.append(name);
            e.attributes = attributeNamesAt(fd, name, childPath);
        }
        out.append(std::move(e));
    }
    ::closedir(dir);
    return out;
}

namespace {

void collectEndingWith(int dirFd, const QByteArray& dirPath, const QByteArray& suffix,
                       QList<std::pair<QString, FileStatus>>& out, int depth)
{
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        unsigned char type = entry->d_type;
        struct stat st;
        bool statted = false;
        if (type == DT_UNKNOWN) {
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            statted = true;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_DIR && depth < 256) {
            const int child = openKeepingAccessTime(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                collectEndingWith(child, dirPath + '/' + name, suffix, out, depth + 1);
        } else if (type == DT_REG && QByteArrayView(name).endsWith(suffix)) {
            if (!statted && ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode))
                out.append({QFile::decodeName(dirPath + '/' + name), statusOf(st)});
        }
    }
    ::closedir(dir);
}

} // namespace

QList<std::pair<QString, FileStatus>> filesEndingWith(const QString& root, const QByteArray& suffix)
{
    QList<std::pair<QString, FileStatus>> out;
    const QByteArray native = QFile::encodeName(root);
    const int fd = openKeepingAccessTime(AT_FDCWD, native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0)
        collectEndingWith(fd, native, suffix, out, 0);
    return out;
}

QList<QByteArray> extendedAttributes(const QString& path)
{
    return attributeNames(QFile::encodeName(path).constData());
}

} // namespace kivo::fs
