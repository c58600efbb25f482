// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace kivo {

// An application installed on this machine: a bundle (`Name.app`) or a desktop entry.
struct InstalledApplication {
    QString bundleID;       // CFBundleIdentifier, or the desktop file ID less ".desktop"
    QString name;           // CFBundleName / the entry's Name, else the file's base name
    QString version;        // CFBundleShortVersionString, when given
    QString path;           // the bundle folder or the .desktop file
    QString executablePath; // the bundle's Contents/MacOS/<CFBundleExecutable>, when present
    bool isDesktopEntry = false;
};

// Where applications are looked for. Relocatable so tests never depend on the machine.
struct ApplicationFolders {
    QStringList bundleFolders;  // each searched for *.app, one level deep
    QStringList desktopFolders; // XDG "applications" folders, searched recursively
};

// The folders a home sees: $KIVO_APPLICATIONS_DIR (else /Applications) and
// <home>/Applications for bundles; <home>/.local/share/applications and each
// $XDG_DATA_DIRS/applications (else /usr/local/share and /usr/share) and the
// Flatpak installations' exports (LinuxInstalls.h) for entries.
ApplicationFolders applicationFoldersFor(const QString& homeFolder);

// Every application found, bundles first; a bundle without a readable
// identifier is left out. The first of two with one identifier wins.
QList<InstalledApplication> installedApplications(const ApplicationFolders& folders);

// The desktop file ID of `file` below `applicationsFolder` ("a/b.desktop" -> "a-b").
QString desktopFileId(const QString& applicationsFolder, const QString& file);

} // namespace kivo
