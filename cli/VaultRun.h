// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/Reporter.h"
#include "cli/VaultCommand.h"
#include "managed/ConfigurationProfileManager.h"
#include "vault/SnapshotVault.h"
#include "vault/VaultCredentials.h"

#include <QElapsedTimer>

namespace kivo::cli {

QString absolute(const QString& path);
QString thisHostName();
// A profile's vault keys.
VaultSettings vaultSettingsFrom(const ProfileValues& p);
// The organisation profile's vault keys (none when there is no profile).
VaultSettings profileVaultSettings();

// One reporter for a vault command: events with --json, lines and a bar otherwise.
class VaultRun {
public:
    explicit VaultRun(const VaultOptions& o) : options(o), out(Reporter::detect(o.json)) {}

    // `create`: a vault missing there is created, with a random key beside it when no password is given.
    SnapshotVault open(bool create, bool* created = nullptr) const;
    void progress(const VaultProgress& p);
    int fail(const VaultError& e);

    const VaultOptions& options;
    Reporter out;
    QElapsedTimer clock;
    QElapsedTimer sinceProgress;
    QString lastPhase;
};

// vault rollback
int runRollback(VaultRun& run);

} // namespace kivo::cli
