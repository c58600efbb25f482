// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// Runs a real migration of a sample home folder between two kivo-cli
// processes on loopback and shows the result.
int runDemo(const DemoOptions& options);

} // namespace kivo::cli
