// SPDX-License-Identifier: Apache-2.0
#include "platform/Processes.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include <optional>

namespace kivo {
namespace {

QByteArray readSmall(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(limit);
}

std::optional<unsigned> realUid(const QByteArray& status)
{
    // "Uid:\t<real>\t<effective>\t<saved>\t<fs>"
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return std::nullopt;
    const qsizetype end = status.indexOf('\n', at + 1);
    const QList<QByteArray> fields = status.mid(at + 5, end < 0 ? -1 : end - at - 5).simplified().split(' ');
    bool ok = false;
    const unsigned uid = fields.value(0).toUInt(&ok);
    return ok ? std::optional<unsigned>(uid) : std::nullopt;
}

} // namespace

QList<RunningProcess> runningProcesses(const QString& procRoot)
{
    QList<RunningProcess> processes;
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        const QString base = procRoot + QLatin1Char('/') + entry;
        const std::optional<unsigned> uid = realUid(readSmall(base + QStringLiteral("/status"), 4096));
        if (!uid)
            continue;
        RunningProcess p;
        p.pid = pid;
        p.uid = *uid;
        p.command = QString::fromUtf8(readSmall(base + QStringLiteral("/comm"), 64).trimmed());
        const QByteArray cmdline = readSmall(base + QStringLiteral("/cmdline"), 4096);
        const QByteArray argv0 = cmdline.left(cmdline.indexOf('\0'));
        p.executableName = QString::fromUtf8(argv0.mid(argv0.lastIndexOf('/') + 1));
        processes.append(p);
    }
    return processes;
}

bool isProcessRunning(const QList<RunningProcess>& processes, unsigned uid, const QString& name)
{
    if (name.isEmpty())
        return false;
    for (const RunningProcess& p : processes)
        if (p.uid == uid && (p.command == name || p.executableName == name))
            return true;
    return false;
}

std::optional<unsigned> ownerOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return unsigned(st.st_uid);
}

} // namespace kivo
