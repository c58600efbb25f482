// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// Reads a configuration profile and says what it means and what is wrong with it.
int runProfileCheck(const ProfileCheckOptions& options);

} // namespace kivo::cli
