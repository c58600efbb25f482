// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo {

// The keys of a settings keyfile ("[org/gnome/desktop/interface]" groups of
// "name=value" lines): the full key path ("/org/gnome/desktop/interface/font-name")
// to its value, as typed text.
using SettingsValues = QMap<QString, QString>;

SettingsValues parseSettings(const QByteArray& keyfile);
// The keyfile text of `values`, one group per folder ("[/]" for keys at the top).
QByteArray settingsKeyfile(const SettingsValues& values);

// What undoing a migration's settings takes.
struct SettingsRollbackPlan {
    SettingsValues restore;   // keys the migration changed, with the values they had before it
    QStringList reset;        // keys the migration added: unset again
    QStringList changedSince; // of both, those someone changed after the migration

    qsizetype size() const { return restore.size() + reset.size(); }
};

// Compares the database before the migration, after it (nothing when it never
// finished) and now. A key the migration set to a new value goes back, one it
// added is reset, the rest stays. Without an after-state every key that differs
// from before is taken as the migration's and as changed since. Keys bound to the
// machine never travel, so they are never the migration's either.
SettingsRollbackPlan planSettingsRollback(const SettingsValues& before, const std::optional<SettingsValues>& after,
                                          const SettingsValues& now);

} // namespace kivo
