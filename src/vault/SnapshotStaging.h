// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/SnapshotVault.h"

#include <QString>

#include <functional>
#include <optional>

namespace kivo {

// Where a migration from a vault lays out the snapshot it moves: kivo's own
// folder of the receiving home, so the same file system, and never part of a
// safety snapshot or of what the migration writes.
QString vaultStagingFolder(const QString& home, const QString& snapshotID);

// The snapshots a migration from a vault may take: a send's set, or one taken by hand.
// "latest" is the newest source set. Throws VaultError(unknownSnapshot).
const VaultSnapshot& pickMigrationSnapshot(const QList<VaultSnapshot>& snapshots, const QString& name);

// A snapshot laid out as the home it was taken of, category by category. A run
// cut short goes on with the categories it had not finished, under the same transfer id.
class SnapshotStaging {
public:
    explicit SnapshotStaging(QString folder) : m_folder(std::move(folder)) {}

    const QString& folder() const { return m_folder; }
    // The staged home.
    QString tree() const;
    // The id the migration runs under: the one a run cut short used, else `fresh` (kept from now on).
    QString transferID(const QString& fresh) const;
    // Restores each category not staged yet. Throws VaultError: snapshotGone when
    // the snapshot was forgotten meanwhile, the vault's others as they come.
    void stage(const SnapshotVault& vault, const VaultSnapshot& snapshot, const VaultProgressHandler& progress) const;
    bool isStaged(const QString& category) const;
    // Gone, with all it held.
    void remove() const;

private:
    QString marker(const QString& category) const;
    QString m_folder;
};

} // namespace kivo
