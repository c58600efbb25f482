// SPDX-License-Identifier: Apache-2.0
#include "categories/WalkCounter.h"

#include <atomic>

namespace kivo {

namespace {
std::atomic<std::int64_t> walks{0};
}

void WalkCounter::count() { walks.fetch_add(1, std::memory_order_relaxed); }

std::int64_t WalkCounter::total() { return walks.load(std::memory_order_relaxed); }

} // namespace kivo
