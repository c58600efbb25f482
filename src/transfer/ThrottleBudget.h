// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kivo {

// Paces chunk sends to a byte rate. Times are on the engine's monotonic clock.
struct ThrottleBudget {
    double bytesPerSecond = 1.0;
    std::chrono::nanoseconds nextAllowedSend{0};

    static constexpr double kBytesPerMegabit = 125000.0;

    // No budget for an absent cap or one below 1 Mbps.
    static std::optional<ThrottleBudget> forCap(std::optional<int> megabitsPerSecond, std::chrono::nanoseconds now);

    // How long to wait before sending `bytes` now; the budget moves on before the wait.
    std::chrono::nanoseconds reserve(std::uint64_t bytes, std::chrono::nanoseconds now);
};

} // namespace kivo
