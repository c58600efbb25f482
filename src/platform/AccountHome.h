// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <optional>

namespace kivo::host {

// The home folder the account database names for `userName`; none when there is no such account.
std::optional<QString> homeFolderOf(const QString& userName);

// The account that owns `path` (not following a final link); none when the
// owner has no entry in the account database.
std::optional<QString> ownerNameOf(const QString& path);

} // namespace kivo::host
