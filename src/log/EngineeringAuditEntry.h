// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsInventory.h"
#include "log/MigrationLog.h"

#include <optional>

namespace kivo {

// What the developer-tools audit found and what the plan chose to send, as the
// log keeps it. The destination's architecture is known only when it was named.
EngineeringToolsLogEntry engineeringAuditEntry(const EngineeringToolsInventory& inventory, const PlanSelection& selection,
                                               const std::optional<QString>& destinationArchitecture);

} // namespace kivo
