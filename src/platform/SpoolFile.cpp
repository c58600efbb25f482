#include "platform/SpoolFile.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kivo {

namespace {

UniqueFd namelessFile()
{
    const QByteArray folder = QFile::encodeName(QDir::tempPath());
    UniqueFd fd(::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.isValid())
        return fd;
    // Folders whose file system cannot make a nameless file: a named one, unlinked at once.
    QByteArray pattern = folder + "/kivo-spool-XXXXXX";
    fd = UniqueFd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd.isValid())
        throw SystemError(QStringLiteral("Cannot create a scratch file in %1: %2").arg(QDir::tempPath(), fs::lastErrorText()));
    ::unlink(pattern.constData());
    return fd;
}

} // namespace

std::shared_ptr<SpoolFile> SpoolFile::create(qint64 size)
{
    const UniqueFd fd = namelessFile();
    if (::ftruncate(fd.get(), size) != 0)
        throw SystemError(QStringLiteral("Cannot size a scratch file: %1").arg(fs::lastErrorText()));
    void* map = ::mmap(nullptr, size_t(std::max<qint64>(size, 1)), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED)
        throw SystemError(QStringLiteral("Cannot map a scratch file: %1").arg(fs::lastErrorText()));
    return std::shared_ptr<SpoolFile>(new SpoolFile(static_cast<char*>(map), size));
}

SpoolFile::~SpoolFile() { ::munmap(m_data, size_t(std::max<qint64>(m_size, 1))); }

void SpoolFile::release(qint64 from, qint64 to) const
{
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const qint64 first = (std::max<qint64>(from, 0) + page - 1) / page * page;
    const qint64 end = std::min(to, m_size) / page * page;
    if (end > first)
        ::madvise(m_data + first, size_t(end - first), MADV_DONTNEED);
}

} // namespace kivo
