// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ResticEngine.h"
#include "vault/S3Location.h"
#include "vault/VaultCredentials.h"

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

// A vault's place: a folder, or a bucket of an object store.
struct VaultLocation {
    QString folder; // absolute; empty for an object store
    std::optional<S3Location> s3;
    // Where an object store's cache is kept: in kivo's own folder of the home served, which no
    // snapshot takes in. A folder vault needs none.
    QString cacheFolder{};
    QString repository() const { return s3 ? s3->repository() : folder; }
};

// --vault's text: s3:https://HOST[:PORT]/BUCKET[/PREFIX], else a folder (made
// absolute). Nothing, and the reason, for a location that cannot be one.
std::optional<VaultLocation> parseVaultLocation(const QString& text, QString* error);

// --vault, else the profile's (kivo.vaultStorageType "local": the absolute folder
// in kivo.vaultPrefix; "s3": its bucket), else the home's own. Throws
// VaultError(noVault) when the profile names a vault that cannot be.
VaultLocation chooseLocation(const std::optional<QString>& option, const VaultSettings& profile, const QString& home);

// What opens the vault. The password: --password-file, KIVO_VAULT_PASSWORD_FILE,
// kivo.vaultCredentialSecret, the Secret Service item a typed `vault init` saved,
// the key beside a folder (created, random and owner-only, when asked). An object
// store's keys: the profile's, else AWS_*; for kivo.vaultCredentialARN, a role's
// from the token service. Throws VaultError: missingKey when a password or keys
// are missing (before any connection), unreachable when the token service is.
VaultAccess openAccess(const VaultLocation& where, const VaultSettings& profile, const PasswordChoice& choice);

// A folder vault's access without a profile.
VaultAccess resolveAccess(const QString& vaultFolder, const PasswordChoice& choice);

// The password a file holds, surrounding white space removed as the engine does.
std::optional<QString> readPasswordFile(const QString& path);

} // namespace kivo
