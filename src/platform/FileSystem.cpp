// SPDX-License-Identifier: Apache-2.0
#include "platform/FileSystem.h"

#include "platform/Beneath.h"
#include "platform/Error.h"
#include "platform/NameBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

namespace fs {

QString lastErrorText() { return QString::fromLocal8Bit(std::strerror(errno)); }

void writeAll(int fd, QByteArrayView bytes, const QString& pathForErrors)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SystemError(QStringLiteral("%1: %2").arg(pathForErrors, lastErrorText()));
        }
        done += n;
    }
}

void writeFileAtomically(const QString& path, QByteArrayView bytes)
{
    writeFileAtomically(path, [bytes](const ByteSink& write) { write(bytes); });
}

void writeFileAtomically(const QString& path, const std::function<void(const ByteSink&)>& produce)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw SystemError(QStringLiteral("Cannot create %1").arg(folder));
    const QString temp = path + QStringLiteral(".tmp");
    const QByteArray nativeTemp = nameToBytes(temp);
    {
        UniqueFd file(::open(nativeTemp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file.isValid())
            throw SystemError(QStringLiteral("%1: %2").arg(temp, lastErrorText()));
        try {
            // Small pieces are gathered into writes of a useful size, large ones
            // written as they come; the whole text is never held.
            constexpr qsizetype kPiece = 256 * 1024;
            QByteArray pending;
            produce([&](QByteArrayView piece) {
                if (pending.size() + piece.size() < kPiece) {
                    pending.append(piece);
                    return;
                }
                writeAll(file.get(), pending, temp);
                pending.clear();
                if (piece.size() >= kPiece)
                    writeAll(file.get(), piece, temp);
                else
                    pending.append(piece);
            });
            writeAll(file.get(), pending, temp);
            // On disk before the rename makes it visible: a crash never leaves an empty file in its place.
            if (::fdatasync(file.get()) != 0)
                throw SystemError(QStringLiteral("%1: %2").arg(temp, lastErrorText()));
        } catch (...) {
            ::unlink(nativeTemp.constData());
            throw;
        }
    }
    if (::rename(nativeTemp.constData(), nameToBytes(path).constData()) != 0) {
        const QString error = lastErrorText();
        ::unlink(nativeTemp.constData());
        throw SystemError(QStringLiteral("%1: %2").arg(path, error));
    }
}

UniqueFd openForAppend(const QString& path, bool truncate)
{
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : 0);
    UniqueFd file(::open(nameToBytes(path).constData(), flags, 0600));
    if (!file.isValid())
        throw SystemError(QStringLiteral("%1: %2").arg(path, lastErrorText()));
    return file;
}

int openKeepingAccessTime(int dir, const char* path, int flags)
{
    const int fd = ::openat(dir, path, flags | O_NOATIME);
    if (fd >= 0 || errno != EPERM)
        return fd;
    return ::openat(dir, path, flags);
}

UniqueFd openForReading(const QString& path)
{
    UniqueFd file(openKeepingAccessTime(AT_FDCWD, nameToBytes(path).constData(), O_RDONLY | O_CLOEXEC));
    if (!file.isValid())
        throw OpenFailure(QStringLiteral("%1: %2").arg(path, lastErrorText()), errno == EACCES || errno == EPERM);
    return file;
}

std::int64_t readAt(const UniqueFd& file, char* into, std::int64_t length, std::int64_t offset,
                    const QString& pathForErrors)
{
    std::int64_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(file.get(), into + got, static_cast<size_t>(length - got), offset + got);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw SystemError(QStringLiteral("%1: %2").arg(pathForErrors, lastErrorText()));
        }
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

void adviseSequential(const UniqueFd& file) { ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL); }

