// SPDX-License-Identifier: Apache-2.0
// The category rows of each home layout. A Linux home's texts say "computer"
// where a Mac's say "Mac", and name no Mac-only place or product.
#include "categories/HomeLayout.h"
#include "categories/LinuxAppData.h"
#include "categories/LinuxBrowsers.h"

namespace kivo {

namespace {

CategoryDetail detail(const char* label, const char* path = nullptr)
{
    CategoryDetail d{QString::fromUtf8(label), std::nullopt};
    if (path)
        d.path = QString::fromUtf8(path);
    return d;
}

QStringList pathsOf(std::initializer_list<const char*> paths)
{
    QStringList out;
    for (const char* p : paths)
        out.append(QString::fromUtf8(p));
    return out;
}

DataCategory row(const char* id, const char* displayName, const char* description, const char* iconName,
                 QStringList paths, QList<CategoryDetail> details, const char* sensitivityWarning = nullptr)
{
    DataCategory c;
    c.id = QString::fromUtf8(id);
    c.displayName = QString::fromUtf8(displayName);
    c.description = QString::fromUtf8(description);
    c.iconName = QString::fromUtf8(iconName);
    c.paths = std::move(paths);
    c.details = std::move(details);
    if (sensitivityWarning) {
        c.isSensitive = true;
        c.sensitivityWarning = QString::fromUtf8(sensitivityWarning);
    }
    return c;
}

// Every place a browser keeps its profiles, whichever way it is installed: what the browsers' category sends.
QStringList browserProfileRoots()
{
    QStringList out;
    for (const linuxBrowsers::Browser& browser : linuxBrowsers::browsers())
        for (const linuxBrowsers::Location& location : browser.locations)
            out.append(location.path);
    return out;
}

QList<DataCategory> macCategories()
{
    return {
        row("userFiles", "User Files", "Documents, Desktop, Downloads, Pictures, Music, and Movies", "folder.fill",
            pathsOf({"~/Documents", "~/Desktop", "~/Downloads", "~/Pictures", "~/Music", "~/Movies"}),
            {detail("Documents — files, spreadsheets, PDFs, and subfolders", "~/Documents"),
             detail("Desktop — everything on your desktop", "~/Desktop"),
             detail("Downloads — all downloaded files", "~/Downloads"),
             detail("Pictures — photos, screenshots, and image files", "~/Pictures"),
             detail("Music — audio files (not Apple Music library data)", "~/Music"),
             detail("Movies — video files and projects", "~/Movies")}),
        row("applicationData", "Application Data & Preferences", "Settings and data for your installed apps",
            "app.badge.fill", pathsOf({"~/Library/Application Support", "~/Library/Preferences"}),
            {detail("App support files — databases, local data", "~/Library/Application Support"),
             detail("App preferences — per-app settings", "~/Library/Preferences"),
             detail("Apps not installed on the new Mac will be skipped")}),
        row("keychain", "Keychain", "Saved passwords, certificates, and secure notes", "key.fill",
            pathsOf({"~/Library/Keychains"}),
            {detail("Saved website and app passwords"), detail("Wi-Fi network passwords"),
             detail("Encryption keys and certificates"), detail("Secure notes stored in Keychain"),
             detail("iCloud Keychain items are NOT included — they sync automatically")},
            "This will copy all saved passwords and credentials to the new Mac. Only include this if you trust the "
            "destination device and it has a strong login password."),
        row("systemSettings", "System Settings", "Dock, Finder, keyboard, and accessibility preferences",
            "gearshape.fill",
            pathsOf({"~/Library/Preferences/com.apple.dock.plist", "~/Library/Preferences/com.apple.finder.plist",
                     "~/Library/Preferences/.GlobalPreferences.plist",
                     "~/Library/Preferences/com.apple.universalaccess.plist"}),
            {detail("Dock — size, position, pinned apps, auto-hide"),
             detail("Finder — view settings, sidebar, default folders"),
             detail("Global — language, region, appearance, accent colour"),
             detail("Accessibility — display, motor, and input settings"), detail("Keyboard shortcuts and input sources"),
             detail("Security and MDM-managed settings are never included")}),
        row("browserData", "Browser Data", "Bookmarks, history, and extensions from your browsers", "globe",
            pathsOf({"~/Library/Safari", "~/Library/Application Support/Google/Chrome",
                     "~/Library/Application Support/Firefox", "~/Library/Application Support/Arc"}),
            {detail("Safari — bookmarks, history, Reading List, extensions", "~/Library/Safari"),
             detail("Chrome — bookmarks, history, extensions, form data", "~/Library/Application Support/Google/Chrome"),
             detail("Firefox — bookmarks, history, extensions, saved logins", "~/Library/Application Support/Firefox"),
             detail("Arc — bookmarks, history, spaces, extensions", "~/Library/Application Support/Arc"),
             detail("Browsers must be closed on both Macs before transfer")}),
    };
}

// userFiles lists the English folder names; a home's own user-dirs.dirs
// renames them when the categories are made for that home.
QList<DataCategory> linuxCategories()
{
    return {
        row("userFiles", "User Files", "Documents, Desktop, Downloads, Pictures, Music, and Videos", "folder.fill",
            pathsOf({"~/Documents", "~/Desktop", "~/Downloads", "~/Pictures", "~/Music", "~/Videos"}),
            {detail("Documents — files, spreadsheets, PDFs, and subfolders", "~/Documents"),
             detail("Desktop — everything on your desktop", "~/Desktop"),
             detail("Downloads — all downloaded files", "~/Downloads"),
             detail("Pictures — photos, screenshots, and image files", "~/Pictures"),
             detail("Music — audio files and playlists", "~/Music"),
             detail("Videos — video files and projects", "~/Videos"),
             detail("Each folder lands in the new computer's folder of the same kind, whatever its language")}),
        row("applicationData", "Application Data & Preferences", "Settings and data for your installed apps",
            "app.badge.fill", pathsOf({"~/.config", "~/.local/share", "~/.local/state", "~/.var/app", "~/snap"}),
            {detail("App settings — per-app configuration", "~/.config"),
             detail("App data — databases, local data", "~/.local/share"),
             detail("Flatpak apps — settings and data of each Flatpak", "~/.var/app"),
             detail("Snap apps — settings and data of each Snap", "~/snap"),
             detail("Caches are left behind; folders no installed app owns are listed, not sent"),
             detail("Apps not installed on the new computer get their data once they are installed")}),
        row("keychain", "Passwords and Keys", "Saved passwords, keys, and secrets from your keyring", "key.fill", {},
            {detail("Saved website and app passwords"), detail("Account and network passwords apps keep"),
             detail("Secrets stored through the desktop's Secret Service"),
             detail("Keyring files are never copied — items are added to the new computer's keyring")},
            "This will copy all saved passwords and credentials to the new computer. Only include this if you trust "
            "the destination device and it has a strong login password."),
        row("systemSettings", "System Settings", "Desktop, keyboard shortcuts, default apps, fonts, and themes",
            "gearshape.fill",
            pathsOf({"~/.config/dconf/user", "~/.config/mimeapps.list", "~/.config/autostart",
                     "~/.config/gtk-3.0/bookmarks", "~/.local/share/fonts", "~/.themes", "~/.icons"}),
            {detail("Desktop — wallpaper, panels, workspaces, appearance", "~/.config/dconf/user"),
             detail("Keyboard shortcuts and input sources"),
             detail("Default apps and apps that start at login", "~/.config/mimeapps.list"),
             detail("Fonts, themes, and icons", "~/.local/share/fonts"),
             detail("Accessibility — display, motor, and input settings"),
             detail("Settings bound to this machine (displays, tablets, remote desktop) are never included")}),
        row("browserData", "Browser Data", "Bookmarks, history, and extensions from your browsers", "globe",
            browserProfileRoots(),
            {detail("Firefox — bookmarks, history, extensions, saved logins", "~/.mozilla/firefox"),
             detail("Chromium — bookmarks, history, extensions, form data", "~/.config/chromium"),
             detail("Chrome — bookmarks, history, extensions, form data", "~/.config/google-chrome"),
             detail("Brave — bookmarks, history, extensions, form data", "~/.config/BraveSoftware/Brave-Browser"),
             detail("Edge — bookmarks, history, extensions, form data", "~/.config/microsoft-edge"),
             detail("Vivaldi — bookmarks, history, extensions, form data", "~/.config/vivaldi"),
             detail("Browsers must be closed on both computers before transfer")}),
    };
}

QStringList namesOf(std::initializer_list<const char*> names) { return pathsOf(names); }

} // namespace

const DataCategory& DataCategory::engineeringTools()
{
    static const DataCategory category =
        row("engineeringTools", "Developer Tools",
            "Shell configs, dotfiles, Homebrew, version managers, and development directories", "terminal", {},
            {detail("Shell configuration files (.zshrc, .bash_profile, etc.)"),
             detail("Dotfiles (.gitconfig, .ssh, .aws, etc.)"), detail("Homebrew — Brewfile for reinstallation"),
             detail("Version manager configs (nvm, rbenv, pyenv, etc.)"), detail("Development directories (if selected)")});
    return category;
}

const HomeLayout& HomeLayout::of(HomeLayoutKind kind)
{
    // Dot-names are never offered in either layout; these are the rest.
    static const HomeLayout macHome{HomeLayoutKind::MacOS, macCategories(),
                                namesOf({"Documents", "Desktop", "Downloads", "Pictures", "Music", "Movies"}),
                                namesOf({"Library", "Applications", "Public", ".Trash", ".local", ".cache", ".config",
                                         ".nvm", ".pyenv", ".rbenv", ".asdf", ".volta", ".cargo", ".docker", ".ssh",
                                         ".aws", ".kube", ".npm", ".gem"})};
    static const HomeLayout linuxHome{HomeLayoutKind::Linux, linuxCategories(),
                                  namesOf({"Documents", "Desktop", "Downloads", "Pictures", "Music", "Videos"}),
                                  namesOf({"Public", "snap", ".local", ".cache", ".config",
                                           ".var", ".mozilla", ".nvm", ".pyenv", ".rbenv", ".asdf", ".volta", ".cargo",
                                           ".docker", ".ssh", ".aws", ".kube", ".npm", ".gem"}),
                                  [](const QString& categoryID, const QString& tildePath) {
                                      if (categoryID == QLatin1String("applicationData"))
                                          return isOutsideAppData(tildePath);
                                      return categoryID == QLatin1String("browserData")
                                          && linuxBrowsers::isDisposable(tildePath);
                                  }};
    return kind == HomeLayoutKind::Linux ? linuxHome : macHome;
}

} // namespace kivo
