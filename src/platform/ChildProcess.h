// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace kivo {

struct ChildOptions {
    // Variables set (or, with an empty value, removed) on top of this process's environment.
    QMap<QString, QString> environment;
    QString workingDirectory;
    // The whole run; past it the child is asked to stop (SIGINT), then killed.
    std::chrono::milliseconds deadline{std::chrono::minutes(60)};
    // Standard error beyond this keeps only its end, which is where tools say why they failed.
    qint64 maxErrorBytes = 64 * 1024;
    // A single output line longer than this ends the run as failed.
    qint64 maxLineBytes = 64 * 1024 * 1024;
    // Shown each new tail of standard error; true stops the child as the
    // deadline would: for a failure the tool would only retry in vain.
    std::function<bool(const QByteArray& errorTail)> giveUp;
};

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    bool lineTooLong = false;
    bool gaveUp = false;
    int exitCode = -1;
    QByteArray standardError;

    bool succeeded() const { return started && !timedOut && !lineTooLong && !gaveUp && exitCode == 0; }
};

// Each whole line of standard output, without its newline.
using LineHandler = std::function<void(const QByteArray& line)>;

// Runs a long-lived tool, streaming its output line by line and keeping the tail
// of its standard error. If this process dies first the child gets SIGINT, so a
// tool that holds a lock can release it. `tick` is called about every 200 ms
// while it runs. Blocks the calling thread, which must outlive the child.
ChildResult runChild(const QString& program, const QStringList& arguments, const ChildOptions& options,
                     const LineHandler& onLine, const std::function<void()>& tick = {});

} // namespace kivo
