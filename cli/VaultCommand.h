// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/VaultError.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::cli {

struct VaultOptions {
    enum class Action { init, snapshot, list, check, restore, forget, rollback };
    Action action = Action::list;
    QString home;
    std::optional<QString> vault; // none: the home's default vault
    std::optional<QString> passwordFile;
    bool json = false;
    std::optional<QStringList> categories;
    std::optional<QStringList> folders;
    bool readData = false;
    QString snapshot; // restore, forget; the migration for rollback
    std::optional<QString> category;
    QString target;
    std::optional<int> keepLast;
    bool prune = false;
    bool dryRun = false;
    bool force = false;
};

// The exit code a vault failure ends the command with.
int exitCodeFor(VaultErrorKind kind);

// Throws UsageError.
VaultOptions parseVault(const QStringList& args);
int runVault(const VaultOptions& options);

} // namespace kivo::cli
