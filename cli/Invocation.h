// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kivo::cli {

// Hidden commands the build runs to write the manual page and the completion.
inline constexpr char kManPageCommand[] = "__man-page";
inline constexpr char kCompletionCommand[] = "__bash-completion";

// What a command line asks for, before any command's own options are read.
struct Invocation {
    enum class Kind { run, help, version, manPage, completion };
    Kind kind = Kind::run;
    QString command;  // "send", "log post"; for help, what the text is about
    QStringList args; // run: the words after the first ("post latest URL" for "log post")
    QString text;     // help: the text to print
};

// Throws UsageError whose context names the command it concerns.
Invocation resolveInvocation(const QStringList& args);

// The two lines a usage error prints: what is wrong, and which help to read.
QString usageErrorText(const QString& context, const QString& message);

} // namespace kivo::cli
