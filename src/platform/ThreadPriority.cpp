// SPDX-License-Identifier: Apache-2.0
#include "platform/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

namespace kivo {

void lowerThisThreadsPriority()
{
    // On Linux a nice value belongs to the thread named by its id, not the process.
    ::setpriority(PRIO_PROCESS, ::gettid(), 10);
}

} // namespace kivo