std::uint64_t sizeOf(const UniqueFd& file)
{
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

int openBeneath(int dir, const QByteArray& relative, int flags)
{
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    return static_cast<int>(::syscall(SYS_openat2, dir, relative.constData(), &how, sizeof how));
}

FileStatus statusOf(const struct stat& st)
{
    FileStatus out;
    out.kind = S_ISREG(st.st_mode) ? FileStatus::Kind::regular
             : S_ISDIR(st.st_mode) ? FileStatus::Kind::directory
                                   : FileStatus::Kind::other;
    out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0u;
    // Blocks are 512 bytes on Linux and macOS.
    out.allocatedBytes = st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512u : 0u;
    out.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
    out.modifiedSecs = st.st_mtim.tv_sec;
    out.modifiedNsecs = st.st_mtim.tv_nsec;
    out.changedSecs = st.st_ctim.tv_sec;
    out.changedNsecs = st.st_ctim.tv_nsec;
    out.device = static_cast<std::uint64_t>(st.st_dev);
    out.inode = static_cast<std::uint64_t>(st.st_ino);
    out.linkCount = static_cast<std::uint64_t>(st.st_nlink);
    return out;
}

namespace {

bool isDotOrDotDot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Takes ownership of dirFd. Descends through openat(O_NOFOLLOW), so a link
// swapped in after the fstatat still cannot lead the walk out of the tree.
void walk(int dirFd, const QString& dirPath, bool skipHidden, const RegularFileVisitor& visit,
          const UnreadableFolderVisitor* unreadable)
{
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        if (unreadable)
            (*unreadable)(dirPath, lastErrorText());
        ::close(dirFd);
        return;
    }
    const int fd = ::dirfd(dir);
    bool reported = false;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (isDotOrDotDot(name) || (skipHidden && name[0] == '.'))
            continue;
        struct stat st;
        if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            // A folder that may be listed but not searched hides every entry: say so once.
            if (unreadable && !reported && (errno == EACCES || errno == EPERM)) {
                (*unreadable)(dirPath, lastErrorText());
                reported = true;
            }
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            visit(dirPath + QLatin1Char('/') + nameFromBytes(name), statusOf(st));
        } else if (S_ISDIR(st.st_mode)) {
            const QString childPath = dirPath + QLatin1Char('/') + nameFromBytes(name);
            const int child = openKeepingAccessTime(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child >= 0)
                walk(child, childPath, skipHidden, visit, unreadable);
            else if (unreadable && errno != ENOENT)
                (*unreadable)(childPath, lastErrorText());
        }
    }
    ::closedir(dir);
}

} // namespace

std::optional<FileStatus> status(const QString& path, Links links)
{
    struct stat st {};
    const QByteArray native = nameToBytes(path);
    const int rc = links == Links::follow ? ::stat(native.constData(), &st) : ::lstat(native.constData(), &st);
    if (rc != 0)
        return std::nullopt;
    return statusOf(st);
}

std::optional<FileStatus> status(int file)
{
    struct stat st {};
    if (::fstat(file, &st) != 0)
        return std::nullopt;
    return statusOf(st);
}

namespace {

bool walkFrom(const QString& root, bool skipHidden, const RegularFileVisitor& visit,
              const UnreadableFolderVisitor* unreadable)
{
    const int fd = openKeepingAccessTime(AT_FDCWD, nameToBytes(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    QString base = root;
    while (base.size() > 1 && base.endsWith(QLatin1Char('/')))
        base.chop(1);
    if (base == QLatin1String("/"))
        base.clear();
    walk(fd, base, skipHidden, visit, unreadable);
    return true;
}

} // namespace

bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit)
{
    return walkFrom(root, skipHidden, visit, nullptr);
}

bool forEachRegularFile(const QString& root, bool skipHidden, const RegularFileVisitor& visit,
                        const UnreadableFolderVisitor& unreadable)
{
    return walkFrom(root, skipHidden, visit, &unreadable);
}

std::uint64_t freeBytesAt(const QString& path)
{
    struct statvfs st {};
    if (::statvfs(nameToBytes(path).constData(), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

void setTimesAndMode(const QString& path, std::int64_t modifiedSecs, std::uint16_t mode)
{
    const QByteArray native = nameToBytes(path);
    const struct timespec times[2] = {{modifiedSecs, 0}, {modifiedSecs, 0}};
    if (::utimensat(AT_FDCWD, native.constData(), times, AT_SYMLINK_NOFOLLOW) != 0
        || ::chmod(native.constData(), mode) != 0)
        throw SystemError(QStringLiteral("Cannot set the time or mode of %1: %2").arg(path, lastErrorText()));
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

bool isReadable(const QString& path) { return ::access(nameToBytes(path).constData(), R_OK) == 0; }

} // namespace fs
} // namespace kivo
