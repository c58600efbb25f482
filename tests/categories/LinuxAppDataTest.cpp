// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppData.h"
#include "categories/LinuxApplicationDataHandler.h"
#include "categories/TreeFixture.h"
#include "support/CoroTest.h"

#include <gmock/gmock.h>

using namespace kivo;
using namespace kivo::test;
using ::testing::Contains;
using ::testing::Not;

// A machine with a native GIMP, a Flatpak Inkscape, a Snap VLC and apps the
// table does not know, and a home with their data and much that is no app's.
class LinuxAppDataTest : public TreeFixture {
protected:
    void SetUp() override
    {
        TreeFixture::SetUp();
        const QString sys = outside();
        writeBytes(sys + "/usr/share/applications/gimp.desktop", "[Desktop Entry]\nName=GIMP\nExec=gimp-2.10 %U\n");
        writeBytes(sys + "/usr/share/applications/tools/foobar.desktop",
                   "[Desktop Action New]\nExec=other\n[Desktop Entry]\nExec=\"/opt/foo/foobar\" --x\n");
        writeBytes(sys + "/usr/share/applications/launcher.desktop", "[Desktop Entry]\nExec=env A=1 launcher\n");
        writeBytes(sys + "/flatpak/exports/share/applications/org.inkscape.Inkscape.desktop",
                   "[Desktop Entry]\nExec=flatpak run org.inkscape.Inkscape\n");
        QDir().mkpath(sys + "/flatpak/app/org.inkscape.Inkscape/current");
        QDir().mkpath(sys + "/flatpak/app/com.example.Tool/current");
        QDir().mkpath(sys + "/flatpak/app/org.half.Installed/x86_64"); // no deployment yet
        QDir().mkpath(sys + "/snap/vlc/123");
        ASSERT_TRUE(QFile::link("123", sys + "/snap/vlc/current"));
        roots.desktopFolders = {at(".local/share/applications"), sys + "/usr/share/applications",
                                sys + "/flatpak/exports/share/applications"};
        roots.flatpakInstallations = {sys + "/flatpak"};
        roots.snapRoot = sys + "/snap";

        for (const char* file :
             {".config/GIMP/2.10/gimprc", ".config/foobar/settings.ini", ".config/launcher/x",
              ".var/app/org.inkscape.Inkscape/config/inkscape/preferences.xml",
              ".var/app/org.inkscape.Inkscape/cache/fontconfig/x", ".var/app/com.example.Tool/data/t.db",
              ".var/app/org.old.Gone/config/x", "snap/vlc/123/.config/vlc/vlcrc", "snap/vlc/123/.cache/big",
              "snap/vlc/common/lib", "snap/vlc/100/old", ".local/share/keyrings/login.keyring",
              ".local/share/flatpak/repo/config", ".config/orphan/x", ".config/chromium/Default/Bookmarks",
              ".config/dconf/user", ".config/inkscape/old", "Documents/a.txt"})
            makeFile(QString::fromUtf8(file), 10);
    }

    LinuxInstallRoots roots;
};

TEST_F(LinuxAppDataTest, FindsEachInstalledAppsFoldersInItsFormatAndListsTheRestUnsent)
{
    const LinuxInstalls installs = scanLinuxInstalls(roots);
    EXPECT_EQ(installs.desktopEntries.value("gimp"), QStringLiteral("gimp-2.10"));
    EXPECT_EQ(installs.desktopEntries.value("tools-foobar"), QStringLiteral("foobar"));
    EXPECT_FALSE(installs.desktopEntries.contains("org.inkscape.Inkscape")); // an export is the Flatpak's
    EXPECT_EQ(installs.flatpaks, (QSet<QString>{"org.inkscape.Inkscape", "com.example.Tool"}));
    EXPECT_EQ(installs.snaps, (QHash<QString, QString>{{"vlc", "123"}}));

    const LinuxAppDataScan scan = scanLinuxAppData(home(), installs, LinuxAppCatalog::shipped());
    const QList<FoundApp> expected = {
        {"gimp", "GIMP", {"native"}, true, true, {"~/.config/GIMP"}},
        {"org.inkscape.Inkscape", "Inkscape", {"flatpak"}, true, true, {"~/.var/app/org.inkscape.Inkscape/config"}},
        {"vlc", "VLC", {"snap"}, true, true, {"~/snap/vlc/123/.config", "~/snap/vlc/common/lib"}},
        {"launcher", "launcher", {"native"}, true, false, {"~/.config/launcher"}},
        {"tools-foobar", "tools-foobar", {"native"}, true, false, {"~/.config/foobar"}},
        {"com.example.Tool", "com.example.Tool", {"flatpak"}, true, false, {"~/.var/app/com.example.Tool/data"}},
    };
    EXPECT_EQ(scan.apps, expected);
    EXPECT_EQ(scan.unclaimed,
              QStringList({"~/.config/inkscape", "~/.config/orphan", "~/.var/app/org.old.Gone"}));
}

