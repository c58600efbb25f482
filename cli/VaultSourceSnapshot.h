// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "cli/CliOptions.h"
#include "managed/ConfigurationProfileManager.h"

#include <QStringList>

#include <functional>
#include <optional>

namespace kivo::cli {

using BeforeAdvertising = std::function<std::optional<FlowFailure>(QStringList categories, QStringList folders,
                                                                   QString transferID)>;

// The folder a send snapshots into: --vault, else the profile's local vault, else
// the home's default one when --vault-snapshot asks. Nothing when no snapshot is
// due; `notice` says why a profile's vault is passed over.
std::optional<QString> sourceVaultFolder(const SendOptions& o, const ProfileValues& profile, QString* notice);

// The step that snapshots what a send is about to send, or none when no snapshot is due.
BeforeAdvertising sourceSnapshotStep(const SendOptions& o, const ProfileValues& profile);

} // namespace kivo::cli
