// SPDX-License-Identifier: Apache-2.0
#include "platform/SpoolFile.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kivo {

namespace {

int namelessFile()
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    // Folders whose file system cannot make a nameless file: a named one, unlinked at once.
    QByteArray pattern = folder + "/kivo-spool-XXXXXX";
    const int named = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (named < 0)
        throw SystemError(QStringLiteral("Cannot create a scratch file in %1: %2").arg(QDir::tempPath(), fs::lastErrorText()));
    ::unlink(pattern.constData());
    return named;
}

} // namespace

std::shared_ptr<SpoolFile> SpoolFile::create() { return std::shared_ptr<SpoolFile>(new SpoolFile(namelessFile())); }

SpoolFile::~SpoolFile()
{
    if (m_data)
        ::munmap(m_data, size_t(m_size));
    ::close(m_fd);
}

void SpoolFile::append(QByteArrayView bytes)
{
    // Written, not stored through a mapping: a full disk is an error here, not a fault on some later page.
    fs::writeAll(m_fd, bytes, QStringLiteral("scratch file"));
    m_size += bytes.size();
}

void SpoolFile::finish()
{
    if (m_data || m_size == 0)
        return;
    void* map = ::mmap(nullptr, size_t(m_size), PROT_READ, MAP_SHARED, m_fd, 0);
    if (map == MAP_FAILED)
        throw SystemError(QStringLiteral("Cannot map a scratch file: %1").arg(fs::lastErrorText()));
    m_data = static_cast<char*>(map);
}

void SpoolFile::release(qint64 from, qint64 to) const
{
    if (!m_data)
        return;
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const qint64 first = (std::max<qint64>(from, 0) + page - 1) / page * page;
    const qint64 end = std::min(to, m_size) / page * page;
    if (end > first)
        ::madvise(m_data + first, size_t(end - first), MADV_DONTNEED);
}

} // namespace kivo
