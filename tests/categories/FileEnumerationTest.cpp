#include "categories/FileEnumeration.h"
#include "categories/TreeFixture.h"

#include <gmock/gmock.h>

using namespace kivo;
using kivo::test::relativePaths;
using ::testing::UnorderedElementsAre;

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
