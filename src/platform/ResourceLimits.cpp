// SPDX-License-Identifier: Apache-2.0
#include "platform/ResourceLimits.h"

#include <sys/resource.h>

#include <algorithm>

namespace kivo {

void raiseOpenFileLimit(unsigned long wanted)
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace kivo
