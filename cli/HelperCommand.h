#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// Whether the privileged helper answers (0) or not (7); or installs its service unit.
int runHelper(const HelperOptions& options);

// The unit that runs the helper as a system service.
QString helperUnitText(const QString& helperExecutable, const QString& socketPath);

} // namespace kivo::cli
