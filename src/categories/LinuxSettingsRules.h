// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace kivo::desktopSettings {

// Keys bound to this machine's hardware, screens or state rather than to the
// person, which never travel (the source leaves them out, the destination
// drops them if they arrive anyway):
// - remote desktop (its credentials, certificates and ports belong to the machine),
// - colour management (calibrations of these screens),
// - tablets and touchscreens (keyed by device),
// - every key ending in "-timestamp" (times of this machine's events),
// - window geometry and state (sizes, positions, maximized flags for these screens).
struct DeniedKeys {
    QStringList folders;     // a key under one of these, e.g. "/org/gnome/desktop/remote-desktop/"
    QStringList nameSuffixes; // a key whose name ends so, e.g. "-timestamp", "window-size"
    QStringList names;       // a key named exactly so, e.g. "maximized"
};
const DeniedKeys& deniedKeys();
// `key` is a full path: "/org/gnome/desktop/background/picture-uri".
bool isDenied(const QString& key);

// The keyfile text without the keys `leaveOut` is true for (full paths), nor
// keys outside any section; sections left empty are dropped. `dropped` gets
// the full paths left out.
QByteArray withoutKeys(const QByteArray& keyfile, const std::function<bool(const QString&)>& leaveOut,
                       QStringList* dropped = nullptr);
// withoutKeys of every denied key.
QByteArray withoutDeniedKeys(const QByteArray& keyfile, QStringList* dropped = nullptr);

// Received settings set against the destination's own (both keyfile texts):
// what to write, and the keys the destination has with another value, kept
// (left out of `keyfile`) or, when `overwrite`, replaced. Keys it has with
// the same value are left out: there is nothing to write.
struct SettingsMerge {
    QByteArray keyfile;
    QStringList kept, replaced;
};
SettingsMerge mergeSettings(const QByteArray& received, const QByteArray& present, bool overwrite);
// How many keys a keyfile text holds.
int keyCount(const QByteArray& keyfile);

// The program an autostart entry starts: its TryExec, else the first word of
// its Exec ("env" and variable assignments passed over); empty when neither.
QString autostartProgram(const QByteArray& desktopEntry);
// The entry, turned off: Hidden=true and X-GNOME-Autostart-enabled=false in
// its [Desktop Entry] group, other lines as they were.
QByteArray disabledAutostartEntry(const QByteArray& desktopEntry);

// The desktop's own files, as "~/" paths or patterns relative to the home:
// "dir/" is a whole folder, a name with '*' a pattern within its folder.
const QStringList& desktopFilePatterns();
// A desktop file a pattern takes that stays with this machine (its monitor layouts).
bool isMachineBoundFile(const QString& tildePath);

} // namespace kivo::desktopSettings
