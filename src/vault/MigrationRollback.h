// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/PreChangeSnapshot.h"
#include "platform/SecretService.h"
#include "vault/SnapshotVault.h"

#include <QSet>
#include <QTemporaryDir>

#include <memory>

#include <optional>

namespace kivo {

class ReplacedPaths;

struct RollbackRequest {
    QString home;
    QString migration; // a migration log id, a transfer id, or "latest"
    std::optional<QString> category;
    bool dryRun = false;
    bool force = false;
    QString host;
    QString username;
    std::optional<QString> passwordFile; // of the home's default vault
    QString runtimeRoot = QStringLiteral("/run/user"); // where the account's login bus may be
};

struct RollbackReport {
    enum class Outcome { done, alreadyDone, refused, blocked, dryRun };
    Outcome outcome = Outcome::done;
    QString migrationID;
    QString transferID;
    QStringList categories; // what this run rolls back
    QStringList remaining;  // what a later run may still roll back
    bool resumed = false;   // it finished a run that was cut short
    std::uint64_t planned = 0; // files to put back or remove
    std::uint64_t restored = 0;
    std::uint64_t removed = 0;
    std::uint64_t foldersRemoved = 0;
    std::uint64_t changedCount = 0;
    QStringList changed; // the first of them, home-relative
    QStringList blocked; // folders that refuse changes
    QStringList notRestored; // links and other non-files, left in the snapshot
    QString preChangeSnapshot;   // what the migration replaced
    QString preRollbackSnapshot; // what this rollback replaced
    // Settings keys: put back to what they were, reset because the migration added them, changed after it.
    QStringList settingsRestored;
    QStringList settingsReset;
    QStringList settingsChanged;
    // Keychain items, by label and attributes: put back, deleted because the migration added them, changed after it.
    QStringList secretsRestored;
    QStringList secretsRemoved;
    QStringList secretsChanged;
};

// Undoes what one receive did to a home: what it replaced comes back from the
// snapshot it took first, what it created goes. What is about to be replaced is
// snapshotted first, and a small journal lets a run cut short finish on the next.
class MigrationRollback {
public:
    static constexpr qsizetype kListedLimit = 1000;

    MigrationRollback(RollbackRequest request, VaultProgressHandler progress);
    // Throws VaultError: unknownSnapshot for no such migration or category, others as the vault's.
    RollbackReport run();

private:
    struct Journal {
        QString phase; // snapshot, stage, swap
        QStringList categories;
        QString snapshot;
        std::uint64_t totalFiles = 0;
        std::uint64_t totalBytes = 0;
    };

    QString path(const char* suffix) const;
    // The entries with the state after the migration when it was noted, else with the state before.
    QString entriesPath() const;
    QStringList recordedCategories() const;
    QStringList doneCategories() const;
    std::optional<Journal> loadJournal() const;
    void saveJournal(const Journal& journal) const;
    // Counts what is to do and what stands in its way; the paths to snapshot first go to `replaced`.
    void plan(const QSet<QString>& categories, ReplacedPaths* replaced, Journal* journal);
    // Whether the settings the migration set are among `categories`.
    bool coversSettings(const QStringList& categories) const;
    // Compares the settings before, after and now; keeps the current ones ready for the pre-rollback snapshot.
    void planSettings();
    // Puts the settings back from the staged copy of the pre-change snapshot's.
    void swapSettings(const QString& staging);
    // Whether the keychain items the migration stored are among `categories`.
    bool coversSecrets(const QStringList& categories) const;
    // Compares the keychain before, after and now; notes whether it is to be snapshotted first.
    void planSecrets();
    // The default collection's items before the migration, through a private folder gone on return.
    QList<secrets::Item> secretsBefore() const;
    // Puts the keychain items back, planned again against what is there now.
    void swapSecrets();
    // The keychain as it is now, secrets included, dumped into a fresh private `folder`, ready to be snapshotted.
    ListedPaths secretsNow(std::unique_ptr<QTemporaryDir>& folder) const;
    // The pre-rollback snapshot of what is about to be replaced: its id, empty when nothing is.
    QString snapshotReplaced(ReplacedPaths& replaced);
    SnapshotVault openVault(bool create) const;
    // Throws VaultError(snapshotGone) when it was forgotten.
    VaultSnapshot preChangeSnapshot(const SnapshotVault& vault) const;
    void stage(const Journal& journal);
    void swap(const Journal& journal);
    void restoreFolders(const QSet<QString>& categories, bool finishing);
    void finish(const Journal& journal);

    RollbackRequest m_request;
    VaultProgressHandler m_progress;
    ChangeRecord m_record;
    RollbackReport m_report;
    std::unique_ptr<QTemporaryDir> m_settingsFolder;
    std::optional<ListedPaths> m_settingsNow; // for the pre-rollback snapshot, when settings go back
    bool m_secretsChange = false;             // keychain items go back: they are snapshotted first
};

// Where a rollback stages the files it puts back: on the home's own file system.
QString rollbackStagingFolder(const QString& home, const QString& transferID);

} // namespace kivo
