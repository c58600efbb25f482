// SPDX-License-Identifier: Apache-2.0
#include "platform/FreeMemory.h"

#include <malloc.h>

namespace kivo {

void returnFreeMemory() { ::malloc_trim(0); }

} // namespace kivo
