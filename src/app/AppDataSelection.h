// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/AppCompatibilityManager.h"
#include "transfer/TransferManifest.h"

#include <QHash>
#include <QStringList>

namespace kivo {

// What the choices for applications missing here make of their data: the
// "~/" files and folders that go, and those that stay.
struct AppDataSelection {
    QStringList sent;
    QStringList leftOut;

    bool operator==(const AppDataSelection&) const = default;
};

// Only missing applications are chosen for; one nobody chose for gets the
// default. "Install" sends the data too: the application is coming. A path two
// applications share goes when either sends it.
AppDataSelection appDataSelection(const QList<AppCompatibilityEntry>& apps,
                                  const QHash<QString, AppCompatibilityEntry::UserChoice>& choices,
                                  bool transferMissingByDefault);

// Takes out of `manifest` every file, folder and link at or below a left-out
// "~/" path; the total follows.
void leaveOutAppData(TransferManifest& manifest, const QStringList& leftOut);

} // namespace kivo
