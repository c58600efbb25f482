// SPDX-License-Identifier: Apache-2.0
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

const QStringList kCategories{u"--categories"_s, u"userFiles,applicationData,systemSettings,browserData"_s};

// The machine's installed apps come from folders the test lays out, never the host's.
QProcessEnvironment machineAt(const QString& sys)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_DATA_DIRS"_s, sys + u"/share"_s);
    env.insert(u"KIVO_FLATPAK_SYSTEM_DIR"_s, sys + u"/flatpak"_s);
    env.insert(u"KIVO_SNAP_DIR"_s, sys + u"/snap"_s);
    return env;
}

QJsonObject categoryOf(const QJsonObject& report, const QString& id)
{
    for (const QJsonValue& c : report.value(u"categories"_s).toArray())
        if (c.toObject().value(u"id"_s).toString() == id)
            return c.toObject();
    return {};
}

} // namespace

// A Linux home with Firefox and Chromium profiles, German user folders and a
// Flatpak app: inspect names what it has in a Linux home's words.
TEST(LinuxInspect, ALinuxHomeIsShownInItsOwnWordsWithItsAppsAndNothingOfAMac)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s), sys = dir.filePath(u"sys"_s);
    writeBytes(home + u"/.config/user-dirs.dirs"_s, "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    writeBytes(home + u"/Dokumente/Brief.odt"_s, "letter");
    writeBytes(home + u"/.mozilla/firefox/abc.default-release/places.sqlite"_s, "places");
    writeBytes(home + u"/.config/chromium/Default/Bookmarks"_s, "{}");
    writeBytes(home + u"/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc"_s, "(theme)");
    writeBytes(home + u"/.var/app/org.gimp.GIMP/cache/thumb"_s, "cache");
    writeBytes(home + u"/.config/leftover/x"_s, "x");
    writeBytes(sys + u"/flatpak/app/org.gimp.GIMP/current/active/metadata"_s, "[Application]\n");
    writeBytes(sys + u"/share/applications/firefox.desktop"_s, "[Desktop Entry]\nExec=firefox %u\n");

    const CliRun json = runCli(QStringList{u"inspect"_s, u"--home"_s, home, u"--json"_s} + kCategories, machineAt(sys));
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    for (const char* macOnly : {"Mac", "Safari", "Keychain", "com.apple", "Library", "iCloud"})
        EXPECT_FALSE(json.out.contains(macOnly)) << macOnly << " in " << json.out.constData();
    const QJsonObject report = QJsonDocument::fromJson(json.out).object();
    EXPECT_EQ(report.value(u"layout"_s).toString(), u"linux"_s);

    const QJsonObject userFiles = categoryOf(report, u"userFiles"_s);
    EXPECT_EQ(userFiles.value(u"displayName"_s).toString(), u"User Files"_s);
    EXPECT_EQ(userFiles.value(u"sources"_s).toArray(), QJsonArray{u"~/Dokumente"_s});
    EXPECT_EQ(userFiles.value(u"items"_s).toArray().size(), 1);

    const QJsonObject apps = categoryOf(report, u"applicationData"_s);
    const QJsonArray found = apps.value(u"applications"_s).toArray();
    ASSERT_EQ(found.size(), 1) << QJsonDocument(apps).toJson().constData();
    EXPECT_EQ(found[0].toObject().value(u"id"_s).toString(), u"gimp"_s);
    EXPECT_EQ(found[0].toObject().value(u"formats"_s).toArray(), QJsonArray{u"flatpak"_s});
    EXPECT_TRUE(found[0].toObject().value(u"installed"_s).toBool());
    EXPECT_EQ(apps.value(u"unclaimed"_s).toArray(), QJsonArray{u"~/.config/leftover"_s});
    const QJsonArray appItems = apps.value(u"items"_s).toArray();
    ASSERT_EQ(appItems.size(), 1);
    EXPECT_EQ(appItems[0].toObject().value(u"relativePath"_s).toString(),
              u"~/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc"_s);

    const QJsonObject browsers = categoryOf(report, u"browserData"_s);
    EXPECT_EQ(browsers.value(u"sources"_s).toArray(), (QJsonArray{u"~/.mozilla/firefox"_s, u"~/.config/chromium"_s}));
    EXPECT_EQ(browsers.value(u"items"_s).toArray().size(), 2);
    EXPECT_FALSE(categoryOf(report, u"systemSettings"_s).value(u"details"_s).toArray().isEmpty());

    // The words a person reads, too.
    const CliRun human = runCli(QStringList{u"inspect"_s, u"--home"_s, home} + kCategories, machineAt(sys));
    ASSERT_EQ(human.exitCode, 0) << human.err.toStdString();
    EXPECT_TRUE(human.out.contains("User Files (userFiles): 1 file(s)")) << human.out.constData();
    EXPECT_TRUE(human.out.contains("~/.config/leftover"));
}

// A Mac-shaped home is inspected as before; --layout forces the other table (a bad value is CommandLine's).
TEST(LinuxInspect, AMacShapedHomeKeepsItsTablesAndTheLayoutCanBeForced)
{
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s), sys = dir.filePath(u"sys"_s);
    writeBytes(home + u"/Library/Preferences/com.example.app.plist"_s, "plist");
    writeBytes(home + u"/Library/Application Support/Firefox/Profiles/p/places.sqlite"_s, "places");
    writeBytes(home + u"/Movies/clip.mov"_s, "clip");

    const CliRun mac = runCli(QStringList{u"inspect"_s, u"--home"_s, home, u"--json"_s} + kCategories, machineAt(sys));
    ASSERT_EQ(mac.exitCode, 0) << mac.err.toStdString();
    const QJsonObject report = QJsonDocument::fromJson(mac.out).object();
    EXPECT_EQ(report.value(u"layout"_s).toString(), u"macos"_s);
    EXPECT_EQ(categoryOf(report, u"userFiles"_s).value(u"items"_s).toArray().size(), 1);
    EXPECT_EQ(categoryOf(report, u"applicationData"_s).value(u"items"_s).toArray().size(), 2);
    EXPECT_FALSE(categoryOf(report, u"applicationData"_s).contains(u"applications"_s));

    const CliRun forced =
        runCli(QStringList{u"inspect"_s, u"--home"_s, home, u"--layout"_s, u"linux"_s, u"--json"_s} + kCategories,
               machineAt(sys));
    ASSERT_EQ(forced.exitCode, 0) << forced.err.toStdString();
    EXPECT_EQ(QJsonDocument::fromJson(forced.out).object().value(u"layout"_s).toString(), u"linux"_s);
}
