#include "categories/HomeLayout.h"

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

} // namespace kivo
