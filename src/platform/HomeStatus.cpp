// SPDX-License-Identifier: Apache-2.0
#include "platform/HomeStatus.h"

#include "platform/Beneath.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {

namespace {

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
    return fs::statusOf(st);
}

} // namespace

HomeStatus::HomeStatus(QString homeFolder) : m_home(std::move(homeFolder))
{
    while (m_home.size() > 1 && m_home.endsWith(u'/'))
        m_home.chop(1);
    m_homeFd.reset(::open(QFile::encodeName(m_home).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

HomeStatus::~HomeStatus() = default;

std::optional<fs::FileStatus> HomeStatus::status(const QString& absolutePath) const
{
    const QString base = m_home == QLatin1String("/") ? m_home : m_home + u'/';
    if (!m_homeFd.isValid() || !absolutePath.startsWith(base) || absolutePath.size() == base.size())
        return std::nullopt;
    const QString relative = absolutePath.mid(base.size());
    // With O_PATH and O_NOFOLLOW a link at the end is opened as itself; links on the way fail.
    const int fd = fs::openBeneath(m_homeFd.get(), QFile::encodeName(relative), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOSYS || errno == EPERM ? walk(m_homeFd.get(), relative) : std::nullopt;
    const UniqueFd file(fd);
    struct stat st {};
    if (::fstat(file.get(), &st) != 0)
        return std::nullopt;
    return fs::statusOf(st);
}

} // namespace kivo
