#include "platform/FileSystem.h"

#include "platform/Error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        throw SystemError(QStringLiteral("Cannot create %1").arg(folder));
    const QString temp = path + QStringLiteral(".tmp");
    const QByteArray nativeTemp = QFile::encodeName(temp);
    {
        UniqueFd file(::open(nativeTemp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!file.isValid())
            throw SystemError(QStringLiteral("%1: %2").arg(temp, lastErrorText()));
        try {
            writeAll(file.get(), bytes, temp);
            // On disk before the rename makes it visible: a crash never leaves an empty file in its place.
            if (::fdatasync(file.get()) != 0)
                throw SystemError(QStringLiteral("%1: %2").arg(temp, lastErrorText()));
        } catch (...) {
            ::unlink(nativeTemp.constData());
            throw;
        }
    }
    if (::rename(nativeTemp.constData(), QFile::encodeName(path).constData()) != 0) {
        const QString error = lastErrorText();
        ::unlink(nativeTemp.constData());
        throw SystemError(QStringLiteral("%1: %2").arg(path, error));
    }
}

UniqueFd openForAppend(const QString& path, bool truncate)
{
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : 0);
    UniqueFd file(::open(QFile::encodeName(path).constData(), flags, 0600));
    if (!file.isValid())
        throw SystemError(QStringLiteral("%1: %2").arg(path, lastErrorText()));
    return file;
}

UniqueFd openForReading(const QString& path)
{
    UniqueFd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!file.isValid())
        throw SystemError(QStringLiteral("%1: %2").arg(path, lastErrorText()));
    return file;
}

std::uint64_t sizeOf(const UniqueFd& file)
{
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::uint64_t freeBytesAt(const QString& path)
{
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

void setTimesAndMode(const QString& path, std::int64_t modifiedSecs, std::uint16_t mode)
{
    const QByteArray native = QFile::encodeName(path);
    const struct timespec times[2] = {{modifiedSecs, 0}, {modifiedSecs, 0}};
    if (::utimensat(AT_FDCWD, native.constData(), times, AT_SYMLINK_NOFOLLOW) != 0
        || ::chmod(native.constData(), mode) != 0)
        throw SystemError(QStringLiteral("Cannot set the time or mode of %1: %2").arg(path, lastErrorText()));
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

} // namespace fs
} // namespace kivo
