// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/MigrationFlow.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/TransferConnection.h"
#include "vault/SnapshotVault.h"
#include "vault/VaultCredentials.h"

#include <memory>

#include <optional>

namespace kivo {

// A migration whose source is a snapshot in a vault instead of a machine on the
// network. The snapshot is restored into a staging folder on the receiving
// home's file system, then a source engine over that folder feeds the session's
// destination engine through an in-process connection: everything a receive
// does (the safety snapshot, conflicts, adapting to the account, the log, the
// checkpoint) happens as in a live migration, and a run cut short resumes.
class VaultReceiveFlow : public MigrationFlow {
    Q_OBJECT
public:
    struct Request {
        QString snapshot; // an id, the start of one, or "latest"
        std::optional<QString> vault; // --vault; else the profile's, else the receiving home's own
        VaultSettings profile;
        std::optional<QString> passwordFile;
        // What to do with files already here; the profile's override still wins.
        std::optional<ConflictPolicy> conflictPolicy;
    };

    VaultReceiveFlow(AppState& session, Request request, QObject* parent = nullptr);
    ~VaultReceiveFlow() override;

    // The exit a vault failure ends the flow with.
    static FlowExit exitFor(VaultErrorKind kind);

Q_SIGNALS:
    void snapshotChosen(kivo::VaultSnapshot snapshot);
    void vaultProgress(kivo::VaultProgress progress);

protected:
    QCoro::Task<void> runSteps() override;

private:
    // Opens the vault and lays the snapshot out; the staged snapshot and the folder.
    QCoro::Task<std::pair<VaultSnapshot, QString>> stage();
    QCoro::Task<void> migrateFrom(const VaultSnapshot& snapshot, const QString& stagingFolder);

    Request m_request;
    // The destination engine's end, kept as long as the session may hold that engine.
    std::unique_ptr<TransferConnection> m_destinationEnd;
};

} // namespace kivo
