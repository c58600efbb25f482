// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeLayout.h"
#include "categories/LinuxSettingsHandler.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

using namespace kivo;

TEST(HomeLayoutTest, AutoTakesMacOnlyForALibraryWithoutConfigAndNamesRoundTrip)
{
    struct Case {
        QStringList folders;
        HomeLayoutKind expected;
    };
    const QList<Case> cases = {
        {{}, HomeLayoutKind::Linux},
        {{"Library/Preferences"}, HomeLayoutKind::MacOS},
        {{"Library/Preferences", ".config"}, HomeLayoutKind::Linux},
        {{"Library"}, HomeLayoutKind::Linux},
        {{".config", "Documents"}, HomeLayoutKind::Linux},
    };
    for (const Case& c : cases) {
        QTemporaryDir home;
        for (const QString& folder : c.folders)
            ASSERT_TRUE(QDir(home.path()).mkpath(folder));
        SCOPED_TRACE(c.folders.join(',').toStdString());
        EXPECT_EQ(detectLayout(home.path()), c.expected);
        EXPECT_EQ(resolveLayout(QStringLiteral("auto"), home.path()), c.expected);
    }
    // Named: as named, whatever the home holds; an absent manifest field is a Mac's.
    for (HomeLayoutKind kind : {HomeLayoutKind::Linux, HomeLayoutKind::MacOS}) {
        EXPECT_EQ(parseLayoutName(layoutName(kind)), kind);
        EXPECT_EQ(resolveLayout(layoutName(kind), QStringLiteral("/nonexistent")), kind);
    }
    EXPECT_EQ(parseLayoutName(QStringLiteral("Linux")), std::nullopt);
    EXPECT_EQ(resolveLayout(QStringLiteral("windows"), QStringLiteral("/")), std::nullopt);
    EXPECT_EQ(layoutOfManifestField(std::nullopt), HomeLayoutKind::MacOS);
    EXPECT_EQ(layoutOfManifestField(QStringLiteral("linux")), HomeLayoutKind::Linux);
}

namespace {

// Every text and location of a row, as one list.
QStringList textsOf(const DataCategory& c)
{
    QStringList out{c.displayName, c.description, c.iconName, c.sensitivityWarning.value_or(QString())};
    out += c.paths;
    for (const CategoryDetail& d : c.details)
        out << d.label << d.path.value_or(QString());
    return out;
}

} // namespace

TEST(HomeLayoutTest, LinuxRowsNameNoMacOnlyPlaceOrProductAndTheMacTableStaysAsItWas)
{
    const HomeLayout& linuxTable = HomeLayout::of(HomeLayoutKind::Linux);
    const HomeLayout& mac = HomeLayout::of(HomeLayoutKind::MacOS);
    ASSERT_EQ(linuxTable.categories.size(), mac.categories.size());
    for (qsizetype i = 0; i < mac.categories.size(); ++i) {
        EXPECT_EQ(linuxTable.categories[i].id, mac.categories[i].id);
        EXPECT_EQ(linuxTable.categories[i].isSensitive, mac.categories[i].isSensitive);
        for (const QString& text : textsOf(linuxTable.categories[i]))
            for (const char* macOnly : {"Mac", "Safari", "Keychain", "com.apple", "Library", "iCloud", "Finder",
                                        "Dock", "Arc", "Movies", "Application Support"})
                EXPECT_FALSE(text.contains(QLatin1String(macOnly))) << text.toStdString() << " names " << macOnly;
    }

    // The Mac-shaped table is what the old entry points give.
    EXPECT_EQ(DataCategory::allCategories(), mac.categories);
    EXPECT_EQ(DataCategory::allCategories(HomeLayoutKind::Linux), linuxTable.categories);
    EXPECT_EQ(mac.find(QStringLiteral("userFiles"))->paths.last(), QStringLiteral("~/Movies"));
    EXPECT_EQ(mac.displayNameFor(QStringLiteral("engineeringTools")), QStringLiteral("Developer Tools"));
    EXPECT_EQ(linuxTable.displayNameFor(QStringLiteral("nothing")), QStringLiteral("nothing"));
}

