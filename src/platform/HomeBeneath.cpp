// SPDX-License-Identifier: Apache-2.0
#include "platform/HomeBeneath.h"

#include "platform/Beneath.h"

#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

[[noreturn]] void fail(int error, const QString& path)
{
    throw SystemError(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

void removeBelow(int dirFd)
{
    const int listFd = ::dup(dirFd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0)
            ::close(listFd);
        return;
    }
    while (const struct dirent* e = ::readdir(dir)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            UniqueFd sub(::openat(dirFd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.isValid())
                removeBelow(sub.get());
            ::unlinkat(dirFd, e->d_name, AT_REMOVEDIR);
        } else {
            ::unlinkat(dirFd, e->d_name, 0);
        }
    }
    ::closedir(dir);
}

} // namespace

int openWithoutLinks(int dirFd, const QByteArray& relative, int flags)
{
    const int fd = fs::openBeneath(dirFd, relative, flags);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return fd;
    const QList<QByteArray> parts = relative.split('/');
    UniqueFd current;
    int at = dirFd;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QByteArray& part = parts[i];
        if (part.isEmpty() || part == "." || part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (i + 1 == parts.size())
            return ::openat(at, part.constData(), flags | O_NOFOLLOW);
        UniqueFd next(::openat(at, part.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isValid()) {
            // A link where a folder should be: as openat2 says it.
            struct stat st {};
            if (::fstatat(at, part.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                errno = ELOOP;
            return -1;
        }
        current = std::move(next);
        at = current.get();
    }
    errno = ENOENT;
    return -1;
}

HomeBeneath::HomeBeneath(QString homeFolder) : m_home(std::move(homeFolder))
{
    while (m_home.size() > 1 && m_home.endsWith(u'/'))
        m_home.chop(1);
    if (!m_home.startsWith(u'/'))
        throw SystemError(QStringLiteral("%1: not an absolute path").arg(m_home));
    // The home itself is named by the caller; only what lies below it is guarded.
    m_homeFd = UniqueFd(::open(QFile::encodeName(m_home).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!m_homeFd.isValid())
        fail(errno, m_home);
}

std::optional<QString> HomeBeneath::relativePath(const QString& absolutePath) const
{
    if (absolutePath == m_home)
        return QString();
    const QString prefix = m_home == QLatin1String("/") ? m_home : m_home + u'/';
    if (!absolutePath.startsWith(prefix) || absolutePath.size() == prefix.size())
        return std::nullopt;
    return absolutePath.mid(prefix.size());
}

UniqueFd HomeBeneath::open(const QString& absolutePath, int flags) const
{
    const std::optional<QString> relative = relativePath(absolutePath);
    if (!relative)
        throw SystemError(QStringLiteral("%1: outside %2").arg(absolutePath, m_home));
    if (relative->isEmpty())
        return UniqueFd(::openat(m_homeFd.get(), ".", flags | O_CLOEXEC));
    const int fd = openWithoutLinks(m_homeFd.get(), QFile::encodeName(*relative), flags | O_CLOEXEC);
    if (fd < 0)
        fail(errno, absolutePath);
    return UniqueFd(fd);
}

UniqueFd HomeBeneath::openParent(const QString& absolutePath, QByteArray* leaf) const
{
    const qsizetype slash = absolutePath.lastIndexOf(u'/');
    const QString parent = slash <= 0 ? QStringLiteral("/") : absolutePath.left(slash);
    *leaf = QFile::encodeName(absolutePath.mid(slash + 1));
    if (leaf->isEmpty() || *leaf == "." || *leaf == ".." || !relativePath(absolutePath) || absolutePath == m_home)
        throw SystemError(QStringLiteral("%1: not a path inside %2").arg(absolutePath, m_home));
    return open(parent, O_PATH | O_DIRECTORY);
}

std::optional<QString> HomeBeneath::resolveError(const QString& absolutePath) const
{
    try {
        open(absolutePath, O_PATH | O_NOFOLLOW);
        return std::nullopt;
    } catch (const SystemError& e) {
        return e.description();
    }
}

bool HomeBeneath::isDirectory(const QString& absolutePath) const
{
    try {
        UniqueFd fd = open(absolutePath, O_PATH | O_NOFOLLOW);
        struct stat st {};
        return ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode);
    } catch (const SystemError&) {
        return false;
    }
}

void HomeBeneath::changeOwner(const QString& absolutePath, unsigned uid, unsigned gid) const
{
    if (absolutePath == m_home) {
        if (::fchownat(m_homeFd.get(), "", uid, gid, AT_EMPTY_PATH) != 0)
            fail(errno, absolutePath);
        return;
    }
    QByteArray leaf;
    UniqueFd parent = openParent(absolutePath, &leaf);
    if (::fchownat(parent.get(), leaf.constData(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
        fail(errno, absolutePath);
}

UniqueFd HomeBeneath::handle(const QString& absolutePath) const
{
    return open(absolutePath, O_PATH | O_NOFOLLOW);
}

std::optional<UniqueFd> HomeBeneath::handleIfPresent(const QString& absolutePath) const
{
    const std::optional<QString> relative = relativePath(absolutePath);
    if (!relative)
        throw SystemError(QStringLiteral("%1: outside %2").arg(absolutePath, m_home));
    if (relative->isEmpty())
        return UniqueFd(::openat(m_homeFd.get(), ".", O_PATH | O_CLOEXEC));
    const int fd = openWithoutLinks(m_homeFd.get(), QFile::encodeName(*relative), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0)
        return UniqueFd(fd);
    if (errno == ENOENT)
        return std::nullopt;
    fail(errno, absolutePath);
}

UniqueFd HomeBeneath::folderHandle(const QString& absoluteFolder) const
{
    return open(absoluteFolder, O_PATH | O_DIRECTORY);
}

bool HomeBeneath::changeOwnerIn(const UniqueFd& folder, const QString& name, unsigned uid, unsigned gid,
                                const QString& pathForErrors)
{
    const QByteArray leaf = QFile::encodeName(name);
    if (leaf.isEmpty() || leaf == "." || leaf == ".." || leaf.contains('/'))
        throw SystemError(QStringLiteral("%1: not a name in its folder").arg(pathForErrors));
    if (::fchownat(folder.get(), leaf.constData(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    fail(errno, pathForErrors);
}

void HomeBeneath::changeOwner(const UniqueFd& handle, unsigned uid, unsigned gid, const QString& pathForErrors)
{
    if (::fchownat(handle.get(), "", uid, gid, AT_EMPTY_PATH) != 0)
        fail(errno, pathForErrors);
}

void HomeBeneath::setMode(const QString& absolutePath, std::uint16_t mode) const
{
    // An O_PATH descriptor names the very file that was resolved; its /proc
    // entry lets chmod reach it without a second lookup by name.
    UniqueFd fd = open(absolutePath, O_PATH | O_NOFOLLOW);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        fail(errno, absolutePath);
    if (S_ISLNK(st.st_mode))
        fail(ELOOP, absolutePath);
    const QByteArray viaProc = "/proc/self/fd/" + QByteArray::number(fd.get());
    if (::chmod(viaProc.constData(), mode) != 0)
        fail(errno, absolutePath);
}

QStringList HomeBeneath::entries(const QString& absoluteFolder) const
{
    UniqueFd fd = open(absoluteFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    DIR* dir = ::fdopendir(fd.get());
    if (!dir)
        fail(errno, absoluteFolder);
    fd.release();
    QStringList out;
    while (const struct dirent* e = ::readdir(dir)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            out.append(QFile::decodeName(e->d_name));
    }
    ::closedir(dir);
    return out;
}

void HomeBeneath::replaceFile(const QString& absolutePath, QByteArrayView data, unsigned uid, unsigned gid,
                              std::uint16_t mode) const
{
    QByteArray leaf;
    UniqueFd parent = openParent(absolutePath, &leaf);
    struct stat existing {};
    if (::fstatat(parent.get(), leaf.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(existing.st_mode))
        fail(EEXIST, absolutePath);
    const QByteArray temp = "." + leaf.left(100) + "." + QUuid::createUuid().toByteArray(QUuid::Id128) + ".tmp";
    UniqueFd file(::openat(parent.get(), temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.isValid())
        fail(errno, absolutePath);
    try {
        qsizetype done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(file.get(), data.data() + done, static_cast<size_t>(data.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail(errno, absolutePath);
            done += n;
        }
        if (::fchown(file.get(), uid, gid) != 0 || ::fchmod(file.get(), mode) != 0)
            fail(errno, absolutePath);
        if (::renameat(parent.get(), temp.constData(), parent.get(), leaf.constData()) != 0)
            fail(errno, absolutePath);
    } catch (...) {
        ::unlinkat(parent.get(), temp.constData(), 0);
        throw;
    }
}

void HomeBeneath::makeFolders(const QString& absoluteFolder, std::optional<std::pair<unsigned, unsigned>> owner) const
{
    const std::optional<QString> relative = relativePath(absoluteFolder);
    if (!relative)
        throw SystemError(QStringLiteral("%1: outside %2").arg(absoluteFolder, m_home));
    QString walked = m_home;
    for (const QString& part : relative->split(u'/', Qt::SkipEmptyParts)) {
        if (part == QLatin1String("..") || part == QLatin1String("."))
            throw SystemError(QStringLiteral("%1: not a path inside %2").arg(absoluteFolder, m_home));
        UniqueFd parent = open(walked, O_RDONLY | O_DIRECTORY);
        walked += u'/' + part;
        const QByteArray name = QFile::encodeName(part);
        if (::mkdirat(parent.get(), name.constData(), 0700) == 0) {
            if (owner && ::fchownat(parent.get(), name.constData(), owner->first, owner->second, AT_SYMLINK_NOFOLLOW) != 0)
                fail(errno, walked);
        } else if (errno != EEXIST) {
            fail(errno, walked);
        }
    }
    if (!isDirectory(absoluteFolder))
        fail(ENOTDIR, absoluteFolder);
}

void HomeBeneath::moveFile(const QString& from, const QString& to) const
{
    QByteArray fromLeaf, toLeaf;
    UniqueFd fromParent = openParent(from, &fromLeaf);
    UniqueFd toParent = openParent(to, &toLeaf);
    struct stat st {};
    if (::fstatat(fromParent.get(), fromLeaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        fail(errno, from);
    if (!S_ISREG(st.st_mode))
        throw SystemError(QStringLiteral("%1: not a regular file").arg(from));
    if (::fstatat(toParent.get(), toLeaf.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode))
        fail(EISDIR, to);
    if (::renameat(fromParent.get(), fromLeaf.constData(), toParent.get(), toLeaf.constData()) != 0)
        fail(errno, to);
}

void HomeBeneath::removeFile(const QString& absolutePath) const
{
    QByteArray leaf;
    UniqueFd parent = openParent(absolutePath, &leaf);
    if (::unlinkat(parent.get(), leaf.constData(), 0) != 0 && errno != ENOENT)
        fail(errno, absolutePath);
}

bool HomeBeneath::removeEmptyFolder(const QString& absoluteFolder) const
{
    QByteArray leaf;
    UniqueFd parent = openParent(absoluteFolder, &leaf);
    if (::unlinkat(parent.get(), leaf.constData(), AT_REMOVEDIR) == 0)
        return true;
    if (errno == ENOTEMPTY || errno == EEXIST || errno == ENOENT)
        return false;
    fail(errno, absoluteFolder);
}

void HomeBeneath::setFolderModifiedTime(const QString& absoluteFolder, std::int64_t secs, std::int64_t nsecs) const
{
    const UniqueFd folder = open(absoluteFolder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(secs), long(nsecs)}};
    if (::futimens(folder.get(), times) != 0)
        fail(errno, absoluteFolder);
}

bool HomeBeneath::canChangeFolder(const QString& absoluteFolder) const
{
    const UniqueFd folder = open(absoluteFolder, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    // The held folder, through its descriptor: the check is of the very folder resolved beneath the home.
    const QByteArray viaFd = "/proc/self/fd/" + QByteArray::number(folder.get());
    if (::access(viaFd.constData(), W_OK) == 0)
        return true;
    // Without /proc the path itself is asked, the folder having just resolved without a link.
    return errno == ENOENT && ::access(QFile::encodeName(absoluteFolder).constData(), W_OK) == 0;
}

void HomeBeneath::removeTree(const QString& absolutePath) const
{
    QByteArray leaf;
    UniqueFd parent = openParent(absolutePath, &leaf);
    UniqueFd folder(::openat(parent.get(), leaf.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.isValid()) {
        if (errno == ENOENT)
            return;
        fail(errno, absolutePath);
    }
    removeBelow(folder.get());
    if (::unlinkat(parent.get(), leaf.constData(), AT_REMOVEDIR) != 0 && errno != ENOENT)
        fail(errno, absolutePath);
}

UniqueFd HomeBeneath::openRegularForReading(const QString& absolutePath) const
{
    UniqueFd fd = open(absolutePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        throw SystemError(QStringLiteral("%1: not a regular file").arg(absolutePath));
    return fd;
}

} // namespace kivo

namespace kivo {

void handToHomeOwner(const QString& homeFolder, const QString& absolutePath)
{
    if (::geteuid() != 0)
        return;
    struct stat home {};
    if (::stat(QFile::encodeName(homeFolder).constData(), &home) != 0 || home.st_uid == 0)
        return;
    const HomeBeneath beneath(homeFolder);
    const std::optional<QString> relative = beneath.relativePath(absolutePath);
    if (!relative)
        return;
    QString path = beneath.home();
    for (const QString& part : relative->split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid == 0)
            beneath.changeOwner(path, home.st_uid, home.st_gid);
    }
}

} // namespace kivo
