#include "platform/DirectoryEntries.h"

#include "platform/Beneath.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
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

} // namespace

std::optional<QList<DirectoryEntry>> listDirectory(const QString& path, bool withAttributes, bool followRoot)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followRoot ? 0 : O_NOFOLLOW));
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
            e.attributes = attributeNames(childPath.constData());
        }
        out.append(std::move(e));
    }
    ::closedir(dir);
    return out;
}

QList<QByteArray> extendedAttributes(const QString& path)
{
    return attributeNames(QFile::encodeName(path).constData());
}

} // namespace kivo::fs
