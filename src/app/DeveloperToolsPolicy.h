// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "categories/CategoryProfile.h"
#include "categories/HomeLayout.h"
#include "devtools/EngineeringMigrationPlan.h"

#include <optional>

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

// What the user named explicitly and the profile forbids is refused, naming it
// and why; what only the defaults would take is narrowed quietly instead.
// `named`: category ids; `developerTools`: whether the profile lets that section run;
// `layout`: the home's, which names the categories.
std::optional<FlowFailure> categoryPolicyRefusal(const QStringList& named, const CategoryProfile& profile,
                                                 bool developerTools, HomeLayoutKind layout);
// `named`: developer items of `plan`, by name.
std::optional<FlowFailure> developerItemsRefusal(const QStringList& named, const PlanSelection& plan,
                                                 const DeveloperToolsPolicy& policy);

} // namespace kivo
