// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ResticEngine.h"
#include "vault/VaultSnapshot.h"

#include <QPair>

#include <functional>
#include <optional>

namespace kivo {

struct VaultProgress {
    QString phase; // snapshot, restore
    QString category;
    std::uint64_t files = 0;
    std::uint64_t totalFiles = 0;
    std::uint64_t bytes = 0;
    std::uint64_t totalBytes = 0;
    std::optional<double> secondsRemaining;
    QString currentFile;
    bool isFinal = false;
};
using VaultProgressHandler = std::function<void(const VaultProgress&)>;

// A category's home-relative paths already written to a file, NUL-separated, as
// they were found: a list too long to hold is never in memory.
struct ListedPaths {
    QString category;
    QString listFile;
    std::uint64_t files = 0; // what the paths hold: the totals and the tags
    std::uint64_t bytes = 0;
    // The folder the paths are relative to, when not the home: something kivo
    // wrote for the snapshot alone, kept outside what it snapshots of the home.
    QString root = {};
};

struct SnapshotRequest {
    QString home;
    QString kind = QStringLiteral("manual");
    QString migrationID;
    QString host;
    QString username;
    // Category id and the home-relative paths it covers, in order.
    QList<QPair<QString, QStringList>> categories;
    // Categories whose lists are in files; taken after `categories`.
    QList<ListedPaths> listed = {};
    QString principal = {}; // the organisation's name for the person, when managed
};

// A vault: kivo's snapshots kept by the engine in one repository.
class SnapshotVault {
public:
    SnapshotVault(ResticEngine engine, VaultAccess access) : m_engine(std::move(engine)), m_access(std::move(access)) {}

    const VaultAccess& access() const { return m_access; }
    // Whether a folder vault has been created there.
    bool exists() const;
    // Creates the vault; an existing one is only opened, to check the password. True when created.
    bool init();
    // One engine snapshot per category with something in it; the categories with nothing are left out.
    VaultSnapshot snapshot(const SnapshotRequest& request, const VaultProgressHandler& progress);
    QList<VaultSnapshot> list() const;
    void check(bool readData) const;
    // Into `target`, laid out as in the home. `category` limits it to one;
    // `restored` hears of each category once the engine has written all of it.
    void restore(const VaultSnapshot& snapshot, const std::optional<QString>& category, const QString& target,
                 const VaultProgressHandler& progress,
                 const std::function<void(const QString& category)>& restored = {}) const;
    // Removes the snapshots from the vault's list; `prune` frees their space too.
    void forget(const QList<VaultSnapshot>& snapshots, bool prune) const;

private:
    CategorySnapshot snapshotCategory(const SnapshotRequest& request, const QString& id, const ListedPaths& list,
                                      const std::function<void(const restic::BackupLine&)>& onStatus);

    ResticEngine m_engine;
    VaultAccess m_access;
};

// What a snapshot of `home` leaves out: kivo's own folder, and the vault (with its key) when it lives in the home.
QStringList excludedFolders(const QString& home, const QString& repository);

// Files and bytes below the `root`-relative `paths`, leaving out whatever lies below `skipped` (absolute).
QPair<std::uint64_t, std::uint64_t> measurePaths(const QString& root, const QStringList& paths, const QStringList& skipped = {});

// What each category covers in `home` (home-relative, only paths that exist);
// `folders` replaces userFiles' folders. Unknown category ids are left to the caller.
QList<QPair<QString, QStringList>> categoryPaths(const QString& home, const QStringList& categories,
                                                 const std::optional<QStringList>& folders);

} // namespace kivo
