// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ChangeEntries.h"

#include <optional>

namespace kivo {

// What a rollback does with one path a migration touched.
enum class RollbackStep {
    none,    // the migration left it as it was, or it is as the rollback would leave it
    restore, // put back what was there before, from the pre-change snapshot
    remove,  // the migration created it: it goes
};

struct RollbackDecision {
    RollbackStep step = RollbackStep::none;
    // Someone changed it after the migration: done only under --force.
    bool changedSince = false;
};

// The decision for one file entry given what is there now. Folders are not
// planned here: created ones go when empty, touched ones get their time back.
RollbackDecision planRollback(const ChangeEntry& entry, const std::optional<PathState>& now);

} // namespace kivo
