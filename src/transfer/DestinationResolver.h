// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MDMSafetyChecker.h"
#include "transfer/TransferManifest.h"
#include "transfer/UserMapping.h"
#include "transfer/WireName.h"
#include "transfer/WirePath.h"

#include <functional>
#include <optional>

namespace kivo {

// Where received files are: what resolving a path from the wire needs, copied
// so that passes over every item can run on pool threads.
struct DestinationResolver {
    QString home;
    std::optional<UserMapping> mapping;
    MDMSafetyChecker safety;
    std::function<QString(const QString& tildePath, const QString& categoryID)> relocation;

    WirePathCheck check(const TransferManifest::FileItem& item) const
    {
        QString held = item.rawName ? fromWireName(item.relativePath).value_or(QString()) : item.relativePath;
        if (relocation && !held.isEmpty())
            held = relocation(held, item.categoryID);
        return checkWirePath(held, home, mapping, safety);
    }
};

} // namespace kivo
