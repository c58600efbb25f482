// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CommandTable.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <utility>

namespace kivo::cli {

// What one command's arguments say, checked against its table: every option
// is known, has its value, and a value from a closed set is one of them.
class ParsedArguments {
public:
    bool isSet(const QString& option) const { return m_values.contains(option); }
    // The last value given; empty when not given.
    QString value(const QString& option) const;
    // Every value given, lists split at commas and trimmed.
    QStringList values(const QString& option) const { return m_values.value(option); }
    const QStringList& positional() const { return m_positional; }

private:
    friend ParsedArguments parseArguments(const CommandSpec&, const QStringList&);
    QHash<QString, QStringList> m_values;
    QStringList m_positional;
};

// Throws UsageError. `args` are the words after the command's name.
ParsedArguments parseArguments(const CommandSpec& command, const QStringList& args);

// A group's subcommand ("log" with "post ..."): its spec and the words after
// it. Throws UsageError about the group when the subcommand is missing or unknown.
std::pair<const CommandSpec*, QStringList> resolveSubcommand(const QString& group, const QStringList& args);

// Whether the words ask for help (--help or -h before any "--").
bool asksForHelp(const QStringList& args);

} // namespace kivo::cli
