// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "postmigration/ReinstallList.h"
#include "transfer/TransferManifest.h"

#include <optional>

namespace kivo {

// The applications this computer's package tools installed for the user.
// Blocking: runs the tools, and writes nothing.
ReinstallList outgoingReinstallList(const QString& homeFolder);

// The list written into `scratchFolder`, as the item sent with the application data
// as the destination's ~/.local/share/kivo/reinstall.json. Nothing when it is empty.
std::optional<TransferManifest::FileItem> reinstallListItem(const ReinstallList& list, const QString& scratchFolder);

} // namespace kivo
