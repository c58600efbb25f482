// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/SecretsChanges.h"
#include "vault/SnapshotVault.h"

#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>

namespace kivo {

// The category a pre-change or pre-rollback snapshot keeps the keychain's
// default collection under, secrets included: only restic's encryption holds them.
QString secretsDumpCategory();
// The dump's name inside that category.
QString secretsDumpName();
// The keychain category, whose import writes into the default collection.
QString keychainCategory();
// Whether `destination` is where a receive lands a keychain export: then the
// default collection is about to change.
bool isKeychainExport(const QString& home, const QString& destination);
// The default collection as the migration left it, without secrets, beside its change record.
QString secretsAfterPath(const QString& home, const QString& transferID);

// A fresh folder only the owner may enter (0700), in the home's records folder,
// for a dump of secrets; removed with the object. Leftovers of a run that
// crashed while holding one are removed first.
std::unique_ptr<QTemporaryDir> privateSecretsFolder(const QString& home);
// Removes the dumps a crashed run left in the home's records folder.
void removeSecretsLeftovers(const QString& home);

// Whether the default collection can be read and written here; the reason when not.
QString keychainProblem();
// The default collection with its secrets, written into `folder` (see
// privateSecretsFolder) with its list, ready to be snapshotted. Throws
// secrets::Unavailable when it cannot be read.
ListedPaths dumpSecretsInto(const QString& folder);
// The items of a dump; throws VaultError(failed) when it is missing or unreadable.
// The next two throw VaultError(locked) when the keychain is not there or locked.
QList<secrets::Item> readSecretsDump(const QString& path);
// The default collection as it is now, without secrets kept. Throws VaultError.
QList<SecretState> currentSecretStates();
// Notes the default collection as it is now, to `secretsAfterPath`.
void recordSecretsAfter(const QString& home, const QString& transferID);
// The after-record; nothing when the migration never finished.
std::optional<QList<SecretState>> readSecretsAfter(const QString& home, const QString& transferID);

// Stores the old items and deletes the added ones. Throws VaultError.
void applySecretsRollback(const SecretsRollbackPlan& plan);

// Overwrites a list of items' secrets in memory before they go.
void wipeSecrets(QList<secrets::Item>& items);

} // namespace kivo
