// SPDX-License-Identifier: Apache-2.0
#include "platform/CommandRunner.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <csignal>
#include <grp.h>
#include <unistd.h>

namespace kivo {

QProcessEnvironment environmentWith(const QMap<QString, QString>& changes)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        if (it.value().isEmpty())
            env.remove(it.key());
        else
            env.insert(it.key(), it.value());
    }
    return env;
}

CommandResult runCommandDetailed(const QString& program, const QStringList& arguments,
                                 const CommandOptions& options)
{
    CommandResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (options.standardInput.isEmpty())
        process.setStandardInputFile(QProcess::nullDevice());
    if (options.withErrors)
        process.setProcessChannelMode(QProcess::MergedChannels);
    else
        process.setStandardErrorFile(QProcess::nullDevice());
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    if (!options.environment.isEmpty())
        process.setProcessEnvironment(environmentWith(options.environment));
    const auto runAs = options.runAs;
    process.setChildProcessModifier([runAs] {
        ::setpgid(0, 0);
        if (runAs) {
            const gid_t gid = runAs->second;
            // A tool that cannot become the account must not run as us.
            if (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(runAs->first) != 0)
                ::_exit(126);
        }
    });
    process.start(options.standardInput.isEmpty() ? QIODevice::ReadOnly : QIODevice::ReadWrite);
    if (!process.waitForStarted(5000))
        return result;
    if (!options.standardInput.isEmpty()) {
        process.write(options.standardInput);
        process.closeWriteChannel();
    }
    result.started = true;
    const qint64 pid = process.processId();

    QElapsedTimer elapsed;
    elapsed.start();
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = options.timeout.count() - elapsed.elapsed();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        process.waitForReadyRead(int(std::min<qint64>(left, 200)));
        const QByteArray chunk = process.readAllStandardOutput();
        if (result.standardOutput.size() + chunk.size() > options.maxOutputBytes) {
            result.outputTooLarge = true;
            break;
        }
        result.standardOutput += chunk;
    }
    if (result.timedOut || result.outputTooLarge) {
        ::kill(-pid_t(pid), SIGKILL);
        process.waitForFinished(5000);
        result.standardOutput.clear();
        return result;
    }
    const QByteArray rest = process.readAllStandardOutput();
    if (result.standardOutput.size() + rest.size() > options.maxOutputBytes) {
        result.outputTooLarge = true;
        result.standardOutput.clear();
        return result;
    }
    result.standardOutput += rest;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    // Anything the tool left running in its group goes with it.
    ::kill(-pid_t(pid), SIGKILL);
    return result;
}

std::optional<QString> runCommand(const QString& program, const QStringList& arguments,
                                  const CommandOptions& options)
{
    const CommandResult result = runCommandDetailed(program, arguments, options);
    if (!result.succeeded())
        return std::nullopt;
    return QString::fromUtf8(result.standardOutput);
}

QString findExecutable(const QString& name)
{
    if (name.contains(QLatin1Char('/'))) {
        const QFileInfo info(name);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(name);
}

} // namespace kivo
