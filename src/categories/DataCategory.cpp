#include "categories/DataCategory.h"

#include "platform/Json.h"

#include <QJsonArray>

namespace kivo {

namespace {

CategoryDetail detail(const char* label, const char* path = nullptr)
{
    CategoryDetail d{QString::fromUtf8(label), std::nullopt};
    if (path)
        d.path = QString::fromUtf8(path);
    return d;
}

DataCategory row(const char* id, const char* displayName, const char* description, const char* iconName,
                 QStringList paths, QList<CategoryDetail> details)
{
    DataCategory c;
    c.id = QString::fromUtf8(id);
    c.displayName = QString::fromUtf8(displayName);
    c.description = QString::fromUtf8(description);
    c.iconName = QString::fromUtf8(iconName);
    c.paths = std::move(paths);
    c.details = std::move(details);
    return c;
}

QList<DataCategory> buildTable()
{
    QList<DataCategory> table;
    table.append(row("userFiles", "User Files", "Documents, Desktop, Downloads, Pictures, Music, and Movies",
                     "folder.fill",
                     {QStringLiteral("~/Documents"), QStringLiteral("~/Desktop"), QStringLiteral("~/Downloads"),
                      QStringLiteral("~/Pictures"), QStringLiteral("~/Music"), QStringLiteral("~/Movies")},
                     {detail("Documents — files, spreadsheets, PDFs, and subfolders", "~/Documents"),
                      detail("Desktop — everything on your desktop", "~/Desktop"),
                      detail("Downloads — all downloaded files", "~/Downloads"),
                      detail("Pictures — photos, screenshots, and image files", "~/Pictures"),
                      detail("Music — audio files (not Apple Music library data)", "~/Music"),
                      detail("Movies — video files and projects", "~/Movies")}));
    table.append(row("applicationData", "Application Data & Preferences", "Settings and data for your installed apps",
                     "app.badge.fill",
                     {QStringLiteral("~/Library/Application Support"), QStringLiteral("~/Library/Preferences")},
                     {detail("App support files — databases, local data", "~/Library/Application Support"),
                      detail("App preferences — per-app settings", "~/Library/Preferences"),
                      detail("Apps not installed on the new Mac will be skipped")}));

    DataCategory keychain = row("keychain", "Keychain", "Saved passwords, certificates, and secure notes", "key.fill",
                                {QStringLiteral("~/Library/Keychains")},
                                {detail("Saved website and app passwords"), detail("Wi-Fi network passwords"),
                                 detail("Encryption keys and certificates"), detail("Secure notes stored in Keychain"),
                                 detail("iCloud Keychain items are NOT included — they sync automatically")});
    keychain.isSensitive = true;
    keychain.sensitivityWarning = QStringLiteral(
        "This will copy all saved passwords and credentials to the new Mac. Only include this if you trust the "
        "destination device and it has a strong login password.");
    table.append(keychain);

    table.append(row("systemSettings", "System Settings", "Dock, Finder, keyboard, and accessibility preferences",
                     "gearshape.fill",
                     {QStringLiteral("~/Library/Preferences/com.apple.dock.plist"),
                      QStringLiteral("~/Library/Preferences/com.apple.finder.plist"),
                      QStringLiteral("~/Library/Preferences/.GlobalPreferences.plist"),
                      QStringLiteral("~/Library/Preferences/com.apple.universalaccess.plist")},
                     {detail("Dock — size, position, pinned apps, auto-hide"),
                      detail("Finder — view settings, sidebar, default folders"),
                      detail("Global — language, region, appearance, accent colour"),
                      detail("Accessibility — display, motor, and input settings"),
                      detail("Keyboard shortcuts and input sources"),
                      detail("Security and MDM-managed settings are never included")}));
    table.append(row("browserData", "Browser Data", "Bookmarks, history, and extensions from your browsers", "globe",
                     {QStringLiteral("~/Library/Safari"), QStringLiteral("~/Library/Application Support/Google/Chrome"),
                      QStringLiteral("~/Library/Application Support/Firefox"),
                      QStringLiteral("~/Library/Application Support/Arc")},
                     {detail("Safari — bookmarks, history, Reading List, extensions", "~/Library/Safari"),
                      detail("Chrome — bookmarks, history, extensions, form data",
                             "~/Library/Application Support/Google/Chrome"),
                      detail("Firefox — bookmarks, history, extensions, saved logins",
                             "~/Library/Application Support/Firefox"),
                      detail("Arc — bookmarks, history, spaces, extensions", "~/Library/Application Support/Arc"),
                      detail("Browsers must be closed on both Macs before transfer")}));
    return table;
}

DataCategory buildEngineeringTools()
{
    return row("engineeringTools", "Developer Tools",
               "Shell configs, dotfiles, Homebrew, version managers, and development directories", "terminal", {},
               {detail("Shell configuration files (.zshrc, .bash_profile, etc.)"),
                detail("Dotfiles (.gitconfig, .ssh, .aws, etc.)"), detail("Homebrew — Brewfile for reinstallation"),
                detail("Version manager configs (nvm, rbenv, pyenv, etc.)"),
                detail("Development directories (if selected)")});
}

} // namespace

QJsonObject CategoryDetail::toJson() const
{
    QJsonObject o{{QStringLiteral("label"), label}};
    json::put(o, "path", path);
    return o;
}

CategoryDetail CategoryDetail::fromJson(const QJsonObject& o)
{
    return CategoryDetail{json::requireString(o, "label"), json::optionalString(o, "path")};
}

QJsonObject DataCategory::toJson() const
{
    QJsonArray detailArray;
    for (const CategoryDetail& d : details)
        detailArray.append(d.toJson());
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("displayName"), displayName},
                  {QStringLiteral("description"), description},
                  {QStringLiteral("iconName"), iconName},
                  {QStringLiteral("paths"), json::toArray(paths)},
                  {QStringLiteral("details"), detailArray},
                  {QStringLiteral("isSelected"), isSelected},
                  {QStringLiteral("estimatedSize"), static_cast<double>(estimatedSize)},
                  {QStringLiteral("isSensitive"), isSensitive}};
    json::put(o, "sensitivityWarning", sensitivityWarning);
    return o;
}

