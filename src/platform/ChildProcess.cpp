// SPDX-License-Identifier: Apache-2.0
#include "platform/ChildProcess.h"

#include "platform/CommandRunner.h"

#include <QElapsedTimer>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace kivo {

namespace {

void keepTail(QByteArray& kept, const QByteArray& more, qint64 limit)
{
    kept += more;
    if (kept.size() > limit)
        kept.remove(0, kept.size() - limit);
}

// Hands over every complete line; false when one grows past the limit.
bool drainLines(QByteArray& pending, const QByteArray& more, qint64 limit, const LineHandler& onLine)
{
    pending += more;
    qsizetype start = 0;
    for (qsizetype nl = pending.indexOf('\n'); nl >= 0; nl = pending.indexOf('\n', start)) {
        if (onLine)
            onLine(pending.mid(start, nl - start));
        start = nl + 1;
    }
    pending.remove(0, start);
    return pending.size() <= limit;
}

} // namespace

ChildResult runChild(const QString& program, const QStringList& arguments, const ChildOptions& options,
                     const LineHandler& onLine, const std::function<void()>& tick)
{
    ChildResult result;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!options.workingDirectory.isEmpty())
        process.setWorkingDirectory(options.workingDirectory);
    process.setProcessEnvironment(environmentWith(options.environment));
    const pid_t parent = ::getpid();
    process.setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGINT);
        // The parent may have died before the line above took effect.
        if (::getppid() != parent)
            ::_exit(130);
    });
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(5000))
        return result;
    result.started = true;

    QByteArray pending;
    QElapsedTimer elapsed;
    elapsed.start();
    while (process.state() != QProcess::NotRunning) {
        if (elapsed.elapsed() >= options.deadline.count()) {
            result.timedOut = true;
            break;
        }
        process.waitForReadyRead(200);
        const QByteArray error = process.readAllStandardError();
        keepTail(result.standardError, error, options.maxErrorBytes);
        if (!error.isEmpty() && options.giveUp && options.giveUp(result.standardError)) {
            result.gaveUp = true;
            break;
        }
        if (!drainLines(pending, process.readAllStandardOutput(), options.maxLineBytes, onLine)) {
            result.lineTooLong = true;
            break;
        }
        if (tick)
            tick();
    }
    if (result.timedOut || result.lineTooLong || result.gaveUp) {
        // A clean stop first: the tool removes its lock on SIGINT.
        ::kill(pid_t(process.processId()), SIGINT);
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished(5000);
        }
        return result;
    }
    keepTail(result.standardError, process.readAllStandardError(), options.maxErrorBytes);
    if (!drainLines(pending, process.readAllStandardOutput(), options.maxLineBytes, onLine)) {
        result.lineTooLong = true;
        return result;
    }
    if (!pending.isEmpty() && onLine)
        onLine(pending);
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

} // namespace kivo
