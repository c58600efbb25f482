// SPDX-License-Identifier: Apache-2.0
#include "platform/VolumeSpace.h"

#include <QFile>

#include <sys/statvfs.h>

namespace kivo {

std::optional<VolumeSpace> volumeSpaceAt(const QString& path)
{
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return VolumeSpace{static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize,
                       static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize};
}

} // namespace kivo