TEST_F(LinuxAppDataTest, TheHandlerSendsNoCacheStoreKeyringOrBrowserFile)
{
    LinuxApplicationDataHandler handler(home(), roots, LinuxAppCatalog::shipped());
    const QStringList sent = relativePaths(runTask(handler.enumerateFiles({QStringLiteral("~/.config")})));
    EXPECT_EQ(sent.size(), 7) << sent.join(u' ').toStdString();
    EXPECT_THAT(sent, Contains(QStringLiteral("~/.var/app/org.inkscape.Inkscape/config/inkscape/preferences.xml")));
    EXPECT_THAT(sent, Contains(QStringLiteral("~/snap/vlc/123/.config/vlc/vlcrc")));
    for (const QString& path : sent)
        for (const char* never : {"cache", "keyrings", "flatpak", "chromium", "dconf", "orphan", "snap/vlc/100"})
            EXPECT_FALSE(path.contains(QLatin1String(never))) << path.toStdString();
    EXPECT_EQ(handler.lastScan().apps.size(), 6);

    // A destination without the app refuses its data unless it is kept for later.
    CategoryTransferHandler::Item gimp, unknown;
    gimp.relativePath = QStringLiteral("~/.config/GIMP/2.10/gimprc");
    unknown.relativePath = QStringLiteral("~/.config/whatever/x");
    const auto refused = LinuxApplicationDataHandler::refusals({gimp, unknown}, LinuxAppCatalog::shipped(), {});
    ASSERT_EQ(refused.size(), 1);
    EXPECT_EQ(refused.first().first, gimp.relativePath);
    handler.setKeepsPreferencesOfMissingApps(true);
    EXPECT_TRUE(runTask(handler.preflightDestination({gimp})).isEmpty());
}

TEST(LinuxAppStagingTest, DataOfAnAppNotInstalledWaitsUnderItsDesktopIdForAnyOfItsFormats)
{
    const LinuxAppCatalog& catalog = LinuxAppCatalog::shipped();
    LinuxInstalls none, nativeGimp, toolFlatpak, fooByProgram;
    nativeGimp.desktopEntries.insert("gimp", "gimp-2.10");
    toolFlatpak.flatpaks.insert("com.example.Tool");
    fooByProgram.desktopEntries.insert("org.example.Foo", "foobar");
    const StagingClass gimp{"gimp", "GIMP", {"gimp", "org.gimp.GIMP", "gimp_gimp"}};
    struct Case {
        const char* path;
        const LinuxInstalls* here;
        std::optional<StagingClass> expected;
    };
    const QList<Case> cases = {
        {"~/.config/GIMP/gimprc", &none, gimp},
        {"~/.var/app/org.gimp.GIMP/config/GIMP/gimprc", &none, gimp},
        {"~/.config/GIMP/gimprc", &nativeGimp, std::nullopt},
        {"~/.config/foobar/x", &none, StagingClass{"foobar", "foobar", {"foobar"}}},
        {"~/.config/foobar/x", &fooByProgram, std::nullopt},
        {"~/.config/foorc", &none, StagingClass{"foorc", "foorc", {"foorc"}}},
        {"~/.local/state/tool/log", &none, StagingClass{"tool", "tool", {"tool"}}},
        {"~/.var/app/com.example.Tool/data/t.db", &none,
         StagingClass{"com.example.Tool", "com.example.Tool", {"com.example.Tool"}}},
        {"~/.var/app/com.example.Tool/data/t.db", &toolFlatpak, std::nullopt},
        {"~/snap/thing/12/.config/x", &none, StagingClass{"thing", "thing", {"thing", "thing_thing"}}},
        {"~/.config/.hidden/x", &none, std::nullopt},
        {"~/Documents/a.txt", &none, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(stagingClassOf(QString::fromUtf8(c.path), catalog, *c.here), c.expected);
    }
}
