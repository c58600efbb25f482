// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QStringList>

namespace kivo {

// What the managed configuration says about categories. The profile manager
// fills one of these; without a profile the defaults leave every choice to the user.
struct CategoryProfile {
    bool isProfilePresent = false;
    QStringList allowedDataCategories;
    bool allowUserOverride = true;

    // No profile, or an empty list, allows everything.
    bool isCategoryAllowed(const QString& id) const
    {
        return !isProfilePresent || allowedDataCategories.isEmpty() || allowedDataCategories.contains(id);
    }
};

} // namespace kivo
