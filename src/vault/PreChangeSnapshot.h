// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "vault/ChangeEntries.h"
#include "vault/SnapshotVault.h"

#include <QDateTime>
#include <functional>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// A walk over a migration's writes: each destination (absolute) with its category, and whether it is a folder.
using WriteVisitor = std::function<void(const QString& destination, const QString& category, bool isFolder)>;
using EachWrite = std::function<void(const WriteVisitor&)>;
// The paths a migration touches, handed over one by one as they are found.
using EntrySink = std::function<void(const ChangeEntry&)>;

// Sorts the file writes by whether something is there already: what they replace, by
// category and home-relative, is returned. Every file, every folder written and every
// folder on the way (the home itself as ".") goes to `touched` once, with what is there now.
// Anything outside the home, or in kivo's own folder, is left out.
QList<QPair<QString, QStringList>> sortWrites(const QString& home, const EachWrite& writes, const EntrySink& touched);

// What a migration changed, kept beside the home's default vault so it can be undone.
struct ChangeRecord {
    QString transferID;
    QString migrationID;
    QString snapshotID; // empty: it replaced nothing
    QDateTime time;
    std::uint64_t created = 0; // how many files the migration created
    // It carried settings keys: the snapshot holds the settings database as it was.
    bool settings = false;
    // It carried a keychain export: the snapshot holds the default collection as it was.
    bool secrets = false;

    QJsonObject toJson() const;
    static std::optional<ChangeRecord> fromJson(const QJsonObject& o);
};

QString changeRecordsFolder(const QString& home);
// Every path a migration touches with what was there before (ChangeEntry records).
QString touchedListPath(const QString& home, const QString& transferID);
// The same entries with what was there once the migration finished.
QString afterListPath(const QString& home, const QString& transferID);
// Every record in the home, oldest first; unreadable ones are left out.
QList<ChangeRecord> changeRecords(const QString& home);

// Everything a receive may have made for the vault in a home (records, the
// default vault and its key), folders included: what is handed to the home's owner.
QStringList vaultPathsOf(const QString& home);

struct PreChangeRequest {
    QString home;
    QString transferID;
    QString migrationID;
    QString host;
    QString username;
};

// Snapshots what the migration replaces into the home's default vault (made when
// missing) and records what it creates. When it carries settings keys, the settings
// database as it is now goes into the snapshot too; when it carries a keychain
// export, the keychain's default collection. A resumed transfer finds its record and takes
// none again. Throws VaultError: then nothing may be written.
ChangeRecord takePreChangeSnapshot(const PreChangeRequest& request, const EachWrite& writes);

// Notes what each touched path (and the settings database and keychain, when
// the migration carried them) holds now that the migration is done: what a rollback compares
// against to find later changes and the keys it set. Does nothing without a record.
void recordStateAfter(const QString& home, const QString& transferID);

} // namespace kivo
