// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/CheckEnvironment.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

struct MDMSafetyResult {
    bool isEnrollmentIntact = false;
    bool hasConfigProfiles = false;
    std::optional<QString> enrollmentProfileIdentifier;
    bool isFileVaultEnabled = false;
    QStringList warnings;
};

// Whether this machine is under device management, whether its disk is
// encrypted, and whether the destination home folder sits somewhere sensible.
// Blocking (it may run tools): call it off the main thread.
MDMSafetyResult checkDestination(const QString& destinationHomeFolder, const CheckEnvironment& environment);

// Readings of the macOS tools' output.
std::optional<QString> enrollmentLineOf(const QString& profilesOutput);
bool fileVaultOnIn(const QString& fdesetupOutput);

} // namespace kivo
