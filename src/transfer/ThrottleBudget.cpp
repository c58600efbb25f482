// SPDX-License-Identifier: Apache-2.0
#include "transfer/ThrottleBudget.h"

#include <algorithm>

namespace kivo {

std::optional<ThrottleBudget> ThrottleBudget::forCap(std::optional<int> megabitsPerSecond, std::chrono::nanoseconds now)
{
    if (!megabitsPerSecond || *megabitsPerSecond < 1)
        return std::nullopt;
    return ThrottleBudget{std::max(*megabitsPerSecond * kBytesPerMegabit, 1.0), now};
}

std::chrono::nanoseconds ThrottleBudget::reserve(std::uint64_t bytes, std::chrono::nanoseconds now)
{
    const auto delay = std::max(nextAllowedSend - now, std::chrono::nanoseconds(0));
    const auto cost = std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(bytes) / bytesPerSecond * 1e9));
    nextAllowedSend = std::max(now, nextAllowedSend) + cost;
    return delay;
}

} // namespace kivo
