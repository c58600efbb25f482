// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {

// The volume holding a folder, as a free-space check sees it.
struct VolumeSpace {
    std::uint64_t availableBytes = 0; // free for an unprivileged writer
    std::uint64_t totalBytes = 0;
};

// Nothing when the volume cannot be queried (a missing folder, say).
std::optional<VolumeSpace> volumeSpaceAt(const QString& path);

} // namespace kivo
