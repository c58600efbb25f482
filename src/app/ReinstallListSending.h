// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/TransferManifest.h"

#include <optional>

namespace kivo {

// The applications this computer's package tools installed for the user, written
// into `scratchFolder` and sent as the destination's ~/.local/share/kivo/reinstall.json
// with the application data. Nothing when there are none. Blocking: runs the tools.
std::optional<TransferManifest::FileItem> outgoingReinstallList(const QString& homeFolder, const QString& scratchFolder);

} // namespace kivo
