// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/DataCategory.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include <optional>

namespace kivo {

// How a home folder keeps its settings and application data: the XDG folders
// of a Linux desktop, or the ~/Library tree of a Mac.
enum class HomeLayoutKind { Linux, MacOS };

// "linux" or "macos": the manifest's `layout` field and the --layout values.
QString layoutName(HomeLayoutKind kind);
// The kind a name stands for; nothing for any other text ("auto" included).
std::optional<HomeLayoutKind> parseLayoutName(const QString& name);
// A manifest without a `layout` came from a Mac-shaped home.
HomeLayoutKind layoutOfManifestField(const std::optional<QString>& field);
// "auto": a Mac-shaped home has Library/Preferences and no .config; every other home is Linux.
HomeLayoutKind detectLayout(const QString& homeFolder);
// "auto" detects; "linux" and "macos" force; nothing for a value that is none of these.
std::optional<HomeLayoutKind> resolveLayout(const QString& choice, const QString& homeFolder);

// Everything that differs between the layouts, as data: the selectable
// categories with their texts and locations, and what the home-folder scan
// offers. Code asks the table instead of testing the kind.
struct HomeLayout {
    HomeLayoutKind kind;
    // The five selectable categories, in display order, unselected and unsized.
    QList<DataCategory> categories;
    // Home sub-folders preselected for "userFiles" by default.
    QStringList defaultFolderNames;
    // Home entries never offered as user folders.
    QStringList excludedNames;
    // What a category's folders hold that its handler never sends (a Linux
    // browser's caches and locks; in the application data's folders, the
    // browsers' folders and this program's own), so that estimates count what
    // travels, and each file in one category only.
    std::function<bool(const QString& categoryID, const QString& tildePath)> neverSent;

    static const HomeLayout& of(HomeLayoutKind kind);
    // The categories as this home has them: userFiles names the home's own
    // user folders (its user-dirs.dirs) where they differ from the defaults.
    QList<DataCategory> categoriesFor(const QString& homeFolder) const;
    // The home's own user folders that the scan preselects (top-level ones only).
    QStringList defaultFolderNamesFor(const QString& homeFolder) const;
    std::optional<DataCategory> find(const QString& id) const;
    // The display name for any category id (developer tools included); the id itself when unknown.
    QString displayNameFor(const QString& id) const;
};

} // namespace kivo
