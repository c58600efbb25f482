// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// A running process as the checks that look for open applications see it.
struct RunningProcess {
    int pid = 0;
    unsigned uid = 0;       // real user
    QString command;        // the kernel's short name (at most 15 bytes)
    QString executableName; // argv[0]'s base name; empty for kernel threads
};

// Every process this user may see, read from `procRoot` (relocatable for tests).
// Processes that exit while being read are left out.
QList<RunningProcess> runningProcesses(const QString& procRoot = QStringLiteral("/proc"));

// True when a process of `uid` is called exactly `name`, by its short name or
// by argv[0]'s base name. Names are compared as they are: "Firefox" is not "firefox".
bool isProcessRunning(const QList<RunningProcess>& processes, unsigned uid, const QString& name);

// The owner of a folder (a home's user); nothing when it cannot be read.
std::optional<unsigned> ownerOf(const QString& path);

} // namespace kivo
