#include "categories/FileEnumeration.h"

#include <QDateTime>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::files {

namespace {

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Takes ownership of dirFd. Descends through openat(O_NOFOLLOW), so a link
// swapped in after the fstatat still cannot lead the walk out of the tree.
void walk(int dirFd, const QString& dirPath, bool skipHidden, const RegularFileVisitor& visit)
{
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (isDotOrDotDot(name) || (skipHidden && name[0] == '.'))
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            visit(dirPath + QLatin1Char('/') + QFile::decodeName(name), st);
        } else if (S_ISDIR(st.st_mode)) {
            const int child = ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                walk(child, dirPath + QLatin1Char('/') + QFile::decodeName(name), skipHidden, visit);
        }
    }
    ::closedir(dir);
}

} // namespace

bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit)
{
    const int fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    QString base = root;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base == QLatin1String("/"))
        base.clear();
    walk(fd, base, skipHidden, visit);
    return true;
}

TransferManifest::FileItem makeItem(const QString& absolutePath, const QString& relativePath, const struct stat& st,
                                    const QString& categoryID)
{
    TransferManifest::FileItem item;
    item.relativePath = relativePath;
    item.absolutePath = absolutePath;
    // The byte length, not the allocation: chunk counts and whole-file hashes
    // follow it, and allocation differs from it on compressing or preallocating
    // file systems. Estimates elsewhere stay in allocated bytes.
    item.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0u;
    item.categoryID = categoryID;
    item.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
    item.sourceModified = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(st.st_mtime), Qt::UTC);
    return item;
}

void appendDirectoryItems(QList<TransferManifest::FileItem>& out, const QString& directory, const QString& categoryID,
                          const UserFolders& home)
{
    forEachRegularFile(directory, false, [&](const QString& path, const struct stat& st) {
        out.append(makeItem(path, home.abbreviate(path), st, categoryID));
    });
}

void appendCategoryItems(QList<TransferManifest::FileItem>& out, const QStringList& paths, const QString& categoryID,
                         const UserFolders& home)
{
    for (const QString& listed : paths) {
        const QString expanded = home.expandTilde(listed);
        struct stat st;
        // A listed path is followed if it is a link: the user (or the table) named it.
        if (::stat(QFile::encodeName(expanded).constData(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            appendDirectoryItems(out, expanded, categoryID, home);
        else if (S_ISREG(st.st_mode))
            out.append(makeItem(expanded, listed, st, categoryID));
    }
}

} // namespace kivo::files
