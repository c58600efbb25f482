// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/DeviceRole.h"

#include <QObject>
#include <QString>
#include <optional>

namespace kivo {
Q_NAMESPACE

// The ten wizard steps, in order.
enum class MigrationStep {
    welcome = 0,
    roleSelection = 1,
    discovery = 2,
    pairing = 3,
    userMapping = 4,
    manifest = 5,
    preflight = 6,
    preflightSummary = 7,
    progress = 8,
    complete = 9,
};
Q_ENUM_NS(MigrationStep)

QString displayName(MigrationStep step);
// The source's selection and pre-flight steps, which a destination passes by.
bool skippedByDestination(MigrationStep step);

} // namespace kivo
