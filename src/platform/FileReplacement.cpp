// SPDX-License-Identifier: Apache-2.0
#include "platform/FileReplacement.h"

#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"

#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivo {
namespace {

[[noreturn]] void fail(int error, const QString& path)
{
    throw SystemError(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error))));
}

} // namespace

FileReplacement::FileReplacement(const QString& homeFolder, const QString& path) : m_path(path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0 || slash == path.size() - 1)
        throw SystemError(QStringLiteral("%1: not an absolute file path").arg(path));
    const QString parent = slash == 0 ? QStringLiteral("/") : path.left(slash);
    m_leaf = QFile::encodeName(path.mid(slash + 1));
    QString home = homeFolder;
    while (home.size() > 1 && home.endsWith(u'/'))
        home.chop(1);
    if (!home.isEmpty() && (parent == home || parent.startsWith(home + u'/'))) {
        UniqueFd homeFd(::open(QFile::encodeName(home).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!homeFd.isValid())
            fail(errno, home);
        if (parent == home) {
            m_parent = std::move(homeFd);
        } else {
            const int fd = openWithoutLinks(homeFd.get(), QFile::encodeName(parent.mid(home.size() + 1)),
                                            O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0)
                fail(errno, path);
            m_parent = UniqueFd(fd);
        }
    } else {
        m_parent = UniqueFd(::open(QFile::encodeName(parent).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!m_parent.isValid())
            fail(errno, path);
    }
    m_source = UniqueFd(::openat(m_parent.get(), m_leaf.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!m_source.isValid())
        fail(errno, path);
    struct stat st {};
    if (::fstat(m_source.get(), &st) != 0)
        fail(errno, path);
    if (!S_ISREG(st.st_mode))
        throw SystemError(QStringLiteral("%1: not a regular file").arg(path));
    m_size = static_cast<std::uint64_t>(st.st_size);
    m_uid = st.st_uid;
    m_gid = st.st_gid;
    m_mode = static_cast<std::uint16_t>(st.st_mode & 07777);
    m_sourceDevice = static_cast<std::int64_t>(st.st_dev);
    m_sourceInode = static_cast<std::int64_t>(st.st_ino);
    if (m_size > (1u << 20))
        fs::adviseSequential(m_source);
}

FileReplacement::~FileReplacement()
{
    if (m_temp.isValid() && !m_committed)
        ::unlinkat(m_parent.get(), m_tempLeaf.constData(), 0);
}

std::int64_t FileReplacement::read(char* into, std::int64_t length)
{
    for (;;) {
        const ssize_t n = ::read(m_source.get(), into, static_cast<size_t>(length));
        if (n >= 0)
            return n;
        if (errno != EINTR)
            fail(errno, m_path);
    }
}

void FileReplacement::rewind()
{
    if (::lseek(m_source.get(), 0, SEEK_SET) != 0)
        fail(errno, m_path);
}

void FileReplacement::write(QByteArrayView bytes)
{
    if (!m_temp.isValid()) {
        m_tempLeaf = "." + m_leaf.left(100) + "." + QUuid::createUuid().toByteArray(QUuid::Id128) + ".rewrite";
        m_temp = UniqueFd(::openat(m_parent.get(), m_tempLeaf.constData(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!m_temp.isValid())
            fail(errno, m_path);
    }
    fs::writeAll(m_temp.get(), bytes, m_path);
}

void FileReplacement::commit()
{
    if (!m_temp.isValid())
        write({});
    struct stat st {};
    if (::fstat(m_temp.get(), &st) != 0)
        fail(errno, m_path);
    if ((st.st_uid != m_uid || st.st_gid != m_gid) && ::fchown(m_temp.get(), m_uid, m_gid) != 0)
        fail(errno, m_path);
    if (::fchmod(m_temp.get(), m_mode) != 0)
        fail(errno, m_path);
    // The name must still be the file that was read: something swapped in meanwhile is not replaced.
    struct stat now {};
    if (::fstatat(m_parent.get(), m_leaf.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        fail(errno, m_path);
    if (static_cast<std::int64_t>(now.st_dev) != m_sourceDevice || static_cast<std::int64_t>(now.st_ino) != m_sourceInode)
        throw SystemError(QStringLiteral("%1: replaced while it was rewritten").arg(m_path));
    if (::renameat(m_parent.get(), m_tempLeaf.constData(), m_parent.get(), m_leaf.constData()) != 0)
        fail(errno, m_path);
    m_committed = true;
}

} // namespace kivo
