// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/PreFlightReport.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {

// The choices a pre-flight runs under, beyond the selection itself.
struct PreflightSettings {
    ConnectionType connectionType = ConnectionType::wifi;
    bool thunderboltAvailable = false;
    bool includeDerived = false; // no exclusion rule anywhere
    // The destination home whose volume is checked; none: the home being sent.
    std::optional<QString> destinationHome;
    // The destination's free bytes when they are known from elsewhere.
    std::optional<std::uint64_t> destinationFreeBytes;
    // False when the destination is another machine: its disk cannot be read here.
    bool destinationIsLocal = true;
};

} // namespace kivo
