// SPDX-License-Identifier: Apache-2.0
#include "app/MigrationWindow.h"

#include "managed/ConfigurationProfileManager.h"

namespace kivo {

std::optional<FlowFailure> migrationWindowRefusal(const ConfigurationProfileManager& profile, const QDateTime& now)
{
    if (profile.isWithinMigrationWindow(now))
        return std::nullopt;
    return FlowFailure{FlowExit::refused, QString::fromLatin1(kMigrationNotAvailableText) + QStringLiteral(". Available ")
                                              + profile.values().migrationWindowStart->text()};
}

} // namespace kivo
