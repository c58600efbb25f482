// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo::cli {

// A bash completion script for kivo-cli, from the command table: commands,
// subcommands, each command's options, the values of closed sets (names of a
// list one by one after the commas), folders for DIR and files for FILE or PATH.
QString bashCompletion();

} // namespace kivo::cli
