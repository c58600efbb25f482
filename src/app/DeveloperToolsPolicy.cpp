// SPDX-License-Identifier: Apache-2.0
#include "app/DeveloperToolsPolicy.h"

#include "categories/DataCategory.h"

namespace kivo {

PlanSelection allowedSelection(PlanSelection selection, const DeveloperToolsPolicy& policy)
{
    for (MigrationItem& item : selection.items)
        if (!policy.enabled || (item.isSensitive && !policy.sensitiveOptInAllowed))
            item.isIncluded = false;
    for (MigrationItem& item : selection.devDirectoryItems)
        if (!policy.enabled || !policy.devDirectoriesAllowed || (item.isSensitive && !policy.sensitiveOptInAllowed))
            item.isIncluded = false;
    return selection;
}

namespace {

FlowFailure refusedByProfile(const QString& what)
{
    return {FlowExit::refused, what + QStringLiteral(": the organization's configuration profile does not allow it")};
}

// The named item and whether it is one of the plan's development folders; none when the plan has no such item.
std::optional<std::pair<MigrationItem, bool>> itemNamed(const QString& name, const PlanSelection& plan)
{
    for (const bool folder : {false, true})
        for (const MigrationItem& item : folder ? plan.devDirectoryItems : plan.items)
            if (item.name == name)
                return std::pair{item, folder};
    return std::nullopt;
}

} // namespace

std::optional<FlowFailure> categoryPolicyRefusal(const QStringList& named, const CategoryProfile& profile,
                                                 bool developerTools, HomeLayoutKind layout)
{
    const QString engineeringTools = DataCategory::engineeringTools().id;
    for (const QString& id : named) {
        const bool forbidden = id == engineeringTools
            ? !developerTools
            : !profile.isCategoryAllowed(id) && !profile.allowUserOverride;
        if (forbidden)
            return refusedByProfile(QStringLiteral("%1 cannot be migrated").arg(HomeLayout::of(layout).displayNameFor(id)));
    }
    return std::nullopt;
}

std::optional<FlowFailure> developerItemsRefusal(const QStringList& named, const PlanSelection& plan,
                                                 const DeveloperToolsPolicy& policy)
{
    for (const QString& name : named) {
        const auto found = itemNamed(name, plan);
        if (!found)
            continue; // an unknown name is the caller's usage error
        const auto& [item, folder] = *found;
        if (!policy.enabled)
            return refusedByProfile(QStringLiteral("Developer tools (\"%1\") cannot be migrated").arg(name));
        if (item.isSensitive && !policy.sensitiveOptInAllowed)
            return refusedByProfile(QStringLiteral("\"%1\" holds keys or credentials, which cannot be migrated").arg(name));
        if (folder && !policy.devDirectoriesAllowed)
            return refusedByProfile(QStringLiteral("\"%1\" is a development folder, which cannot be migrated").arg(name));
    }
    return std::nullopt;
}

} // namespace kivo
