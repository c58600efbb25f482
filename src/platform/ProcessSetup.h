// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kivo {

// Process-wide settings every kivo program applies before it creates its
// QCoreApplication: the transfer path is dominated by per-message overhead,
// and both settings cut it.
void prepareProcess();

} // namespace kivo
