// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace kivo {

// Where a Linux machine keeps what is installed. Every root is relocatable so
// that tests never depend on the machine.
struct LinuxInstallRoots {
    QStringList desktopFolders;        // XDG "applications" folders, Flatpak exports included
    QStringList flatpakInstallations;  // each holds app/<id>/current
    QString snapRoot;                  // holds <name>/current
};

// For a home: <home>/.local/share/applications and each $XDG_DATA_DIRS/applications
// (else /usr/local/share and /usr/share), then the exports of the user's Flatpak
// installation (<home>/.local/share/flatpak) and the system's
// ($KIVO_FLATPAK_SYSTEM_DIR, else /var/lib/flatpak); snaps in $KIVO_SNAP_DIR, else /snap.
LinuxInstallRoots linuxInstallRootsFor(const QString& homeFolder);
// The user's Flatpak installation (<home>/.local/share/flatpak) and the system's.
QStringList flatpakInstallationsFor(const QString& homeFolder);
// The .desktop folder a Flatpak installation exports its apps to.
QString flatpakExportFolder(const QString& installation);

// What is installed, by the names each format uses.
struct LinuxInstalls {
    // Desktop id -> the base name of its Exec program, for .desktop files that are
    // not a Flatpak's or a Snap's export (those are found by their own formats).
    QHash<QString, QString> desktopEntries;
    QSet<QString> flatpaks;             // ids with a deployed app/<id>/current
    QHash<QString, QString> snaps;      // name -> the revision "current" points at

    bool operator==(const LinuxInstalls&) const = default;
};

LinuxInstalls scanLinuxInstalls(const LinuxInstallRoots& roots);

} // namespace kivo
