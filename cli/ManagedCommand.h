// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// The whole unattended migration the configuration profile describes.
int runManaged(const ManagedOptions& options);

} // namespace kivo::cli
