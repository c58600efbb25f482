// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeLayout.h"

#include "categories/LinuxSettingsHandler.h"
#include "categories/UserDirs.h"

#include <QFileInfo>

namespace kivo {

QString layoutName(HomeLayoutKind kind)
{
    return kind == HomeLayoutKind::Linux ? QStringLiteral("linux") : QStringLiteral("macos");
}

std::optional<HomeLayoutKind> parseLayoutName(const QString& name)
{
    if (name == QLatin1String("linux"))
        return HomeLayoutKind::Linux;
    if (name == QLatin1String("macos"))
        return HomeLayoutKind::MacOS;
    return std::nullopt;
}

HomeLayoutKind layoutOfManifestField(const std::optional<QString>& field)
{
    if (!field)
        return HomeLayoutKind::MacOS;
    return parseLayoutName(*field).value_or(HomeLayoutKind::MacOS);
}

HomeLayoutKind detectLayout(const QString& homeFolder)
{
    const bool hasLibraryPreferences = QFileInfo(homeFolder + QStringLiteral("/Library/Preferences")).isDir();
    const bool hasConfig = QFileInfo(homeFolder + QStringLiteral("/.config")).exists();
    return hasLibraryPreferences && !hasConfig ? HomeLayoutKind::MacOS : HomeLayoutKind::Linux;
}

std::optional<HomeLayoutKind> resolveLayout(const QString& choice, const QString& homeFolder)
{
    if (choice == QLatin1String("auto"))
        return detectLayout(homeFolder);
    return parseLayoutName(choice);
}

std::optional<DataCategory> HomeLayout::find(const QString& id) const
{
    for (const DataCategory& c : categories)
        if (c.id == id)
            return c;
    if (DataCategory::engineeringTools().id == id)
        return DataCategory::engineeringTools();
    return std::nullopt;
}

QList<DataCategory> HomeLayout::categoriesFor(const QString& homeFolder) const
{
    const UserDirs defaults = defaultUserDirs(kind);
    const UserDirs own = userDirsOf(homeFolder, kind);
    const auto renamed = [&](const QString& path) {
        for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
            if (it.value() == path)
                return own.value(it.key(), path);
        return path;
    };
    QList<DataCategory> out = categories;
    for (DataCategory& c : out) {
        // Counted as the handler sends it: its file names depend on the desktop.
        if (kind == HomeLayoutKind::Linux && c.id == QLatin1String("systemSettings"))
            c.paths = LinuxSettingsHandler::sentPaths(homeFolder);
        if (c.id != QLatin1String("userFiles"))
            continue;
        for (QString& path : c.paths)
            path = renamed(path);
        for (CategoryDetail& d : c.details)
            if (d.path)
                d.path = renamed(*d.path);
    }
    return out;
}

QStringList HomeLayout::defaultFolderNamesFor(const QString& homeFolder) const
{
    const UserDirs own = userDirsOf(homeFolder, kind);
    QStringList names;
    for (const QString& dirKind : userFileDirKinds()) {
        // A user folder nested deeper than the home's top level is not a scanned folder.
        const QString name = own.value(dirKind).mid(2);
        if (!name.isEmpty() && !name.contains(u'/') && !names.contains(name))
            names.append(name);
    }
    return names;
}

QString HomeLayout::displayNameFor(const QString& id) const
{
    const auto category = find(id);
    return category ? category->displayName : id;
}

} // namespace kivo
