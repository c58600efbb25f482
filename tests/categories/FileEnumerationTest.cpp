#include "categories/FileEnumeration.h"
#include "categories/TreeFixture.h"

#include <gmock/gmock.h>

using namespace kivo;
using ::testing::UnorderedElementsAre;

namespace {
QStringList relativePaths(const QList<TransferManifest::FileItem>& items)
{
    return test::pluck(items, &TransferManifest::FileItem::relativePath);
}
} // namespace

class FileEnumerationTest : public kivo::test::TreeFixture {};

TEST_F(FileEnumerationTest, DeepTreesAreWalkedCompletely)
{
    QString deep = QStringLiteral("Documents");
    for (int i = 0; i < 150; ++i)
        deep += QStringLiteral("/level-") + QString::number(i);
    makeFile(deep + QStringLiteral("/bottom.txt"), 1);
    makeFile(QStringLiteral("Documents/top.txt"), 1);

    int count = 0;
    bool sawBottom = false;
    EXPECT_TRUE(fs::forEachRegularFile(at(QStringLiteral("Documents")), false, [&](const QString& path, const fs::FileStatus&) {
        ++count;
        sawBottom = sawBottom || path == at(deep + QStringLiteral("/bottom.txt"));
    }));
    EXPECT_EQ(count, 2);
    EXPECT_TRUE(sawBottom);
}

TEST_F(FileEnumerationTest, ListedLinksAreFollowedButLinksInsideAreNot)
{
    makeFile(QStringLiteral("../elsewhere/inside.txt"), 5);
    makeFile(QStringLiteral("../elsewhere/sub/deeper.txt"), 5);
    makeDir(QStringLiteral("Documents"));
    makeLink(outside(), QStringLiteral("Documents/escape"));
    makeLink(outside(), QStringLiteral("Music"));
    makeLink(home(), QStringLiteral("Documents/loop"));

    QList<TransferManifest::FileItem> items;
    files::appendCategoryItems(items, {QStringLiteral("~/Documents"), QStringLiteral("~/Music")},
                               QStringLiteral("userFiles"), UserFolders(home()));

    // ~/Music itself is a link the user named, and its files keep its name;
    // below ~/Documents nothing leads out, and the loop back home is not taken.
    EXPECT_THAT(relativePaths(items), UnorderedElementsAre(QStringLiteral("~/Music/inside.txt"),
                                                           QStringLiteral("~/Music/sub/deeper.txt")));
}
