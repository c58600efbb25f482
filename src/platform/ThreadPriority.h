// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kivo {

// Lowers the calling thread's scheduling priority: it then runs mostly on
// time the process's other threads leave over. Best effort; a refusal is ignored.
void lowerThisThreadsPriority();

} // namespace kivo
