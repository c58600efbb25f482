// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <cstdint>

namespace kivo {

// Byte counts the way file sizes are shown to people: decimal units
// ("2 GB", "500 MB", "1.5 GB"), "Zero KB" for nothing.
QString formatFileSize(std::uint64_t bytes);

} // namespace kivo
