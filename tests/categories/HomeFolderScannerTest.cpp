// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeFolderScanner.h"
#include "categories/TreeFixture.h"
#include "categories/WalkCounter.h"
#include "support/CoroTest.h"

#include <gmock/gmock.h>

using namespace kivo;
using kivo::test::runTask;
using ::testing::ElementsAre;

namespace {
QStringList names(const QList<HomeFolder>& folders) { return test::pluck(folders, &HomeFolder::name); }
} // namespace

class HomeFolderScannerTest : public kivo::test::TreeFixture {};

TEST_F(HomeFolderScannerTest, OffersOnlyVisibleNonExcludedFoldersSortedWithDefaultsPreselected)
{
    for (const char* dir : {"Music", "Documents", "Library", "Public", "Applications", ".ssh", ".hidden-stuff", "Zeta",
                            "Code", "Movies"})
        makeDir(QString::fromUtf8(dir));
    makeFile(QStringLiteral("notes.txt"), 10);          // a plain file is never a folder
    makeFile(QStringLiteral("Desktop"), 10);            // not even under a default name
    makeFile(QStringLiteral("Library/big.bin"), 50000);
    makeFile(QStringLiteral("Code/a.c"), 100);
    makeFile(QStringLiteral("Code/.cache/blob"), 80000); // hidden: not in the folder's size
    makeLink(outside(), QStringLiteral("Linked"));       // a link to a folder counts, as the user sees a folder
    makeFile(QStringLiteral("../elsewhere/x.bin"), 3000);

    HomeFolderScanner scanner(home());
    runTask(scanner.scan());

    EXPECT_THAT(names(scanner.folders()), ElementsAre(QStringLiteral("Code"), QStringLiteral("Documents"),
                                                      QStringLiteral("Linked"), QStringLiteral("Movies"),
                                                      QStringLiteral("Music"), QStringLiteral("Zeta")));
    EXPECT_THAT(names(scanner.selectedFolders()),
                ElementsAre(QStringLiteral("Documents"), QStringLiteral("Movies"), QStringLiteral("Music")));
    EXPECT_EQ(scanner.selectedPaths(),
              QStringList({QStringLiteral("~/Documents"), QStringLiteral("~/Movies"), QStringLiteral("~/Music")}));

    EXPECT_EQ(scanner.folders().at(0), (HomeFolder{QStringLiteral("Code"), QStringLiteral("~/Code"),
                                                   at(QStringLiteral("Code")), onDiskAt(QStringLiteral("Code/a.c"))}));
    EXPECT_EQ(scanner.folders().at(2).size, onDisk(outside() + QStringLiteral("/x.bin")));
}

TEST_F(HomeFolderScannerTest, TogglesMoveTheTotalAndARescanRestoresTheDefaults)
{
    makeFile(QStringLiteral("Documents/a"), 5000);
    makeFile(QStringLiteral("Pictures/b"), 9000);
    makeFile(QStringLiteral("Games/c"), 20000);
    HomeFolderScanner scanner(home());
    runTask(scanner.scan());
    const std::uint64_t docs = onDiskAt(QStringLiteral("Documents/a")), pics = onDiskAt(QStringLiteral("Pictures/b")),
                        games = onDiskAt(QStringLiteral("Games/c"));
    EXPECT_EQ(scanner.totalSelectedSize(), docs + pics);

    scanner.toggleFolder(QStringLiteral("Pictures"));
    scanner.toggleFolder(QStringLiteral("Games"));
    scanner.toggleFolder(QStringLiteral("Nope"));
    EXPECT_EQ(scanner.totalSelectedSize(), docs + games);

    // A new scan starts from the defaults again.
    runTask(scanner.scan());
    EXPECT_THAT(names(scanner.selectedFolders()), ElementsAre(QStringLiteral("Documents"), QStringLiteral("Pictures")));

    // By name only nothing below the home is walked; sizes counted by another walk fill in by path.
    const std::int64_t walked = WalkCounter::timesWalked(at(QStringLiteral("Documents")));
    runTask(scanner.scan(/*withSizes=*/false));
    EXPECT_EQ(WalkCounter::timesWalked(at(QStringLiteral("Documents"))), walked);
    EXPECT_THAT(names(scanner.selectedFolders()), ElementsAre(QStringLiteral("Documents"), QStringLiteral("Pictures")));
    EXPECT_EQ(scanner.totalSelectedSize(), 0u);
    scanner.setSizes({{QStringLiteral("~/Documents"), 7}, {QStringLiteral("~/Elsewhere"), 100}});
    EXPECT_EQ(scanner.totalSelectedSize(), 7u);
}

TEST_F(HomeFolderScannerTest, ALinuxHomePreselectsItsOwnUserFoldersAndOffersNoAppFolders)
{
    for (const char* dir : {"Dokumente", "Documents", "Videos", "Movies", "snap", "Public", "Templates", "Code"})
        makeDir(QString::fromUtf8(dir));
    test::writeBytes(at(QStringLiteral(".config/user-dirs.dirs")), "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");

    const QList<HomeFolder> folders = HomeFolderScanner::scanFolders(home(), HomeLayoutKind::Linux);
    EXPECT_THAT(names(folders), ElementsAre(QStringLiteral("Code"), QStringLiteral("Documents"),
                                            QStringLiteral("Dokumente"), QStringLiteral("Movies"),
                                            QStringLiteral("Templates"), QStringLiteral("Videos")));
    QStringList selected;
    for (const HomeFolder& f : folders)
        if (f.isSelected)
            selected << f.name;
    EXPECT_EQ(selected, QStringList({QStringLiteral("Dokumente"), QStringLiteral("Videos")}));
}
