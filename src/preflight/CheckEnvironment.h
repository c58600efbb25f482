// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/HomeLayout.h"

#include <QString>

#include <functional>

namespace kivo {

// Where the readiness checks look. Every system location is relocatable so
// tests bring their own sysfs, process table, profile and tools.
struct CheckEnvironment {
    QString sysfsRoot;    // power supplies and block devices
    QString procRoot;     // running processes
    QString profilePath;  // the managed configuration profile
    QString systemRoot;   // prefixes the protected system paths
    QString profilesTool; // enrolment status tool; empty: not run
    QString fdesetupTool; // disk encryption status tool; empty: the volume is asked instead
    // Why this machine's keychain cannot be read for sending, named as a home of
    // `layout` names it, or empty; unset: not asked.
    std::function<QString(HomeLayoutKind layout)> keychainProblem;

    // This machine's: $KIVO_SYSFS (else /sys), /proc, $KIVO_CONFIG_PROFILE
    // (else /etc/kivo/com.kivo.config.plist), "/", the tools only where they exist, and the Secret Service.
    static CheckEnvironment fromProcess();
};

} // namespace kivo
