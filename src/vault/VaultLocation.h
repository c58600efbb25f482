// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ResticEngine.h"

#include <QString>

#include <optional>

namespace kivo {

// Where a home keeps its own vault when no other is named.
QString defaultVaultFolder(const QString& home);
// kivo's own folder in a home: never part of a snapshot, never replaced by a rollback.
QString kivoDataFolder(const QString& home);
// The random key kept beside a folder vault: against loss, not theft.
QString keyFileBeside(const QString& vaultFolder);

struct PasswordChoice {
    std::optional<QString> passwordFile; // --password-file
    bool createKey = false;              // init: make the key beside the vault when none is given
};

// The vault's location and password: --password-file, else KIVO_VAULT_PASSWORD_FILE,
// else the key beside the folder (created, random and owner-only, when asked).
// Throws VaultError(missingKey) when there is none.
VaultAccess resolveAccess(const QString& vaultFolder, const PasswordChoice& choice);

// The password a file holds, surrounding white space removed as the engine does.
std::optional<QString> readPasswordFile(const QString& path);

} // namespace kivo
