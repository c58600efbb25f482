// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo {

// Why a repository's .git folder must travel: the work in it that exists
// nowhere else (a commit ahead of its upstream, a branch without one, a stash),
// or that git could not tell. Nothing when every commit is also on a remote.
// A clean clone is told from its files; anything else runs git with a
// deadline. Blocking, so call it off the main thread.
std::optional<QString> unsharedWorkIn(const QString& gitFolder);

// The decision on `git for-each-ref` output in the format the check asks for
// ("<refname>\t<upstream>\t<upstream:track>" per line).
std::optional<QString> unsharedWorkFromRefs(const QString& forEachRefOutput);

} // namespace kivo
