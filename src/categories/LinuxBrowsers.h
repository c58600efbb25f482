// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace kivo::linuxBrowsers {

// How a browser is installed: the distribution's package (or a vendor's),
// a flatpak, a snap. Each keeps its profiles in a folder of its own.
enum class Format { native, flatpak, snap };

struct Location {
    Format format;
    QString path;     // "~/" path of the profiles' root
    QString packageId; // the flatpak id or snap name; empty for native
};

struct Browser {
    QString name;             // shown to the user
    QStringList processNames; // running programs, compared exactly
    QStringList commands;     // native launchers looked for on PATH
    QString secretApplication; // `application` of its Safe Storage secret; empty for none
    QList<Location> locations;
    bool profilesIni = false; // its profiles.ini names the installs that use each profile
};

// Firefox, Chromium, Google Chrome, Brave, Microsoft Edge, Vivaldi.
const QList<Browser>& browsers();
// The browser and location a "~/" path lies in (the location's root included).
struct Found {
    const Browser* browser = nullptr;
    const Location* location = nullptr;
};
Found locate(const QString& relativePath);

// True for what a browser rebuilds on its own and never travels: caches of
// every kind, and the lock files of a running profile.
bool isDisposable(const QString& relativePath);

// Where a path arriving under one format's folder belongs when that format is
// not installed here but another is; nothing when it stays where it is.
std::optional<QString> relocatedPath(const QString& relativePath,
                                     const std::function<bool(const Browser&, Format)>& isInstalled);

// Where this machine keeps installed flatpaks and snaps (relocatable for tests).
struct InstallRoots {
    QStringList flatpakInstallations = {QStringLiteral("/var/lib/flatpak")};
    QString snaps = QStringLiteral("/snap");
};
// Whether the browser is installed here in that format: a launcher on PATH,
// a flatpak in a system installation or the home's own, a snap.
bool isInstalled(const Browser& browser, Format format, const QString& homeFolder, const InstallRoots& roots = {});

// profiles.ini with the installs' sections taken out, so that the browser
// installed here adopts the profiles instead of making a new one; the
// profile the first install used becomes the default.
QByteArray withoutInstallSections(const QByteArray& profilesIni);
// True for the files that hold only the installs' sections.
bool isInstallsFile(const QString& relativePath);
bool isProfilesFile(const QString& relativePath);

} // namespace kivo::linuxBrowsers
