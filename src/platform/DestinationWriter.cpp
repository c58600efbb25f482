// SPDX-License-Identifier: Apache-2.0
#include "platform/DestinationWriter.h"

#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/NameBytes.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

namespace kivo {

namespace {

[[noreturn]] void fail(int error, const QString& path)
{
    QString text = QString::fromLocal8Bit(std::strerror(error));
    // A folder opened without following links reads a link in its place as "not a folder" too.
    if (error == ELOOP)
        text = QStringLiteral("refusing to follow a symbolic link");
    else if (error == ENOTDIR)
        text = QStringLiteral("a file or a link stands where a folder should be");
    throw WriteFailure(error, QStringLiteral("%1: %2").arg(path, text));
}


std::int64_t monotonicMs()
{
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The free-space reading is refreshed after this much time or data, and for
// every chunk once the volume is this close to full.
constexpr std::int64_t kReadingMaxAgeMs = 1000;
constexpr std::uint64_t kReadingMaxWritten = 64ull << 20;
constexpr std::uint64_t kLowSpaceMargin = 64ull << 20;

// Holes are kept at the granularity of a file system block.
constexpr std::int64_t kSparseBlock = 4096;

// Written pieces this large are sent toward the disk at once.
constexpr qsizetype kWritebackPiece = 512 * 1024;

bool isZero(const char* data, std::int64_t length)
{
    static const char zeros[kSparseBlock] = {};
    for (std::int64_t at = 0; at < length; at += kSparseBlock) {
        const std::int64_t n = std::min(kSparseBlock, length - at);
        if (std::memcmp(data + at, zeros, size_t(n)) != 0)
            return false;
    }
    return true;
}

void pwriteAll(int fd, const char* data, std::int64_t length, std::int64_t offset, const QString& path)
{
    std::int64_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd, data + done, size_t(length - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, path);
        }
        done += n;
    }
}

struct timespec toTimespec(const std::optional<fs::FileTime>& time)
{
    struct timespec ts {};
    if (!time) {
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    ts.tv_sec = time_t(time->secs);
    ts.tv_nsec = long(time->nsecs);
    return ts;
}

// Access time untouched, modification time as given.
void setTimeOf(int fd, const std::optional<fs::FileTime>& modified, const QString& path)
{
    if (!modified)
        return;
    const struct timespec times[2] = {toTimespec(std::nullopt), toTimespec(modified)};
    if (::futimens(fd, times) != 0)
        fail(errno, path);
}

QList<QByteArray> setAttributesOf(int fd, const QList<fs::ExtendedAttribute>& attributes)
{
    QList<QByteArray> refused;
    for (const fs::ExtendedAttribute& a : attributes) {
        // Only the user's namespace: a peer never sets what the system or a security module relies on.
        if (!fs::isUserAttribute(a.name)
            || ::fsetxattr(fd, a.name.constData(), a.value.constData(), size_t(a.value.size()), 0) != 0)
            refused.append(a.name);
    }
    return refused;
}

} // namespace

bool WriteFailure::isDiskFull() const { return m_error == ENOSPC || m_error == EDQUOT; }

DestinationWriter::DestinationWriter(QString homeFolder) : m_home(std::move(homeFolder))
{
    while (m_home.size() > 1 && m_home.endsWith(u'/'))
        m_home.chop(1);
    m_homeFd = ::open(fs::nameToBytes(m_home).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

DestinationWriter::~DestinationWriter()
{
    closeCurrent();
    if (m_parentFd >= 0)
        ::close(m_parentFd);
    if (m_homeFd >= 0)
        ::close(m_homeFd);
}

std::uint64_t DestinationWriter::freeSpace(std::uint64_t needed)
{
    const std::int64_t now = monotonicMs();
    const std::uint64_t estimate = m_freeReading > m_writtenSinceReading ? m_freeReading - m_writtenSinceReading : 0;
    if (m_readingTakenMs >= 0 && now - m_readingTakenMs < kReadingMaxAgeMs && m_writtenSinceReading < kReadingMaxWritten
        && estimate >= needed + kLowSpaceMargin)
        return estimate;
    m_freeReading = fs::freeBytesAt(m_home);
    m_writtenSinceReading = 0;
    m_readingTakenMs = now;
    return m_freeReading;
}

void DestinationWriter::closeCurrent()
{
    if (m_currentFd >= 0)
        ::close(m_currentFd);
    m_currentFd = -1;
    m_currentPath.clear();
}

std::optional<fs::FileStatus> DestinationWriter::currentStatus(const QString& absolutePath) const
{
    if (m_currentFd < 0 || absolutePath != m_currentPath)
        return std::nullopt;
    return fs::status(m_currentFd);
}

int DestinationWriter::openParent(const QString& absolutePath, bool create, QString* leaf) const
{
    QString base = QStringLiteral("/");
    QString rest = absolutePath;
    if (absolutePath.startsWith(m_home + u'/')) {
        base = m_home;
        rest = absolutePath.mid(m_home.size() + 1);
    }
    QStringList parts = rest.split(u'/', Qt::SkipEmptyParts);
    if (parts.isEmpty())
        fail(EINVAL, absolutePath);
    *leaf = parts.takeLast();
    // The home folder itself is trusted as given, link or not.
    UniqueFd dir(::open(fs::nameToBytes(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.isValid())
        fail(errno, base);
    for (const QString& part : std::as_const(parts)) {
        const QByteArray name = fs::nameToBytes(part);
        int next = ::openat(dir.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(dir.get(), name.constData(), 0755) != 0 && errno != EEXIST)
                fail(errno, absolutePath);
            next = ::openat(dir.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0)
            fail(errno, absolutePath);
        dir.reset(next);
    }
    return dir.release();
}

void DestinationWriter::write(const QString& absolutePath, std::int64_t offset, QByteArrayView data, bool truncate,
                              bool sparse)
{
    if (truncate || absolutePath != m_currentPath || m_currentFd < 0) {
        closeCurrent();
        const qsizetype slash = absolutePath.lastIndexOf(u'/');
        const QString parent = absolutePath.left(slash);
        const QString leaf = absolutePath.mid(slash + 1);
        if (parent != m_parentPath || m_parentFd < 0) {
            if (m_parentFd >= 0)
                ::close(m_parentFd);
            m_parentFd = -1;
            m_parentPath.clear();
            QString ignored;
            m_parentFd = openParent(absolutePath, true, &ignored);
            m_parentPath = parent;
        }
        const int fd = openFile(leaf, truncate);
        if (fd < 0)
            fail(-fd, absolutePath);
        m_currentFd = fd;
        m_currentPath = absolutePath;
    }
    if (sparse) {
        writeSparse(absolutePath, offset, data);
        return;
    }
    m_writtenSinceReading += static_cast<std::uint64_t>(data.size());
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pwrite(m_currentFd, data.data() + done, static_cast<size_t>(data.size() - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            closeCurrent();
            fail(error, absolutePath);
        }
        done += n;
    }
    // A large piece starts on its way to the disk now, so the flush that makes
    // the file durable at the end finds little left to write. Only a hint: the
    // flush still decides.
    if (data.size() >= kWritebackPiece)
        ::sync_file_range(m_currentFd, offset, data.size(), SYNC_FILE_RANGE_WRITE);
}

// Runs of zero blocks become holes: beyond the end of the file a hole is what
// extending it leaves, below the end one is punched, since an earlier run may
// have left bytes there.
void DestinationWriter::writeSparse(const QString& absolutePath, std::int64_t offset, QByteArrayView data)
{
    struct stat st {};
    if (::fstat(m_currentFd, &st) != 0)
        fail(errno, absolutePath);
    std::int64_t fileEnd = st.st_size;
    const std::int64_t end = offset + data.size();
    std::int64_t at = offset;
    while (at < end) {
        // Runs end on block boundaries of the file, so holes line up with its blocks.
        const bool zero = isZero(data.data() + (at - offset), std::min(end, (at / kSparseBlock + 1) * kSparseBlock) - at);
        std::int64_t runEnd = std::min(end, (at / kSparseBlock + 1) * kSparseBlock);
        while (runEnd < end) {
            const std::int64_t next = std::min(end, runEnd + kSparseBlock);
            if (isZero(data.data() + (runEnd - offset), next - runEnd) != zero)
                break;
            runEnd = next;
        }
        if (!zero) {
            m_writtenSinceReading += std::uint64_t(runEnd - at);
            pwriteAll(m_currentFd, data.data() + (at - offset), runEnd - at, at, absolutePath);
            fileEnd = std::max(fileEnd, runEnd);
        } else if (at < fileEnd) {
            const std::int64_t punchEnd = std::min(runEnd, fileEnd);
            if (::fallocate(m_currentFd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, punchEnd - at) != 0)
                pwriteAll(m_currentFd, data.data() + (at - offset), punchEnd - at, at, absolutePath);
        }
        at = runEnd;
    }
    if (end > fileEnd && ::ftruncate(m_currentFd, end) != 0)
        fail(errno, absolutePath);
}

QList<QByteArray> DestinationWriter::applyMetadata(const QString& absolutePath, const EntryMetadata& metadata)
{
    UniqueFd opened;
    int fd = m_currentFd;
    if (absolutePath != m_currentPath || m_currentFd < 0) {
        QString leaf;
        UniqueFd dir(openParent(absolutePath, false, &leaf));
        opened.reset(::openat(dir.get(), fs::nameToBytes(leaf).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!opened.isValid())
            fail(errno, absolutePath);
        struct stat st {};
        if (::fstat(opened.get(), &st) != 0 || !S_ISREG(st.st_mode))
            fail(EINVAL, absolutePath);
        fd = opened.get();
    }
    const QList<QByteArray> refused = setAttributesOf(fd, metadata.attributes);
    setTimeOf(fd, metadata.modified, absolutePath);
    return refused;
}

QList<QByteArray> DestinationWriter::placeFolder(const QString& absolutePath, const EntryMetadata& metadata)
{
    QString leaf;
    UniqueFd dir(openParent(absolutePath, true, &leaf));
    const QByteArray name = fs::nameToBytes(leaf);
    if (::mkdirat(dir.get(), name.constData(), 0700) != 0 && errno != EEXIST)
        fail(errno, absolutePath);
    UniqueFd folder(::openat(dir.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.isValid())
        fail(errno, absolutePath);
    const QList<QByteArray> refused = setAttributesOf(folder.get(), metadata.attributes);
    // Permission bits and the sticky bit; never set-id bits from a peer.
    if (metadata.mode && ::fchmod(folder.get(), *metadata.mode & 01777) != 0)
        fail(errno, absolutePath);
    setTimeOf(folder.get(), metadata.modified, absolutePath);
    return refused;
}

std::optional<QByteArray> DestinationWriter::linkTarget(const QString& absolutePath) const
{
    QString leaf;
    UniqueFd dir(openParent(absolutePath, false, &leaf));
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlinkat(dir.get(), fs::nameToBytes(leaf).constData(), target.data(), size_t(target.size()));
    if (n < 0)
        return std::nullopt;
    target.truncate(n);
    return target;
}

DestinationWriter::LinkPlacement DestinationWriter::placeLink(const QString& absolutePath, const QByteArray& target,
                                                              const std::optional<fs::FileTime>& modified, bool replace)
{
    QString leaf;
    UniqueFd dir(openParent(absolutePath, true, &leaf));
    const QByteArray name = fs::nameToBytes(leaf);
    auto setTime = [&] {
        const struct timespec times[2] = {toTimespec(std::nullopt), toTimespec(modified)};
        if (modified && ::utimensat(dir.get(), name.constData(), times, AT_SYMLINK_NOFOLLOW) != 0)
            fail(errno, absolutePath);
    };
    struct stat st {};
    if (::fstatat(dir.get(), name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            QByteArray existing(4096, Qt::Uninitialized);
            const ssize_t n = ::readlinkat(dir.get(), name.constData(), existing.data(), size_t(existing.size()));
            if (n >= 0 && existing.first(n) == target) {
                setTime();
                return LinkPlacement::alreadyThere;
            }
        }
        if (!replace || S_ISDIR(st.st_mode))
            return LinkPlacement::kept;
        if (::unlinkat(dir.get(), name.constData(), 0) != 0 && errno != ENOENT)
            fail(errno, absolutePath);
    } else if (errno != ENOENT) {
        fail(errno, absolutePath);
    }
    if (target.isEmpty() || target.contains('\0'))
        fail(EINVAL, absolutePath);
    if (::symlinkat(target.constData(), dir.get(), name.constData()) != 0) {
        if (errno == EEXIST)
            return LinkPlacement::kept; // someone else's entry appeared meanwhile
        fail(errno, absolutePath);
    }
    setTime();
    return LinkPlacement::created;
}

DestinationWriter::HardLinkPlacement DestinationWriter::placeHardLink(const QString& targetPath,
                                                                      const QString& scratchPath,
                                                                      const QString& linkPath, bool replace)
{
    // The target is held open while it gets its new name: the name given is
    // that of this very file, whatever happens to its path meanwhile.
    UniqueFd target;
    if (m_homeFd >= 0 && targetPath.startsWith(m_home + u'/'))
        target.reset(fs::openBeneath(m_homeFd, fs::nameToBytes(targetPath.mid(m_home.size() + 1)),
                                     O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!target.isValid()) {
        QString leaf;
        UniqueFd dir(openParent(targetPath, false, &leaf));
        target.reset(::openat(dir.get(), fs::nameToBytes(leaf).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!target.isValid())
            fail(errno, targetPath);
    }
    struct stat held {};
    if (::fstat(target.get(), &held) != 0)
        fail(errno, targetPath);
    if (!S_ISREG(held.st_mode))
        fail(EINVAL, targetPath);

    const qsizetype slash = linkPath.lastIndexOf(u'/');
    if (slash < 0 || scratchPath.left(slash + 1) != linkPath.left(slash + 1))
        fail(EXDEV, linkPath);
    QString leaf;
    UniqueFd dir(openParent(linkPath, true, &leaf));
    struct stat there {};
    if (::fstatat(dir.get(), fs::nameToBytes(leaf).constData(), &there, AT_SYMLINK_NOFOLLOW) == 0
        && there.st_dev == held.st_dev && there.st_ino == held.st_ino)
        return HardLinkPlacement::alreadyThere;
    const QByteArray scratch = fs::nameToBytes(scratchPath.mid(slash + 1));
    if (::unlinkat(dir.get(), scratch.constData(), 0) != 0 && errno != ENOENT)
        fail(errno, scratchPath);
    // Through /proc a descriptor can be linked without the privilege AT_EMPTY_PATH asks for.
    const QByteArray byDescriptor = "/proc/self/fd/" + QByteArray::number(target.get());
    if (::linkat(AT_FDCWD, byDescriptor.constData(), dir.get(), scratch.constData(), AT_SYMLINK_FOLLOW) != 0) {
        const int error = errno;
        if (error != ENOENT || ::linkat(target.get(), "", dir.get(), scratch.constData(), AT_EMPTY_PATH) != 0)
            fail(error, linkPath);
    }
    if (!commit(scratchPath, linkPath, replace)) {
        ::unlinkat(dir.get(), scratch.constData(), 0);
        return HardLinkPlacement::kept;
    }
    // Renaming onto another name of the same file leaves both names: the scratch one goes.
    ::unlinkat(dir.get(), scratch.constData(), 0);
    return HardLinkPlacement::created;
}

// Returns the descriptor, or minus the errno.
int DestinationWriter::openFile(const QString& leaf, bool truncate)
{
    const QByteArray name = fs::nameToBytes(leaf);
    // Most files are new: an exclusive create proves it is a fresh regular file without asking again.
    if (truncate) {
        const int fd = ::openat(m_parentFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd >= 0 ? fd : -errno;
    }
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    const int fd = ::openat(m_parentFd, name.constData(), flags | O_NONBLOCK, 0666);
    if (fd < 0)
        return -errno;
    // Whatever was there may be a device or a pipe: only regular files are written.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -EINVAL;
    }
    return fd;
}

void DestinationWriter::setMode(const QString& absolutePath, std::uint16_t mode)
{
    if (absolutePath == m_currentPath && m_currentFd >= 0) {
        if (::fchmod(m_currentFd, mode & 0777) != 0)
            fail(errno, absolutePath);
        return;
    }
    QString leaf;
    UniqueFd dir(openParent(absolutePath, false, &leaf));
    // Only permission bits: a peer never gets to create set-id files here.
    UniqueFd file(::openat(dir.get(), fs::nameToBytes(leaf).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isValid())
        fail(errno, absolutePath);
    if (::fchmod(file.get(), mode & 0777) != 0)
        fail(errno, absolutePath);
}

UniqueFd DestinationWriter::openForReading(const QString& absolutePath) const
{
    // Verification reads what was just written: left alone, each read would
    // stamp a new access time and dirty the inode again.
    // Never blocks: a pipe put where a file was expected is opened, then refused by its type.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    if (m_homeFd >= 0 && absolutePath.startsWith(m_home + u'/')) {
        const QByteArray relative = fs::nameToBytes(absolutePath.mid(m_home.size() + 1));
        int fd = fs::openBeneath(m_homeFd, relative, kFlags | O_NOATIME);
        if (fd < 0 && errno == EPERM) // not ours, or the call is filtered
            fd = fs::openBeneath(m_homeFd, relative, kFlags);
        if (fd >= 0)
            return UniqueFd(fd);
        if (errno != ENOSYS && errno != EPERM)
            fail(errno, absolutePath);
    }
    QString leaf;
    UniqueFd dir(openParent(absolutePath, false, &leaf));
    UniqueFd file(fs::openKeepingAccessTime(dir.get(), fs::nameToBytes(leaf).constData(), kFlags));
    if (!file.isValid())
        fail(errno, absolutePath);
    return file;
}

void DestinationWriter::remove(const QString& absolutePath)
{
    if (absolutePath == m_currentPath)
        closeCurrent();
    if (m_parentFd >= 0)
        ::close(m_parentFd);
    m_parentFd = -1;
    m_parentPath.clear();
    QString leaf;
    UniqueFd dir(openParent(absolutePath, false, &leaf));
    if (::unlinkat(dir.get(), fs::nameToBytes(leaf).constData(), 0) != 0 && errno != ENOENT)
        fail(errno, absolutePath);
}

bool DestinationWriter::commit(const QString& partialPath, const QString& finalPath, bool replace)
{
    if (partialPath == m_currentPath)
        closeCurrent();
    const qsizetype slash = finalPath.lastIndexOf(u'/');
    if (slash < 0 || partialPath.left(slash + 1) != finalPath.left(slash + 1))
        fail(EXDEV, finalPath);
    // Usually the folder the file was just written in is still open.
    UniqueFd opened;
    int dir = m_parentFd;
    if (finalPath.left(slash) != m_parentPath || m_parentFd < 0) {
        QString ignored;
        opened.reset(openParent(finalPath, false, &ignored));
        dir = opened.get();
    }
    const QByteArray from = fs::nameToBytes(partialPath.mid(slash + 1));
    const QByteArray to = fs::nameToBytes(finalPath.mid(slash + 1));
    if (replace) {
        if (::renameat(dir, from.constData(), dir, to.constData()) != 0)
            fail(errno, finalPath);
        return true;
    }
#ifdef RENAME_NOREPLACE
    // Only a name nobody took since the decision to write it.
    if (::renameat2(dir, from.constData(), dir, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        fail(errno, finalPath);
#endif
    // Without RENAME_NOREPLACE: a link fails on a taken name, then the old name goes.
    if (::linkat(dir, from.constData(), dir, to.constData(), 0) != 0) {
        if (errno == EEXIST)
            return false;
        fail(errno, finalPath);
    }
    ::unlinkat(dir, from.constData(), 0);
    return true;
}

std::optional<std::uint64_t> DestinationWriter::regularFileSize(const QString& absolutePath) const
{
    try {
        const UniqueFd file = openForReading(absolutePath);
        struct stat st {};
        if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        return static_cast<std::uint64_t>(st.st_size);
    } catch (const WriteFailure&) {
        return std::nullopt;
    }
}

} // namespace kivo
