// SPDX-License-Identifier: Apache-2.0
#include "platform/DurableFlush.h"

#include "platform/Error.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace kivo::fs {

void flushFileSystemOf(const QString& path)
{
    const UniqueFd folder(::open(path.toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        throw SystemError(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
#if defined(__linux__)
    if (::syncfs(folder.get()) != 0)
        throw SystemError(QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
#else
    // No per-volume flush elsewhere; the whole system's is the same promise.
    ::sync();
#endif
}

} // namespace kivo::fs
