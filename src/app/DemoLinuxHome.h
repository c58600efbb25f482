// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace kivo {

// The rest of a Linux-shaped sample home beside its user folders: the XDG
// folder names, a settings database, a Chromium profile whose saved password
// and cookie are encrypted with a Safe Storage secret, and an application's
// data; plus the two machines around the homes (how the application is
// installed on each). The constants are what a demonstration proves arrived.
class DemoLinuxHome {
public:
    // The wallpaper setting names a file of the home, so it must follow the home.
    static constexpr char kWallpaperKey[] = "/org/gnome/desktop/background/picture-uri";
    static constexpr char kWallpaperFile[] = "Pictures/Wallpapers/Lake Zürich.jpg";
    static constexpr char kThemeKey[] = "/org/gnome/desktop/interface/gtk-theme";
    static constexpr char kThemeValue[] = "'Adwaita-dark'";
    // Bound to the old machine: it must stay behind.
    static constexpr char kDeniedKey[] = "/org/gnome/desktop/remote-desktop/rdp/enable";
    static constexpr int kSettingsKeys = 7; // keys that travel, the denied one not counted

    static constexpr char kBrowserApplication[] = "chromium";
    static constexpr char kLoginData[] = ".config/chromium/Default/Login Data";
    static constexpr char kCookies[] = ".config/chromium/Default/Network/Cookies";
    static constexpr char kSavedPassword[] = "correct-horse-battery-staple";
    static constexpr char kCookieValue[] = "session-7f3a9c";

    // A password of the account's keyring, beside the browser's secret.
    static constexpr char kMailServer[] = "mail.example.org";
    static constexpr char kMailUser[] = "ann";
    static constexpr char kMailPassword[] = "imap-pa55word";

    static constexpr char kAppName[] = "GIMP";
    static constexpr char kAppFlatpak[] = "org.gimp.GIMP";
    // Where GIMP's settings live in a package install, and where its Flatpak reads them.
    static constexpr char kAppFile[] = ".config/GIMP/2.10/gimprc";
    static constexpr char kAppFileInFlatpak[] = ".var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc";

    // The secret Chromium would have generated for this sample, the same for a seed.
    static QByteArray safeStorageSecret(quint32 seed);

    // The settings database's contents as keyfile text, paths naming `homeFolder`.
    static QByteArray settingsKeyfile(const QString& homeFolder);
    // `file://` URI of a file of a home, percent-encoded as the desktop writes it.
    static QString fileUri(const QString& homeFolder, const QString& relativePath);

    // Writes the Linux parts into `folder`, values naming `finalHome` (where the
    // folder will end up). Needs the dconf tool. Throws SystemError.
    static void write(const QString& folder, const QString& finalHome, quint32 seed);

    // The source machine: GIMP from the distribution's package, its launcher in
    // `dataDir`/applications (a folder of XDG_DATA_DIRS).
    static void installPackage(const QString& dataDir);
    // The destination: GIMP as the account's own Flatpak, inside `homeFolder`.
    static void installFlatpak(const QString& homeFolder);

    // Every value of a column of a database file, in row order. Throws SystemError.
    static QList<QByteArray> readColumn(const QString& database, const char* table, const char* column);
};

} // namespace kivo
