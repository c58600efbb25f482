// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcessEnvironment>
#include <QStringList>

#include <chrono>

namespace kivo::test {

// kivo-cli of the build under test (KIVO_BUILD_DIR).
QString kivoCli();

// A finished process: its exit code (-1 after a crash or a kill) and what it printed.
struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    // The --json events of that name on standard output, in order.
    QList<QJsonObject> events(const QString& name) const;
    // The last of them, or an empty object.
    QJsonObject event(const QString& name) const;
};

// Runs to the end with standard input closed; killed at the deadline.
CliRun runProcess(const QString& program, const QStringList& args,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  std::chrono::milliseconds deadline = std::chrono::minutes(3));
inline CliRun runCli(const QStringList& args,
                     const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    return runProcess(kivoCli(), args, environment);
}

// `receive` arguments that reach, over loopback, the sender whose advertising event this is.
QStringList receiveFrom(const QString& home, const QJsonObject& advertised);

} // namespace kivo::test
