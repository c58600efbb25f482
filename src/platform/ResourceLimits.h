// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kivo {

// Lets this process hold up to `wanted` open files, as far as its hard limit allows.
void raiseOpenFileLimit(unsigned long wanted);

} // namespace kivo
