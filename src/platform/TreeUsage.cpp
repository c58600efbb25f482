// SPDX-License-Identifier: Apache-2.0
#include "platform/TreeUsage.h"

#include "platform/UniqueFd.h"

#include <QFile>
#include <QSet>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo::fs {

namespace {

struct Walk {
    dev_t device = 0;
    QSet<QByteArray> wanted;
    QMap<QString, TreeUsage>* found = nullptr;

    // Takes ownership of `fd`, an open folder.
    TreeUsage folder(int fd, const QByteArray& relative)
    {
        TreeUsage usage;
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            ::close(fd);
            return usage;
        }
        while (const dirent* entry = ::readdir(dir)) {
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            unsigned char type = entry->d_type;
            if (type == DT_LNK)
                continue;
            if (type == DT_DIR) {
                descend(::dirfd(dir), name, relative, usage);
                continue;
            }
            if (type != DT_REG && type != DT_UNKNOWN)
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode)) {
                usage.bytes += static_cast<std::uint64_t>(st.st_size);
                ++usage.files;
            } else if (S_ISDIR(st.st_mode)) {
                descend(::dirfd(dir), name, relative, usage);
            }
        }
        ::closedir(dir);
        return usage;
    }

    void descend(int parent, const char* name, const QByteArray& relative, TreeUsage& into)
    {
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_dev != device) {
            ::close(fd);
            return;
        }
        const QByteArray path = relative.isEmpty() ? QByteArray(name) : relative + '/' + name;
        const TreeUsage sub = folder(fd, path);
        into.bytes += sub.bytes;
        into.files += sub.files;
        if (wanted.contains(path))
            found->insert(QFile::decodeName(path), sub);
    }
};

} // namespace

TreeUsageReport measureTree(const QString& root, const QStringList& subtrees)
{
    TreeUsageReport report;
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return report;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return report;
    }
    Walk walk;
    walk.device = st.st_dev;
    walk.found = &report.subtrees;
    for (const QString& s : subtrees)
        walk.wanted.insert(QFile::encodeName(s));
    report.total = walk.folder(fd, {});
    return report;
}

} // namespace kivo::fs
