// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo {

// True when a repository's own files say plainly that all its work is on its
// remotes: every local branch is at the same commit as its tracking branch,
// and there is no stash. False whenever anything is unusual (a missing
// upstream, a symbolic or newer-format ref, included configuration, a linked
// worktree): git is asked then. Saves starting git for the common clean clone.
bool refsShowNothingUnshared(const QString& gitFolder);

} // namespace kivo
