// SPDX-License-Identifier: Apache-2.0
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "categories/TreeFixture.h"
#include "platform/FileSystem.h"
#include "support/CoroTest.h"
#include "transfer/TransferSupport.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

using namespace kivo;
using kivo::test::relativePaths;
using kivo::test::runTask;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

QStringList ids(const QList<DataCategory>& categories) { return test::pluck(categories, &DataCategory::id); }

const QStringList kAllFive{QStringLiteral("userFiles"), QStringLiteral("applicationData"), QStringLiteral("keychain"),
                           QStringLiteral("systemSettings"), QStringLiteral("browserData")};

} // namespace

TEST(DataCategoryManagerLoading, SelectionAndListingFollowTheProfile)
{
    struct Case {
        const char* name;
        CategoryProfile profile;
        QStringList listed;
        QStringList selected;
    };
    const QStringList onlyUserFiles{QStringLiteral("userFiles")};
    const QList<Case> cases{
        {"no profile", {false, {}, true}, kAllFive, kAllFive},
        // Without a profile its list is meaningless, even when it names something.
        {"no profile, stale list", {false, onlyUserFiles, false}, kAllFive, kAllFive},
        {"allowed list, no override", {true, onlyUserFiles, false}, onlyUserFiles, onlyUserFiles},
        {"allowed list, override", {true, onlyUserFiles, true}, kAllFive, onlyUserFiles},
        {"empty allowed list", {true, {}, false}, kAllFive, kAllFive},
        {"two allowed keep table order",
         {true, {QStringLiteral("keychain"), QStringLiteral("userFiles")}, false},
         {QStringLiteral("userFiles"), QStringLiteral("keychain")},
         {QStringLiteral("userFiles"), QStringLiteral("keychain")}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DataCategoryManager manager(QStringLiteral("/nonexistent-home"));
        manager.loadCategories(c.profile);
        EXPECT_EQ(ids(manager.categories()), c.listed);
        EXPECT_EQ(ids(manager.selectedCategories()), c.selected);
    }
}

class DataCategoryManagerFiles : public kivo::test::TreeFixture {
protected:
    void SetUp() override
    {
        TreeFixture::SetUp();
        makeFile(QStringLiteral("Documents/report.txt"), 5000);
        makeFile(QStringLiteral("Documents/.hidden-notes"), 9000, 0600);
        makeFile(QStringLiteral("Documents/.git/objects/pack"), 70000);
        makeFile(QStringLiteral("Documents/Projects/app/main.cpp"), 300, 0755);
        makeFile(QStringLiteral("Desktop/todo.txt"), 10);
        makeFile(QString::fromUtf8("Documents/日本語/🎵 Résumé Grüße.txt"), 12); // names survive the walk
        makeFile(QStringLiteral("Projects/side/readme.md"), 40);
        makeFile(QStringLiteral("Library/Preferences/com.apple.dock.plist"), 600);
        // Links out of the tree, and a FIFO: none of them is a file to move or count.
        makeFile(QStringLiteral("../elsewhere/big.bin"), 200000);
        makeLink(outside(), QStringLiteral("Documents/linked-folder"));
        makeLink(outside() + QStringLiteral("/big.bin"), QStringLiteral("Documents/linked-file.bin"));
        ASSERT_EQ(::mkfifo(QFile::encodeName(at(QStringLiteral("Documents/pipe"))).constData(), 0644), 0);
        // No ~/Movies, ~/Downloads, ~/Pictures or ~/Music.
    }

    std::uint64_t userFilesOnDisk() const
    {
        return onDiskAt(QStringLiteral("Documents/report.txt")) +
               onDiskAt(QStringLiteral("Documents/Projects/app/main.cpp")) + onDiskAt(QStringLiteral("Desktop/todo.txt")) +
               onDiskAt(QString::fromUtf8("Documents/日本語/🎵 Résumé Grüße.txt"));
    }

    static std::uint64_t estimateOf(const DataCategoryManager& m, const char* id)
    {
        for (const DataCategory& c : m.categories())
            if (c.id == QLatin1String(id))
                return c.estimatedSize;
        ADD_FAILURE() << "no category " << id;
        return 0;
    }
};

// The estimate counts the allocated bytes of visible regular files only (hidden
// entries, links out of the tree, the FIFO and the missing folders add nothing);
// the manifest still carries the dot-files the estimate skipped.
TEST_F(DataCategoryManagerFiles, ManifestWalksEverythingTheEstimateSkips)
{
    DataCategoryManager manager(home());
    manager.loadCategories({true, {QStringLiteral("userFiles"), QStringLiteral("applicationData"), QStringLiteral("systemSettings")}, false});
    runTask(manager.calculateSizes());
    EXPECT_EQ(estimateOf(manager, "userFiles"), userFilesOnDisk());
    EXPECT_EQ(estimateOf(manager, "systemSettings"), onDiskAt(QStringLiteral("Library/Preferences/com.apple.dock.plist")));
    EXPECT_EQ(estimateOf(manager, "applicationData"), onDiskAt(QStringLiteral("Library/Preferences/com.apple.dock.plist")));

    const TransferManifest manifest = runTask(manager.buildManifest(QStringLiteral("T-1"), {}, std::nullopt, true, nullptr));
    EXPECT_EQ(manifest.categoryIDs, QStringList({QStringLiteral("userFiles"), QStringLiteral("applicationData"),
                                                 QStringLiteral("systemSettings")}));
    EXPECT_EQ(manifest.categoryOrder, manifest.categoryIDs);
    EXPECT_THAT(relativePaths(manifest.itemsForCategory(QStringLiteral("userFiles"))),
                UnorderedElementsAre(QStringLiteral("~/Documents/report.txt"), QStringLiteral("~/Documents/.hidden-notes"),
                                     QStringLiteral("~/Documents/.git/objects/pack"),
                                     QStringLiteral("~/Documents/Projects/app/main.cpp"),
                                     QStringLiteral("~/Desktop/todo.txt"),
                                     QString::fromUtf8("~/Documents/日本語/🎵 Résumé Grüße.txt")));
    // A listed file keeps the listed spelling.
    EXPECT_THAT(relativePaths(manifest.itemsForCategory(QStringLiteral("systemSettings"))),
                ElementsAre(QStringLiteral("~/Library/Preferences/com.apple.dock.plist")));

    // Each item a fresh record of its file: size, time and permission bits, nothing transferred yet.
    std::uint64_t sum = 0;
    for (const auto& item : manifest.items) {
        const QFileInfo file(home() + item.relativePath.mid(1));
        auto expected = test::fileItem(item.relativePath, file.filePath(), file.size(), item.categoryID);
        expected.mode = item.relativePath.endsWith(QStringLiteral("notes")) ? 0600
                        : item.relativePath.endsWith(QStringLiteral(".cpp")) ? 0755 : 0644;
        expected.sourceModified = QDateTime::fromSecsSinceEpoch(file.lastModified().toSecsSinceEpoch(), Qt::UTC);
        expected.sourceModifiedNanoseconds = std::uint32_t(fs::status(file.filePath(), fs::Links::follow)->modifiedNsecs);
        EXPECT_EQ(item, expected) << item.relativePath.toStdString();
        sum += item.size;
    }
    EXPECT_EQ(manifest.totalSize, sum);
}

TEST_F(DataCategoryManagerFiles, ScannerSelectionNarrowsUserFiles)
{
    DataCategoryManager manager(home());
    manager.loadCategories({true, {QStringLiteral("userFiles")}, false});
    HomeFolderScanner scanner(home());
    runTask(scanner.scan());

    // Nothing picked: the category is still announced, with no items.
    for (const HomeFolder& f : scanner.selectedFolders())
        scanner.toggleFolder(f.name);
    const auto build = [&] { return runTask(manager.buildManifest(QStringLiteral("T"), {}, std::nullopt, false, &scanner)); };
    TransferManifest manifest = build();
    EXPECT_EQ(manifest.categoryIDs, QStringList{QStringLiteral("userFiles")});
    EXPECT_TRUE(manifest.items.isEmpty());
    EXPECT_EQ(manifest.totalSize, 0u);

    // A non-default folder picked alone.
    scanner.toggleFolder(QStringLiteral("Projects"));
    manifest = build();
    EXPECT_THAT(relativePaths(manifest.items), ElementsAre(QStringLiteral("~/Projects/side/readme.md")));
}

TEST_F(DataCategoryManagerFiles, RegisteredHandlersReplaceTheWalkAndFailuresOnlyEmptyTheirCategory)
{
    DataCategoryManager manager(home());
    manager.loadCategories({});
    const QString kc = QStringLiteral("keychain");
    auto keychain = std::make_shared<test::RecordingHandler>(kc);
    keychain->listed = {test::fileItem(QStringLiteral("~/Library/Keychains/export"), QStringLiteral("/src/export"), 1500, kc)};
    auto browsers = std::make_shared<test::RecordingHandler>(QStringLiteral("browserData"));
    browsers->failListing = true;
    manager.registerHandler(keychain);
    manager.registerHandler(browsers);
    const TransferManifest manifest = runTask(manager.buildManifest(QStringLiteral("T"), {}, std::nullopt, true, nullptr));
    EXPECT_EQ(manifest.categoryIDs, kAllFive);
    EXPECT_EQ(keychain->askedFor, QStringList{QStringLiteral("~/Library/Keychains")});
    EXPECT_EQ(browsers->askedFor.size(), 4);
    EXPECT_THAT(relativePaths(manifest.itemsForCategory(QStringLiteral("keychain"))),
                ElementsAre(QStringLiteral("~/Library/Keychains/export")));
    EXPECT_TRUE(manifest.itemsForCategory(QStringLiteral("browserData")).isEmpty());
    EXPECT_EQ(manifest.itemsForCategory(QStringLiteral("userFiles")).size(), 6);
}

TEST_F(DataCategoryManagerFiles, DeveloperToolItemsAddTheirCategoryOnceAndOnlyWhenEnabled)
{
    DataCategoryManager manager(home());
    manager.loadCategories({true, {QStringLiteral("systemSettings")}, false});
    const QString tools = QStringLiteral("engineeringTools");
    const UserMapping mapping = UserMapping::make(QStringLiteral("ann"), QStringLiteral("/Users/ann"),
                                                  QStringLiteral("ann2"), QStringLiteral("/Users/ann2"));
    std::optional<UserMapping> seenMapping;
    // The third is a file a category sends already: it goes once, with its category.
    EngineeringItemsProvider planned = [&](const std::optional<UserMapping>& m) {
        seenMapping = m;
        files::Listing listing;
        listing.items = {test::fileItem(QStringLiteral("~/.zshrc"), QStringLiteral("/src/.zshrc"), 100, tools),
                         test::fileItem(QStringLiteral("~/.gitconfig"), QStringLiteral("/src/.gitconfig"), 20, tools),
                         test::fileItem(QStringLiteral("~/Library/Preferences/com.apple.dock.plist"),
                                        at(QStringLiteral("Library/Preferences/com.apple.dock.plist")), 600, tools)};
        // Links and what was left out travel with the files; a path a category sends already does not.
        TransferManifest::Entry link;
        link.relativePath = QStringLiteral("~/.ssh/config");
        link.categoryID = tools;
        link.kind = TransferManifest::Entry::Kind::link;
        link.linkTarget = "../dotfiles/ssh/config";
        TransferManifest::Entry sentAlready = link;
        sentAlready.relativePath = QStringLiteral("~/Library/Preferences/com.apple.dock.plist");
        listing.entries = {link, sentAlready};
        listing.skipped = {{QStringLiteral("~/.ssh/agent.sock"), tools, QStringLiteral("a socket"), false}};
        return listing;
    };
    EngineeringItemsProvider none = [](const std::optional<UserMapping>&) { return files::Listing(); };

    TransferManifest manifest = runTask(manager.buildManifest(QStringLiteral("T"), planned, mapping, true, nullptr));
    EXPECT_EQ(manifest.categoryIDs, QStringList({QStringLiteral("systemSettings"), tools}));
    EXPECT_EQ(manifest.itemsForCategory(QStringLiteral("engineeringTools")).size(), 2);
    EXPECT_EQ(manifest.totalSize, 120u + std::uint64_t(QFileInfo(at(QStringLiteral("Library/Preferences/com.apple.dock.plist"))).size()));
    EXPECT_EQ(seenMapping, std::optional<UserMapping>(mapping));
    ASSERT_EQ(manifest.entries.size(), 1);
    EXPECT_EQ(manifest.entries[0].linkTarget, "../dotfiles/ssh/config");
    ASSERT_EQ(manifest.skippedFolders.size(), 1);

    manifest = runTask(manager.buildManifest(QStringLiteral("T"), planned, mapping, false, nullptr));
    EXPECT_EQ(manifest.categoryIDs, QStringList{QStringLiteral("systemSettings")});
    EXPECT_TRUE(manifest.itemsForCategory(QStringLiteral("engineeringTools")).isEmpty());

    // A plan that yields nothing does not announce the category.
    manifest = runTask(manager.buildManifest(QStringLiteral("T"), none, std::nullopt, true, nullptr));
    EXPECT_EQ(manifest.categoryIDs, QStringList{QStringLiteral("systemSettings")});
}
