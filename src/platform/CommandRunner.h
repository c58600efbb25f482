// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>
#include <utility>

namespace kivo {

// This process's environment with `changes` on top (an empty value removes the variable).
QProcessEnvironment environmentWith(const QMap<QString, QString>& changes);

struct CommandOptions {
    // Variables set (or, with an empty value, removed) on top of this process's environment.
    QMap<QString, QString> environment;
    QString workingDirectory;
    std::chrono::milliseconds timeout{30000};
    // Output past this is dropped and the command counts as failed: a tool that
    // floods must not grow our memory.
    qint64 maxOutputBytes = 16 * 1024 * 1024;
    // Given to the tool on its standard input (empty: none).
    QByteArray standardInput;
    // Run as this account (uid, gid) instead of ours: for root acting for a user.
    std::optional<std::pair<unsigned, unsigned>> runAs;
    // Standard error joins the output instead of being dropped: for tools whose failure says why there.
    bool withErrors = false;
};

struct CommandResult {
    bool started = false;
    bool timedOut = false;
    bool outputTooLarge = false;
    int exitCode = -1;
    QByteArray standardOutput;

    bool succeeded() const { return started && !timedOut && !outputTooLarge && exitCode == 0; }
};

// Runs a tool to its end: standard output collected, standard error discarded,
// standard input empty unless given. The tool runs in a process group of its own, and on
// timeout the whole group is killed, so a hung child of the tool cannot outlive it.
// Blocks the calling thread: call it off the main thread.
CommandResult runCommandDetailed(const QString& program, const QStringList& arguments,
                                 const CommandOptions& options = {});

// The output as UTF-8 text when the tool ran and exited 0; nothing otherwise.
std::optional<QString> runCommand(const QString& program, const QStringList& arguments,
                                  const CommandOptions& options = {});

// The absolute path of `name` on PATH (or `name` itself when it has a slash and is
// executable); empty when there is none.
QString findExecutable(const QString& name);

} // namespace kivo
