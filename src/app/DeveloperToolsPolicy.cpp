// SPDX-License-Identifier: Apache-2.0
#include "app/DeveloperToolsPolicy.h"

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

} // namespace kivo
