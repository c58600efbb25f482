// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// Whether the privileged helper answers (0) or not (7); or installs its service unit.
int runHelper(const HelperOptions& options);

} // namespace kivo::cli
