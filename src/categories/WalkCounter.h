// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

namespace kivo {

// Every walk of a folder tree made to size, check or scan a home counts once
// here, so that how often a run walks the same tree is counted, not timed.
class WalkCounter {
public:
    static void count();
    static std::int64_t total();
};

} // namespace kivo
