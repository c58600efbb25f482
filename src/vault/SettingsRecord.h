// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/SettingsChanges.h"
#include "vault/SnapshotVault.h"

#include <QString>

#include <optional>

namespace kivo {

// The category a pre-change or pre-rollback snapshot keeps the settings database
// under, as keyfile text: the keys travel and come back through the settings
// service, never as the database file, which the service may be writing.
QString settingsDatabaseCategory();
// The keyfile's name inside that category.
QString settingsDumpName();
// Where a receive lands the settings keys it loads, home-relative: the manifest
// carrying it means the home's settings database is about to change.
QString receivedSettingsPath();
// The settings database as the migration left it, beside its change record.
QString settingsAfterPath(const QString& home, const QString& transferID);

// The home's settings database as keyfile text, written into `folder` (private,
// kivo's own) with its list, ready to be snapshotted. Throws SystemError when the
// database cannot be read: then nothing may be changed.
ListedPaths dumpSettingsInto(const QString& home, const QString& folder);

// The keys of a keyfile kivo wrote; nothing when it is not there. Throws
// VaultError(failed) when it is there but cannot be read.
std::optional<SettingsValues> readSettingsFile(const QString& path);

// Puts keys back and resets the added ones through the settings service of the
// account that owns `home` (its login bus under `runtimeRoot`, else a private one).
void applySettingsRollback(const QString& home, const SettingsRollbackPlan& plan, const QString& runtimeRoot);

} // namespace kivo
