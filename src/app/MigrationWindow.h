// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"

#include <QDateTime>

#include <optional>

namespace kivo {

class ConfigurationProfileManager;

inline constexpr char kMigrationNotAvailableText[] = "Migration not available right now";

// Outside the organisation's migration window a migration does not start:
// the refusal, naming when it opens; none inside it or without a window.
std::optional<FlowFailure> migrationWindowRefusal(const ConfigurationProfileManager& profile, const QDateTime& now);

} // namespace kivo
