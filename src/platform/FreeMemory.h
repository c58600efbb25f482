// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kivo {

// Hands the allocator's free pages back to the system. After a burst of
// short-lived allocations (decoding a large document) the heap keeps them
// otherwise, scattered between the ones that stay.
void returnFreeMemory();

} // namespace kivo
