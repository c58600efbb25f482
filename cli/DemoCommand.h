// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"

#include <QString>

#include <optional>

namespace kivo::cli {

// Runs a real migration of a sample home folder between two kivo-cli
// processes on loopback and shows the result.
int runDemo(const DemoOptions& options);

// Why the demonstration may not clear its folders in `workdir`: one of them
// exists and the workdir carries no mark of an earlier demonstration.
std::optional<QString> demoWorkdirRefusal(const QString& workdir);

// $TMPDIR/kivo-demo.
QString defaultDemoWorkdir();

} // namespace kivo::cli
