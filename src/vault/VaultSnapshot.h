// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ResticOutput.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

// One category of a snapshot: one engine snapshot of home-relative paths.
struct CategorySnapshot {
    QString category;
    QString engineSnapshot;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    QStringList paths;
};

// What kivo calls a snapshot: the engine's snapshots of one run, one per category.
struct VaultSnapshot {
    QString id;
    QString kind; // source, manual, pre-change, pre-rollback
    QDateTime time;
    QString host;
    QString username;
    QString home;
    QString migrationID;
    QList<CategorySnapshot> categories;

    const CategorySnapshot* category(const QString& id) const;
    QJsonObject toJson() const;
};

// The engine's snapshots grouped into kivo's, oldest first; snapshots kivo did not take are left out.
QList<VaultSnapshot> groupSnapshots(const QList<restic::Snapshot>& engineSnapshots);

// The snapshot `name` means: "latest", a whole id or an unambiguous start of one,
// or an engine snapshot's id (or its start). With `category`, only snapshots holding it count.
// Throws VaultError(unknownSnapshot).
const VaultSnapshot& pickSnapshot(const QList<VaultSnapshot>& snapshots, const QString& name,
                                  const std::optional<QString>& category = std::nullopt);

// A fresh snapshot id: short enough to type, random enough never to repeat in one vault.
QString newSnapshotID();

} // namespace kivo
