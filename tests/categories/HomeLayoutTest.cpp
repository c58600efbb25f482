// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeLayout.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
    // A Mac-shaped home's rows ignore the file.
    EXPECT_EQ(HomeLayout::of(HomeLayoutKind::MacOS).categoriesFor(home.path()),
              HomeLayout::of(HomeLayoutKind::MacOS).categories);
}
