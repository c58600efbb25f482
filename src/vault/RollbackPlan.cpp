// SPDX-License-Identifier: Apache-2.0
#include "vault/RollbackPlan.h"

namespace kivo {

RollbackDecision planRollback(const ChangeEntry& entry, const std::optional<PathState>& now)
{
    if (entry.isFolder())
        return {};
    // A migration that never finished left no state to compare with: anything
    // other than what was there before may be someone's later work.
    const auto matchesAfter = [&] { return entry.afterKnown && now == entry.after; };
    if (entry.kind == ChangeEntry::Kind::created) {
        if (!now || (entry.afterKnown && !entry.after))
            return {}; // never written, or gone already
        return {RollbackStep::remove, !matchesAfter()};
    }
    // Skipped by the conflict policy, or written with nothing new: the before-state stands.
    if (entry.afterKnown && entry.after == entry.before)
        return {};
    if (!entry.afterKnown && now == entry.before)
        return {};
    return {RollbackStep::restore, !matchesAfter()};
}

} // namespace kivo
