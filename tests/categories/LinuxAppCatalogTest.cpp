// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppData.h"
#include "platform/Error.h"

#include <QSet>
#include <gtest/gtest.h>

using namespace kivo;

TEST(LinuxAppCatalogTest, TheShippedTableKnowsCommonAppsByEveryNameOnce)
{
    const LinuxAppCatalog& catalog = LinuxAppCatalog::shipped();
    int apps = 0;
    QSet<QString> ids;
    for (const LinuxApp& app : catalog.apps()) {
        apps += app.browser ? 0 : 1;
        const QStringList names = app.desktopIds + QStringList{app.flatpakId, app.snapName};
        QSet<QString> own(names.cbegin(), names.cend());
        own.remove(QString());
        for (const QString& id : std::as_const(own))
            EXPECT_FALSE(ids.contains(id)) << id.toStdString() << " names two apps";
        ids.unite(own);
        EXPECT_FALSE(app.paths.isEmpty()) << app.name.toStdString();
    }
    EXPECT_GE(apps, 40);
    for (const char* name : {"gimp", "org.mozilla.Thunderbird", "org.kde.krita", "code", "org.keepassxc.KeePassXC",
                             "com.valvesoftware.Steam", "signal-desktop", "firefox-esr", "chromium"})
        EXPECT_NE(catalog.byAnyId(QString::fromUtf8(name)), nullptr) << name;
    EXPECT_EQ(catalog.byFlatpakId(QStringLiteral("org.gimp.GIMP")), catalog.byDesktopId(QStringLiteral("gimp")));
    EXPECT_EQ(catalog.bySnapName(QStringLiteral("firefox"))->name, QStringLiteral("Firefox"));
    EXPECT_TRUE(catalog.bySnapName(QStringLiteral("firefox"))->browser);
    EXPECT_EQ(catalog.byAnyId(QStringLiteral("no.such.App")), nullptr);
    EXPECT_EQ(catalog.byFlatpakId(QString()), nullptr);
}

TEST(LinuxAppCatalogTest, ATableThatNamesPlacesOutsideTheHomeIsRefused)
{
    for (const char* paths : {R"(["../etc"])", R"(["/etc/passwd"])", R"([".config//x"])", R"([".config/./x"])"}) {
        const QByteArray text = QByteArray(R"({"applications":[{"name":"X","desktopIds":["x"],"paths":)") + paths + "}]}";
        EXPECT_THROW(LinuxAppCatalog::fromJson(text), DecodingError) << paths;
    }
    EXPECT_THROW(LinuxAppCatalog::fromJson(R"({"applications":[{"name":"X","desktopIds":[],"paths":["a"]}]})"),
                 DecodingError);
    EXPECT_THROW(LinuxAppCatalog::fromJson(
                     R"({"applications":[{"name":"X","desktopIds":["x"],"snapBase":"../..","paths":["a"]}]})"),
                 DecodingError);
    EXPECT_THROW(LinuxAppCatalog::fromJson("[]"), DecodingError);
    EXPECT_EQ(LinuxAppCatalog::fromJson(R"({"applications":[{"name":"X","desktopIds":["x"],"paths":["a/b"]}]})")
                  .apps()
                  .size(),
              1);
}

// Where each format keeps a path, and back: every landing place must be found again.
TEST(LinuxAppCatalogTest, DataMovesBetweenFormatsToWhereTheInstalledOneReadsIt)
{
    const LinuxAppCatalog& catalog = LinuxAppCatalog::shipped();
    LinuxInstalls nativeGimp, flatpakGimp, snapGimp, allGimp, none;
    nativeGimp.desktopEntries.insert(QStringLiteral("gimp"), QStringLiteral("gimp-2.10"));
    flatpakGimp.flatpaks.insert(QStringLiteral("org.gimp.GIMP"));
    snapGimp.snaps.insert(QStringLiteral("gimp"), QStringLiteral("412"));
    allGimp = nativeGimp;
    allGimp.flatpaks = flatpakGimp.flatpaks;
    allGimp.snaps = snapGimp.snaps;
    LinuxInstalls flatpakThunderbird, snapChromium, flatpakFirefox;
    flatpakThunderbird.flatpaks.insert(QStringLiteral("org.mozilla.Thunderbird"));
    snapChromium.snaps.insert(QStringLiteral("chromium"), QStringLiteral("2890"));
    flatpakFirefox.flatpaks.insert(QStringLiteral("org.mozilla.firefox"));
    struct Case {
        const char* path;
        const LinuxInstalls* here;
        const char* expected;
    };
    const QList<Case> cases = {
        {"~/.config/GIMP/2.10/gimprc", &flatpakGimp, "~/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc"},
        {"~/.config/GIMP/2.10/gimprc", &snapGimp, "~/snap/gimp/412/.config/GIMP/2.10/gimprc"},
        {"~/.config/GIMP/2.10/gimprc", &nativeGimp, "~/.config/GIMP/2.10/gimprc"},
        {"~/.config/GIMP/2.10/gimprc", &allGimp, "~/.config/GIMP/2.10/gimprc"}, // the arriving format is here
        {"~/.config/GIMP/2.10/gimprc", &none, "~/.config/GIMP/2.10/gimprc"},    // kept for later as it is
        {"~/.var/app/org.gimp.GIMP/config/GIMP/gimprc", &nativeGimp, "~/.config/GIMP/gimprc"},
        {"~/.var/app/org.gimp.GIMP/config/GIMP/gimprc", &allGimp, "~/.var/app/org.gimp.GIMP/config/GIMP/gimprc"},
        {"~/snap/gimp/399/.config/GIMP/gimprc", &snapGimp, "~/snap/gimp/412/.config/GIMP/gimprc"}, // its revision here
        {"~/snap/gimp/399/.config/GIMP/gimprc", &flatpakGimp, "~/.var/app/org.gimp.GIMP/config/GIMP/gimprc"},
        {"~/.thunderbird/abc.default/prefs.js", &flatpakThunderbird,
         "~/.var/app/org.mozilla.Thunderbird/.thunderbird/abc.default/prefs.js"},
        {"~/.config/chromium/Default/Bookmarks", &snapChromium, "~/snap/chromium/common/chromium/Default/Bookmarks"},
        {"~/.mozilla/firefox/p.default/places.sqlite", &flatpakFirefox,
         "~/.var/app/org.mozilla.firefox/.mozilla/firefox/p.default/places.sqlite"},
        {"~/.config/GIMPish/x", &flatpakGimp, "~/.config/GIMPish/x"},           // only a name that starts the same
        {"~/.var/app/org.gimp.GIMP/cache/x", &nativeGimp, "~/.var/app/org.gimp.GIMP/cache/x"}, // not the app's data
        {"~/Documents/GIMP/x", &flatpakGimp, "~/Documents/GIMP/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const QString landed = relocateAppDataPath(QString::fromUtf8(c.path), catalog, *c.here);
        EXPECT_EQ(landed, QString::fromUtf8(c.expected));
        // Where it landed is still that app's, in the same place natively.
        const auto before = catalog.ownerOf(QString::fromUtf8(c.path));
        const auto after = catalog.ownerOf(landed);
        ASSERT_EQ(before.has_value(), after.has_value());
        if (before) {
            EXPECT_EQ(after->app, before->app);
            EXPECT_EQ(after->nativePath, before->nativePath);
        }
    }
}
