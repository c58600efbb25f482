// SPDX-License-Identifier: Apache-2.0
#include "categories/UserDirs.h"
#include "support/FileBytes.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

TEST(UserDirsTest, ParsesQuotedHomeRelativeAndAbsoluteFoldersAndIgnoresHostileOnes)
{
    const QString home = QStringLiteral("/home/eva");
    struct Case {
        const char* line;
        UserDirs expected;
    };
    const QList<Case> cases = {
        {"XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", {{"DOCUMENTS", "~/Dokumente"}}},
        {"XDG_MUSIC_DIR=\"/home/eva/Музыка\"", {{"MUSIC", "~/Музыка"}}},
        {"  XDG_PICTURES_DIR=\"$HOME/Mes images/\"  ", {{"PICTURES", "~/Mes images"}}},
        {"XDG_DESKTOP_DIR=\"$HOME/Sch\\\"reib\\\\tisch\"", {{"DESKTOP", "~/Sch\"reib\\tisch"}}},
        {"XDG_VIDEOS_DIR=\"$HOME/a/b\"", {{"VIDEOS", "~/a/b"}}},
        {"# XDG_DOCUMENTS_DIR=\"$HOME/Old\"", {}},
        {"XDG_TEMPLATES_DIR=\"$HOME/\"", {}},           // the home itself: the folder is turned off
        {"XDG_TEMPLATES_DIR=\"$HOME\"", {}},
        {"XDG_DOCUMENTS_DIR=\"/etc\"", {}},              // outside the home
        {"XDG_DOCUMENTS_DIR=\"/home/evan/Docs\"", {}},   // a neighbour whose name starts the same
        {"XDG_DOCUMENTS_DIR=\"$HOME/../bob\"", {}},
        {"XDG_DOCUMENTS_DIR=\"$HOME/./Docs\"", {}},
        {"XDG_DOCUMENTS_DIR=\"$HOME//Docs\"", {}},
        {"XDG_DOCUMENTS_DIR=Documents", {}},             // unquoted
        {"XDG_DOCUMENTS_DIR=\"$HOME/Docs", {}},          // unterminated
        {"XDG_DOCUMENTS_DIR=\"$HOME/a\"b\"", {}},
        {"XDG_DIR=\"$HOME/x\"", {}},
        {"DOCUMENTS=\"$HOME/x\"", {}},
        {"XDG_DOCUMENTS_DIR=\"Documents\"", {}},         // relative
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(parseUserDirs(QByteArray(c.line), home), c.expected);
    }
    // Lines add up; a later line of one kind wins, and a trailing slash on the home changes nothing.
    EXPECT_EQ(parseUserDirs("XDG_DOCUMENTS_DIR=\"$HOME/A\"\r\nXDG_MUSIC_DIR=\"$HOME/M\"\nXDG_DOCUMENTS_DIR=\"$HOME/B\"\n",
                            home + u'/'),
              (UserDirs{{"DOCUMENTS", "~/B"}, {"MUSIC", "~/M"}}));
}

TEST(UserDirsTest, AHomeWithoutTheFileHasTheEnglishFoldersAndAMacHasMovies)
{
    QTemporaryDir home;
    const UserDirs linuxDirs = userDirsOf(home.path(), HomeLayoutKind::Linux);
    EXPECT_EQ(linuxDirs.value("DOCUMENTS"), QStringLiteral("~/Documents"));
    EXPECT_EQ(linuxDirs.value("VIDEOS"), QStringLiteral("~/Videos"));
    EXPECT_EQ(linuxDirs.value("DOWNLOAD"), QStringLiteral("~/Downloads"));
    EXPECT_EQ(userDirsOf(home.path(), HomeLayoutKind::MacOS).value("VIDEOS"), QStringLiteral("~/Movies"));

    test::writeBytes(home.filePath(QStringLiteral(".config/user-dirs.dirs")),
                     "XDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\nXDG_MUSIC_DIR=\"/elsewhere\"\n");
    const UserDirs french = userDirsOf(home.path(), HomeLayoutKind::Linux);
    EXPECT_EQ(french.value("DOWNLOAD"), QStringLiteral("~/Téléchargements"));
    EXPECT_EQ(french.value("MUSIC"), QStringLiteral("~/Music")); // the hostile line left the default
    // A Mac-shaped home never reads it.
    EXPECT_EQ(userDirsOf(home.path(), HomeLayoutKind::MacOS).value("DOWNLOAD"), QStringLiteral("~/Downloads"));
}

TEST(UserDirsTest, APathUnderASourceFolderMovesToTheDestinationsFolderOfThatKind)
{
    const UserDirs german{{"DOCUMENTS", "~/Dokumente"}, {"VIDEOS", "~/Videos"}, {"PICTURES", "~/Bilder"},
                          {"DESKTOP", "~/Schreibtisch"}};
    const UserDirs english = defaultUserDirs(HomeLayoutKind::Linux);
    const UserDirs mac = defaultUserDirs(HomeLayoutKind::MacOS);
    const UserDirs nested{{"DOCUMENTS", "~/Files"}, {"PICTURES", "~/Files/Pictures"}};
    struct Case {
        const char* path;
        const UserDirs* source;
        const UserDirs* destination;
        const char* expected;
    };
    const QList<Case> cases = {
        {"~/Documents/report.odt", &english, &german, "~/Dokumente/report.odt"},
        {"~/Dokumente/a/b.txt", &german, &english, "~/Documents/a/b.txt"},
        {"~/Movies/clip.mov", &mac, &german, "~/Videos/clip.mov"},
        {"~/Videos/clip.mkv", &english, &mac, "~/Movies/clip.mkv"},
        {"~/Documents", &english, &german, "~/Dokumente"},
        {"~/DocumentsOld/x", &english, &german, "~/DocumentsOld/x"},   // a name that only starts the same
        {"~/Code/main.c", &english, &german, "~/Code/main.c"},          // not a user folder
        {"~/Music/song.ogg", &english, &german, "~/Music/song.ogg"},    // the destination has no such kind
        {"~/Files/Pictures/cat.png", &nested, &german, "~/Bilder/cat.png"}, // the nearer folder wins
        {"~/Files/notes.txt", &nested, &german, "~/Dokumente/notes.txt"},
        {"~/Desktop/x", &english, &german, "~/Schreibtisch/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(relocateUserDirPath(QString::fromUtf8(c.path), *c.source, *c.destination), QString::fromUtf8(c.expected));
    }
}
