// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/LinuxAppCatalog.h"
#include "platform/LinuxInstalls.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace kivo {

// An application whose data a Linux home holds.
struct FoundApp {
    QString id;           // its desktop id (a Flatpak's id, a Snap's name when it has no other)
    QString name;
    QStringList formats;  // installed formats here: "native", "flatpak", "snap"
    bool installed = false;
    bool fromTable = false; // known from the shipped table, else found by its folder names
    QStringList paths;    // "~/" files and folders that go with it

    bool operator==(const FoundApp&) const = default;
};

struct LinuxAppDataScan {
    QList<FoundApp> apps;
    // Folders no installed application owns: listed for the user, never sent.
    QStringList unclaimed;

    // Every path of every installed app, in order.
    QStringList sentPaths() const;
};

// Which application data of `homeFolder` goes, app by app: for each installed
// app its settings, data and state folders, its Flatpak sandbox and its Snap
// folders, never caches, the Flatpak store or the keyrings. An app the table
// does not know is matched by folders named as its desktop id or its program.
// Browsers' folders belong to the browsers' category and appear in neither list.
LinuxAppDataScan scanLinuxAppData(const QString& homeFolder, const LinuxInstalls& installs,
                                  const LinuxAppCatalog& catalog);

// True for what lies in the application data's folders but is no app's data to
// send: this program's own folders, the desktop's settings, the Flatpak store,
// the keyrings and the like, a Flatpak's cache, and a browser's folders (those
// are the browsers' category's). Pre-flight figures leave these out.
bool isOutsideAppData(const QString& tildePath);

// What this machine has of a table app: the formats installed and a Snap's revision.
struct InstalledFormats {
    bool native = false;
    bool flatpak = false;
    bool snap = false;
    QString snapRevision = QStringLiteral("current");

    bool has(AppFormat format) const;
    bool any() const { return native || flatpak || snap; }
};
InstalledFormats installedFormatsOf(const LinuxApp& app, const LinuxInstalls& installs);

// Every "~/" folder of a table app's data in this home, in whichever format's
// place it lies, caches left out; for an app that may not be installed here.
QStringList appDataFolders(const QString& homeFolder, const LinuxApp& app);

// Where a "~/" path of a table app's data lands on a machine with `installs`:
// in the folder of the format the app is installed in here (the arriving format
// when it is one of them, else native, Flatpak, Snap in that order). Paths of
// apps not installed here, and every other path, come back unchanged.
QString relocateAppDataPath(const QString& tildePath, const LinuxAppCatalog& catalog, const LinuxInstalls& installs);

// Whose data a received "~/" path is, for keeping it until the app is installed
// here: a table app by its desktop id, woken by any of its formats' ids; another
// app by its folder's name. Nothing for a path of an app installed here (it
// landed where that install reads it) or of no app at all.
struct StagingClass {
    QString key;
    QString name;
    QStringList triggers;

    bool operator==(const StagingClass&) const = default;
};
std::optional<StagingClass> stagingClassOf(const QString& tildePath, const LinuxAppCatalog& catalog,
                                           const LinuxInstalls& installs);

} // namespace kivo
