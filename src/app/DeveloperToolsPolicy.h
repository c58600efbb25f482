// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringMigrationPlan.h"

namespace kivo {

// What the organisation lets the developer section carry.
struct DeveloperToolsPolicy {
    bool enabled = true;               // the section at all
    bool sensitiveOptInAllowed = true; // keys, tokens and the like, even when ticked
    bool devDirectoriesAllowed = true; // project folders
};

// The plan's choice as the policy allows it: what it forbids is left out
// however it was ticked; nothing at all when the section is off.
PlanSelection allowedSelection(PlanSelection selection, const DeveloperToolsPolicy& policy);

} // namespace kivo
