#pragma once

#include <QString>

#include <optional>

namespace kivo::host {

// The home folder the account database names for `userName`; none when there is no such account.
std::optional<QString> homeFolderOf(const QString& userName);

} // namespace kivo::host
