// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "categories/DataCategoryManager.h"
#include "cli/CliOptions.h"
#include "managed/ConfigurationProfileManager.h"
#include "vault/VaultLocation.h"

#include <QStringList>

#include <functional>
#include <optional>

namespace kivo::cli {

using BeforeAdvertising = std::function<std::optional<FlowFailure>(QStringList categories, QStringList folders,
                                                                   QString transferID,
                                                                   EngineeringItemsProvider developerItems)>;

// The vault a send snapshots into: --vault, else the profile's (a folder or a
// bucket), else the home's own when --vault-snapshot asks. Nothing when no
// snapshot is due; throws VaultError(noVault) when the one due cannot be.
std::optional<VaultLocation> sourceVault(const SendOptions& o, const VaultSettings& profile);

// The step that snapshots what a send is about to send, or none when no snapshot is due.
BeforeAdvertising sourceSnapshotStep(const SendOptions& o, const ProfileValues& profile);

} // namespace kivo::cli
