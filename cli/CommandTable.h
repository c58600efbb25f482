// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

namespace kivo::cli {

// One option of one command. The help, the manual page and the shell
// completion are all written from these rows, so they cannot disagree.
struct OptionSpec {
    QString name;         // without the dashes
    QString valueName;    // empty: a switch
    QString description;
    QStringList allowed;  // a closed set of values; empty: any
    QString defaultValue; // as people read it; empty: none
    bool list = false;       // NAME,NAME,...: `allowed` holds for each name
    bool repeatable = false; // may be given more than once

    bool takesValue() const { return !valueName.isEmpty(); }
    // "--name VALUE"
    QString usage() const;
};

struct ArgumentSpec {
    QString name;
    QString description;
    bool required = true;
};

struct CommandSpec {
    QString name;     // "send", or "log post" for a subcommand
    QString summary;  // one line
    QString description;
    QList<ArgumentSpec> arguments;
    QList<OptionSpec> options;
    QStringList examples;  // whole command lines
    QList<int> exitCodes;
    QHash<int, QString> exitNotes; // what a code means for this command, where it says more

    const OptionSpec* option(const QString& name) const;
    // "kivo-cli log post [ID|latest] [URL] [OPTIONS]"
    QString synopsis() const;
    // This command's word on the code, else what it means for every command.
    QString exitMeaning(int code) const;
};

// Every command a user may run, in the order the help lists them.
const QList<CommandSpec>& commandTable();
// The command with exactly this name ("send", "log post"); null when none.
const CommandSpec* findCommand(const QString& name);
// The first words of the commands: "send", "log", ...
QStringList topLevelCommands();
// The subcommands of a group ("log": list, show, export, post); empty when it has none.
QStringList subcommandsOf(const QString& group);
// What an exit code means, in one short line.
QString exitCodeMeaning(int code);

// An option that takes a value, for the command tables.
OptionSpec value(const char* name, const char* valueName, const char* description, const char* defaultValue = "");

// The vault's commands, in a file of their own.
void addVaultCommands(QList<CommandSpec>& t);

// The selectable categories, for send, preflight and inspect.
QStringList categoryIds(bool withDeveloperTools);

} // namespace kivo::cli
