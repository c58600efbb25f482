#include "platform/HomeStatus.h"

#include "platform/UniqueFd.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kivo {

namespace {

fs::FileStatus statusOf(const struct stat& st)
{
    fs::FileStatus out;
    out.kind = S_ISREG(st.st_mode) ? fs::FileStatus::Kind::regular
             : S_ISDIR(st.st_mode) ? fs::FileStatus::Kind::directory
                                   : fs::FileStatus::Kind::other;
    out.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0u;
    out.allocatedBytes = st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512u : 0u;
    out.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
    out.modifiedSecs = st.st_mtim.tv_sec;
    out.modifiedNsecs = st.st_mtim.tv_nsec;
    return out;
}

// Folder by folder, each opened relative to the last without following links;
// for kernels or filters that refuse openat2.
std::optional<fs::FileStatus> walk(int homeFd, const QString& relative)
{
    QStringList parts = relative.split(u'/');
    for (const QString& part : std::as_const(parts))
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return std::nullopt;
    const QByteArray leaf = QFile::encodeName(parts.takeLast());
    UniqueFd dir(::dup(homeFd));
    for (const QString& part : std::as_const(parts)) {
        const int next = ::openat(dir.get(), QFile::encodeName(part).constData(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return std::nullopt;
        dir.reset(next);
    }
    struct stat st {};
    if (::fstatat(dir.get(), leaf.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return statusOf(st);
}

} // namespace

HomeStatus::HomeStatus(QString homeFolder) : m_home(std::move(homeFolder))
{
    while (m_home.size() > 1 && m_home.endsWith(u'/'))
        m_home.chop(1);
    m_homeFd = ::open(QFile::encodeName(m_home).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

HomeStatus::~HomeStatus()
{
    if (m_homeFd >= 0)
        ::close(m_homeFd);
}

std::optional<fs::FileStatus> HomeStatus::status(const QString& absolutePath) const
{
    const QString base = m_home == QLatin1String("/") ? m_home : m_home + u'/';
    if (m_homeFd < 0 || !absolutePath.startsWith(base) || absolutePath.size() == base.size())
        return std::nullopt;
    const QString relative = absolutePath.mid(base.size());
    // With O_PATH and O_NOFOLLOW a link at the end is opened as itself; links on the way fail.
    struct open_how how {};
    how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    const QByteArray name = QFile::encodeName(relative);
    const int fd = static_cast<int>(::syscall(SYS_openat2, m_homeFd, name.constData(), &how, sizeof how));
    if (fd < 0)
        return errno == ENOSYS || errno == EPERM ? walk(m_homeFd, relative) : std::nullopt;
    const UniqueFd file(fd);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return std::nullopt;
    return statusOf(st);
}

} // namespace kivo
