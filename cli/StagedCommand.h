// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// Lists, watches for, applies or discards preferences held back for applications not installed yet.
int runStaged(const StagedOptions& options);

} // namespace kivo::cli