DataCategory DataCategory::fromJson(const QJsonObject& o)
{
    DataCategory c;
    c.id = json::requireString(o, "id");
    c.displayName = json::requireString(o, "displayName");
    c.description = json::requireString(o, "description");
    c.iconName = json::requireString(o, "iconName");
    c.paths = json::requireStringList(o, "paths");
    c.details = json::requireRecords<CategoryDetail>(o, "details");
    c.isSelected = json::requireBool(o, "isSelected");
    c.estimatedSize = json::requireUInt64(o, "estimatedSize");
    c.isSensitive = json::requireBool(o, "isSensitive");
    c.sensitivityWarning = json::optionalString(o, "sensitivityWarning");
    return c;
}

const QList<DataCategory>& DataCategory::allCategories()
{
    static const QList<DataCategory> table = buildTable();
    return table;
}

const DataCategory& DataCategory::engineeringTools()
{
    static const DataCategory category = buildEngineeringTools();
    return category;
}

std::optional<DataCategory> DataCategory::find(const QString& id)
{
    for (const DataCategory& c : allCategories())
        if (c.id == id)
            return c;
    if (engineeringTools().id == id)
        return engineeringTools();
    return std::nullopt;
}

QString DataCategory::displayNameFor(const QString& id)
{
    const auto category = find(id);
    return category ? category->displayName : id;
}

size_t qHash(const CategoryDetail& detail, size_t seed) noexcept
{
    return qHashMulti(seed, detail.label, detail.path.has_value(), detail.path.value_or(QString()));
}

size_t qHash(const DataCategory& c, size_t seed) noexcept
{
    size_t h = qHashMulti(seed, c.id, c.displayName, c.description, c.iconName, c.paths, c.isSelected,
                          quint64(c.estimatedSize), c.isSensitive, c.sensitivityWarning.has_value(),
                          c.sensitivityWarning.value_or(QString()));
    return qHashRange(c.details.cbegin(), c.details.cend(), h);
}

} // namespace kivo
