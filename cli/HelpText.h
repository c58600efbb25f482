// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CommandTable.h"

#include <QString>
#include <QStringList>

namespace kivo::cli {

// The help of one command: synopsis, what it does, its options with their
// values and defaults, examples and the exit codes it can return.
QString commandHelp(const CommandSpec& command);
// A group's subcommands ("log": list, show, export, post), one line each.
QString groupHelp(const QString& group);
// Every command, one line each.
QString overviewHelp();
// The help `kivo-cli help WORDS...` shows. Throws UsageError for a word that names nothing.
QString helpFor(const QStringList& words);

// An option's description with its allowed values and default, as one sentence run.
QString optionDetails(const OptionSpec& option);
// `text` broken into lines of at most `width` characters, each after `indent` spaces.
QString wrapText(const QString& text, int indent, int width = 79);

} // namespace kivo::cli