TEST(HomeLayoutTest, AHomesOwnUserFoldersReplaceTheDefaultsInItsRowsAndScan)
{
    QTemporaryDir home;
    test::writeBytes(home.filePath(QStringLiteral(".config/user-dirs.dirs")),
                     "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\nXDG_VIDEOS_DIR=\"$HOME/Medien/Videos\"\n");

    const HomeLayout& linuxTable = HomeLayout::of(HomeLayoutKind::Linux);
    const DataCategory userFiles = linuxTable.categoriesFor(home.path()).first();
    EXPECT_EQ(userFiles.paths, QStringList({"~/Dokumente", "~/Desktop", "~/Downloads", "~/Pictures", "~/Music",
                                            "~/Medien/Videos"}));
    EXPECT_EQ(userFiles.details.first().path, QStringLiteral("~/Dokumente"));
    // A folder below the top level is no scanned folder of its own.
    EXPECT_EQ(linuxTable.defaultFolderNamesFor(home.path()),
              QStringList({"Dokumente", "Desktop", "Downloads", "Pictures", "Music"}));
    // The desktop's settings are counted as they are sent, whatever the desktop names its files.
    test::writeBytes(home.filePath(QStringLiteral(".config/kxkbrc")), "[Layout]\n");
    test::writeBytes(home.filePath(QStringLiteral(".config/gtk-3.0/settings.ini")), "[Settings]\n");
    const QList<DataCategory> rows = linuxTable.categoriesFor(home.path());
    const QStringList settings = std::ranges::find(rows, QStringLiteral("systemSettings"), &DataCategory::id)->paths;
    EXPECT_EQ(settings, LinuxSettingsHandler::sentPaths(home.path()));
    EXPECT_TRUE(settings.contains(QStringLiteral("~/.config/kxkbrc")));
    EXPECT_TRUE(settings.contains(QStringLiteral("~/.config/gtk-3.0/settings.ini")));
    // A Mac-shaped home's rows ignore the file.
    EXPECT_EQ(HomeLayout::of(HomeLayoutKind::MacOS).categoriesFor(home.path()),
              HomeLayout::of(HomeLayoutKind::MacOS).categories);
}

// Which categories' estimates count a file of a Linux home: those whose folders
// hold it and that do not leave it out. One at most, and the one that sends it.
TEST(HomeLayoutTest, EachLinuxFileIsCountedByTheOneCategoryThatSendsIt)
{
    const HomeLayout& layout = HomeLayout::of(HomeLayoutKind::Linux);
    const auto countedBy = [&](const QString& path) {
        QStringList ids;
        for (const DataCategory& c : layout.categories)
            for (const QString& root : c.paths)
                if ((path == root || path.startsWith(root + u'/')) && !layout.neverSent(c.id, path)) {
                    ids << c.id;
                    break;
                }
        return ids;
    };
    const QStringList browser{"browserData"}, apps{"applicationData"}, settings{"systemSettings"}, none;
    const QList<std::pair<const char*, QStringList>> cases = {
        {"~/.config/chromium/Default/History", browser},
        {"~/.config/google-chrome/Default/Bookmarks", browser},
        {"~/.config/BraveSoftware/Brave-Browser/Default/History", browser},
        {"~/.config/BraveSoftware/crashpad/settings.dat", none}, // the vendor folder: no app's either
        {"~/.config/microsoft-edge/Default/History", browser},
        {"~/.config/vivaldi/Default/History", browser},
        {"~/.mozilla/firefox/abc.default/places.sqlite", browser},
        {"~/.var/app/org.mozilla.firefox/.mozilla/firefox/abc.default/places.sqlite", browser},
        {"~/.var/app/org.mozilla.firefox/config/pulse/cookie", none},
        {"~/snap/chromium/common/chromium/Default/History", browser},
        {"~/.config/chromium/Default/Cache/Cache_Data/data_0", none},
        {"~/.config/Code/User/settings.json", apps},
        {"~/.local/share/gnome-maps/places.json", apps},
        {"~/.var/app/org.gimp.GIMP/config/GIMP/gimprc", apps},
        {"~/.var/app/org.gimp.GIMP/cache/fontconfig/x", none},
        {"~/.local/share/kivo/outgoing-devtools/1/reinstall.json", none},
        {"~/.local/state/kivo/log.json", none},
        {"~/.config/kivo/settings.json", none},
        {"~/.local/share/flatpak/repo/config", none},
        {"~/.local/share/keyrings/login.keyring", none},
        {"~/.config/dconf/user", settings},
        {"~/.local/share/fonts/Inter.ttf", settings},
        {"~/.config/autostart/app.desktop", settings},
        // Sent by the settings as files of their own (not a root here), never as an application's.
        {"~/.config/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml", none},
        {"~/.config/lxqt/session.conf", none},
        {"~/.config/openbox/menu.xml", none},
        {"~/Documents/a.txt", {"userFiles"}},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(countedBy(QString::fromUtf8(path)), expected) << path;
}
