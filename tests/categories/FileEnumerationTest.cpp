// SPDX-License-Identifier: Apache-2.0
#include "categories/FileEnumeration.h"
#include "categories/TreeFixture.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using kivo::test::relativePaths;
using ::testing::UnorderedElementsAre;
using namespace Qt::StringLiterals;

class FileEnumerationTest : public kivo::test::TreeFixture {};

TEST_F(FileEnumerationTest, DeepTreesAreWalkedWholeAndListedLinksFollowedButLinksInsideAreNot)
{
    QString deep = QStringLiteral("Documents");
    for (int i = 0; i < 150; ++i)
        deep += QStringLiteral("/level-") + QString::number(i);
    makeFile(deep + QStringLiteral("/bottom.txt"), 1);
    makeFile(QStringLiteral("../elsewhere/inside.txt"), 5);
    makeFile(QStringLiteral("../elsewhere/sub/deeper.txt"), 5);
    makeLink(outside(), QStringLiteral("Documents/escape"));
    makeLink(outside(), QStringLiteral("Music"));
    makeLink(home(), QStringLiteral("Documents/loop"));

    QList<TransferManifest::FileItem> items;
    files::appendCategoryItems(items, {QStringLiteral("~/Documents"), QStringLiteral("~/Music")},
                               QStringLiteral("userFiles"), UserFolders(home()));

    // ~/Music itself is a link the user named, and its files keep its name;
    // below ~/Documents nothing leads out, and the loop back home is not taken.
    EXPECT_THAT(relativePaths(items), UnorderedElementsAre(QStringLiteral("~/") + deep + QStringLiteral("/bottom.txt"),
                                                           QStringLiteral("~/Music/inside.txt"),
                                                           QStringLiteral("~/Music/sub/deeper.txt")));
}

// With entries asked for, folders (the walked one first) and links are listed
// beside the files, a named pipe is reported and never opened, a name that is
// not UTF-8 is spelt for the wire, and times keep their fraction.
TEST_F(FileEnumerationTest, FoldersLinksAndPipesAreListedAndByteNamesSpeltForTheWire)
{
    makeFile(QStringLiteral("Documents/sub/a.txt"), 3);
    makeDir(QStringLiteral("Documents/empty"));
    makeLink(QStringLiteral("/nowhere"), QStringLiteral("Documents/dangling"));
    const QByteArray documents = QFile::encodeName(at(QStringLiteral("Documents")));
    ASSERT_EQ(::mkfifo(documents + "/pipe", 0644), 0);
    const int fd = ::open(documents + "/caf\xe9", O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const timespec times[2] = {{1600000000, 123456789}, {1600000000, 123456789}};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);

    QList<TransferManifest::FileItem> items;
    files::SkippedFolders skipped;
    files::Entries entries;
    files::appendCategoryItems(items, {QStringLiteral("~/Documents")}, QStringLiteral("userFiles"), UserFolders(home()),
                               &skipped, &entries);
    EXPECT_THAT(relativePaths(items), UnorderedElementsAre(QStringLiteral("~/Documents/sub/a.txt"),
                                                           QStringLiteral("~/Documents/caf\uFFFDE9")));
    for (const auto& item : items) {
        EXPECT_EQ(item.rawName, item.relativePath.contains(QChar(0xFFFD)));
        if (item.rawName) {
            EXPECT_EQ(item.sourceModifiedNanoseconds, 123456789u);
            EXPECT_EQ(item.modifiedTime(), (fs::FileTime{1600000000, 123456789}));
        }
    }
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[0].relativePath, QStringLiteral("~/Documents"));
    QStringList listed;
    for (const auto& e : entries)
        listed.append(e.relativePath + (e.kind == TransferManifest::Entry::Kind::link ? u" -> "_qs + e.linkTarget : u""_qs));
    EXPECT_THAT(listed, UnorderedElementsAre(QStringLiteral("~/Documents"), QStringLiteral("~/Documents/sub"),
                                             QStringLiteral("~/Documents/empty"),
                                             QStringLiteral("~/Documents/dangling -> /nowhere")));
    ASSERT_EQ(skipped.size(), 1);
    EXPECT_EQ(skipped[0].relativePath, QStringLiteral("~/Documents/pipe"));
    EXPECT_FALSE(skipped[0].isFolder);
    ::unlink(documents + "/caf\xe9"); // a name the fixture's cleanup cannot spell
}
