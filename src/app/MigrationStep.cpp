// SPDX-License-Identifier: Apache-2.0
#include "app/MigrationStep.h"

namespace kivo {

QString displayName(MigrationStep step)
{
    switch (step) {
    case MigrationStep::welcome: return QStringLiteral("Welcome");
    case MigrationStep::roleSelection: return QStringLiteral("Role");
    case MigrationStep::discovery: return QStringLiteral("Discovery");
    case MigrationStep::pairing: return QStringLiteral("Pairing");
    case MigrationStep::userMapping: return QStringLiteral("User Mapping");
    case MigrationStep::manifest: return QStringLiteral("What to Move");
    case MigrationStep::preflight: return QStringLiteral("Pre-flight Check");
    case MigrationStep::preflightSummary: return QStringLiteral("Review");
    case MigrationStep::progress: return QStringLiteral("Transfer");
    case MigrationStep::complete: return QStringLiteral("Complete");
    }
    return {};
}

bool skippedByDestination(MigrationStep step)
{
    return step == MigrationStep::manifest || step == MigrationStep::preflight
        || step == MigrationStep::preflightSummary;
}

} // namespace kivo
