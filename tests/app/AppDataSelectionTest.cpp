// SPDX-License-Identifier: Apache-2.0
#include "app/AppDataSelection.h"
#include "app/AppState.h"
#include "categories/CategoryProfile.h"
#include "categories/DataCategoryManager.h"
#include "platform/PropertyList.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using C = AppCompatibilityEntry::UserChoice;
using S = AppCompatibilityEntry::Status;

namespace {

AppCompatibilityEntry app(const char* name, S status, QStringList paths)
{
    AppCompatibilityEntry e;
    e.appName = QString::fromLatin1(name);
    e.status = status;
    e.dataPath = paths.value(0);
    e.dataPaths = std::move(paths);
    return e;
}

} // namespace

TEST(AppDataSelection, ChoicesAndTheDefaultDecideWhatOfMissingAppsGoes)
{
    const auto gimp = app("GIMP", S::missing, {"~/.config/GIMP"});
    const auto vlc = app("VLC", S::missing, {"~/.config/vlc", "~/.local/share/vlc"});
    const auto tool = app("Tool", S::missing,
                          {"~/Library/Application Support/org.example.Tool", "~/Library/Preferences/org.example.Tool.plist"});
    const auto here = app("Gedit", S::installed, {"~/.config/gedit"});
    // Two apps reading one folder: whichever sends it wins.
    const auto shared = app("Shared", S::missing, {"~/.config/vlc"});
    auto old = app("Old", S::missing, {});
    old.dataPath = QStringLiteral("~/Library/Preferences/old.plist");
    struct Case {
        const char* what;
        QList<AppCompatibilityEntry> apps;
        QHash<QString, C> choices;
        bool transferByDefault;
        AppDataSelection expected;
    };
    const Case cases[] = {
        {"nobody chose, default skip", {gimp, vlc}, {}, false, {{}, {"~/.config/GIMP", "~/.config/vlc", "~/.local/share/vlc"}}},
        {"nobody chose, default transfer", {gimp, vlc}, {}, true, {{"~/.config/GIMP", "~/.config/vlc", "~/.local/share/vlc"}, {}}},
        {"a choice beats either default",
         {gimp, vlc},
         {{"GIMP", C::transferAnyway}, {"VLC", C::skip}},
         true,
         {{"~/.config/GIMP"}, {"~/.config/vlc", "~/.local/share/vlc"}}},
        {"install sends: the app is coming", {gimp}, {{"GIMP", C::install}}, false, {{"~/.config/GIMP"}, {}}},
        {"support folder and preferences go together",
         {tool},
         {{"Tool", C::skip}},
         true,
         {{}, {"~/Library/Application Support/org.example.Tool", "~/Library/Preferences/org.example.Tool.plist"}}},
        {"installed apps are nobody's choice", {here}, {{"Gedit", C::skip}}, false, {}},
        {"a shared folder goes when one app sends it",
         {vlc, shared},
         {{"VLC", C::transferAnyway}},
         false,
         {{"~/.config/vlc", "~/.local/share/vlc"}, {}}},
        {"an entry with only its one path", {old}, {}, false, {{}, {"~/Library/Preferences/old.plist"}}},
        {"a choice for an app no longer listed", {}, {{"GIMP", C::skip}}, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const AppDataSelection got = appDataSelection(c.apps, c.choices, c.transferByDefault);
        EXPECT_EQ(got.sent, c.expected.sent);
        EXPECT_EQ(got.leftOut, c.expected.leftOut);
    }
}

TEST(AppDataSelection, LeftOutDataLeavesTheManifestWithItsFoldersAndTotal)
{
    TransferManifest manifest;
    for (const auto& [path, size] : {std::pair{"~/.config/GIMP/gimprc", 10}, {"~/.config/GIMP/2.10/menurc", 20},
                                     {"~/.config/GIMP2/keep", 40}, {"~/Library/Preferences/org.example.Tool.plist", 80},
                                     {"~/Library/Preferences/org.example.Tool.plist.bak", 160}})
    {
        TransferManifest::FileItem item;
        item.relativePath = QString::fromLatin1(path);
        item.size = std::uint64_t(size);
        manifest.items.append(item);
    }
    for (const char* folder : {"~/.config/GIMP", "~/.config/GIMP/2.10", "~/.config/GIMP2"}) {
        TransferManifest::Entry entry;
        entry.relativePath = QString::fromLatin1(folder);
        manifest.entries.append(entry);
    }
    leaveOutAppData(manifest, {"~/.config/GIMP", "~/Library/Preferences/org.example.Tool.plist"});
    QStringList items, entries;
    for (const auto& item : manifest.items)
        items << item.relativePath;
    for (const auto& entry : manifest.entries)
        entries << entry.relativePath;
    EXPECT_EQ(items, QStringList({"~/.config/GIMP2/keep", "~/Library/Preferences/org.example.Tool.plist.bak"}));
    EXPECT_EQ(entries, QStringList({"~/.config/GIMP2"}));
    EXPECT_EQ(manifest.totalSize, 200u);
}

// The selection screen's choices reach what a Linux source sends: a missing
// app chosen for travels, a skipped one does not, an installed one always
// does; a profile asking for missing apps' data changes the default.
TEST(AppDataSelection, SkippedAppsDataIsAbsentFromTheManifest)
{
    for (const bool profileSends : {false, true}) {
        SCOPED_TRACE(profileSends);
        QTemporaryDir dir;
        const QString home = dir.path();
        writeBytes(home + "/.config/GIMP/gimprc", "gimp");
        writeBytes(home + "/.config/inkscape/preferences.xml", "inkscape");
        writeBytes(home + "/.config/gedit/settings", "gedit");
        writeBytes(home + "/.local/share/applications/org.gnome.gedit.desktop",
                   "[Desktop Entry]\nType=Application\nName=Text Editor\nExec=gedit %U\n");
        const QString profile = home + "/profile.plist";
        writeBytes(profile, plist::serialize(QVariantMap{{QStringLiteral("kivo.brandingName"), QStringLiteral("Example Org")},
                                                         {QStringLiteral("kivo.transferDataForMissingApps"), profileSends}},
                                             plist::Format::binary));

        AppState state({home, {}, {}, 0, nullptr, profile, false, {}, {}, QStringLiteral("linux")});
        state.setDeviceRole(DeviceRole::source);
        state.categoryManager()->loadCategories(CategoryProfile{});
        state.prepareSelection();
        AppCompatibilityManager& apps = *state.appCompatibility();
        ASSERT_TRUE(waitUntil([&] { return !apps.isScanning() && !apps.entries().isEmpty(); }));
        QStringList missing;
        for (const AppCompatibilityEntry& e : apps.missingApps())
            missing << e.appName;
        EXPECT_EQ(missing, QStringList({"GIMP", "Inkscape"}));
        for (const AppCompatibilityEntry& e : apps.missingApps())
            EXPECT_EQ(e.userChoice, profileSends ? C::transferAnyway : C::skip) << "the profile's default is shown";
        apps.chooseFor(QStringLiteral("GIMP"), QStringLiteral("transferAnyway"));

        const TransferManifest manifest = runTask(state.buildIntendedManifest());
        QStringList sent;
        for (const auto& item : manifest.items)
            if (item.relativePath.startsWith(QLatin1String("~/.config/")))
                sent << item.relativePath;
        sent.sort();
        QStringList expected{"~/.config/GIMP/gimprc", "~/.config/gedit/settings"};
        if (profileSends)
            expected << "~/.config/inkscape/preferences.xml";
        EXPECT_EQ(sent.join(u' ').toStdString(), expected.join(u' ').toStdString());
    }
}
