// SPDX-License-Identifier: Apache-2.0
#include "categories/CategoryHandlers.h"
#include "categories/DataCategory.h"
#include "categories/HomeLayout.h"
#include "categories/FileEnumeration.h"
#include "categories/SizeCalculator.h"
#include "preflight/ExclusionRules.h"
#include "preflight/GitRefFiles.h"
#include "preflight/GitRepositoryCheck.h"
#include "preflight/ManifestExclusions.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"
#include "../categories/TreeFixture.h"
#include "support/CoroTest.h"

#include <QProcess>
#include <QSet>

#include <functional>

#include <sys/xattr.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QSet<QString> names(std::initializer_list<const char*> list)
{
    QSet<QString> out;
    for (const char* n : list)
        out.insert(QString::fromUtf8(n));
    return out;
}

DataCategory userFiles() { return *DataCategory::find(QStringLiteral("userFiles")); }

class ScannerTest : public TreeFixture {
protected:
    PreFlightReport scan(ScanRequest request)
    {
        ScanCounters counters;
        return scanHome(home(), request, ConnectionType::wifi, false, counters);
    }
    PreFlightReport scanDocuments(bool includeDerived = false)
    {
        ScanRequest request;
        request.categories = {userFiles()};
        request.userFilesSelectedPaths = {QStringLiteral("~/Documents")};
        request.includeDerived = includeDerived;
        return scan(request);
    }
    void setAttribute(const QString& relative, const char* name)
    {
        ASSERT_EQ(::setxattr(QFile::encodeName(at(relative)).constData(), name, "1", 1, 0), 0) << relative.toStdString();
    }
    QByteArray git(const QString& folder, const QStringList& args)
    {
        QProcess p;
        p.setWorkingDirectory(at(folder));
        p.start(QStringLiteral("git"), QStringList{"-c", "user.name=t", "-c", "user.email=t@example.com"} + args);
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << args.join(u' ').toStdString() << p.readAllStandardError().constData();
        return p.readAllStandardOutput();
    }
    // The manifest the default walk lists for the same folder.
    QList<TransferManifest::FileItem> manifestItems()
    {
        QList<TransferManifest::FileItem> items;
        files::appendCategoryItems(items, {QStringLiteral("~/Documents")}, QStringLiteral("userFiles"), UserFolders(home()));
        return items;
    }
};

// Repositories made with git itself, to set what the ref files say against git's own answer.
class GitRefFilesTest : public ScannerTest {
protected:
    void commit(const QString& folder, const char* message)
    {
        makeFile(folder + QStringLiteral("/f-") + QLatin1String(message), 3);
        git(folder, {"add", "."});
        git(folder, {"commit", "-qm", message});
    }
    void clone(const QString& name) { git({}, {"clone", "-q", at(QStringLiteral("origin")), name}); }
    // What git itself answers, the way the check asks it.
    std::optional<QString> gitsAnswer(const QString& folder)
    {
        return unsharedWorkFromRefs(QString::fromUtf8(git(folder, {"for-each-ref", "--format=%(refname)%09%(upstream)%09%(upstream:track)",
                                                                   "refs/heads", "refs/stash"})));
    }
};

const ExclusionSummary* exclusionAt(const PreFlightReport& r, const QString& path)
{
    for (const ExclusionSummary& e : r.exclusions)
        if (e.path == path)
            return &e;
    return nullptr;
}

} // namespace

TEST(ExclusionRules, SiblingConditionsAndProjectNames)
{
    struct Case {
        const char* name;
        QSet<QString> siblings;
        const char* rule; // nullptr: scanned normally
    };
    const Case cases[] = {
        {"node_modules", {}, "node_modules"},
        {"build", names({"build", "Package.swift"}), "build"},
        {"build", names({"build", "App.xcodeproj"}), "build"},
        {"build", names({"build", ".xcodeproj"}), nullptr}, // a bare ".xcodeproj" has no extension
        {"target", names({"Cargo.lock"}), "target"},
        {"Pods", names({"Podfile"}), "Pods"},
        {"Build", names({"Package.swift"}), nullptr}, // names match exactly
    };
    for (const Case& c : cases) {
        const ExclusionRule* r = matchExclusionRule(QString::fromUtf8(c.name), c.siblings);
        EXPECT_EQ(r ? r->name.toStdString() : std::string("none"), c.rule ? c.rule : "none") << c.name;
    }
    EXPECT_EQ(projectNameFor(QStringLiteral("web"), names({"package.json", "node_modules"})), QStringLiteral("web"));
    EXPECT_EQ(projectNameFor(QStringLiteral("ios"), names({"Shop.xcodeproj", "build"})), QStringLiteral("Shop"));
    EXPECT_EQ(projectNameFor(QStringLiteral("misc"), names({"build"})), std::nullopt);
}

TEST(PreFlightReport, PlaceholderNamesAndAttributes)
{
    EXPECT_EQ(placeholderProvider(QStringLiteral(".Notes.pages.icloud"), {}), QStringLiteral("iCloud"));
    EXPECT_EQ(placeholderProvider(QStringLiteral("Notes.icloud"), {}), std::nullopt);
    EXPECT_EQ(placeholderProvider(QStringLiteral("a"), {"com.dropbox.attrs"}), QStringLiteral("Dropbox"));
    // The attribute decides before the name, in the providers' order.
    EXPECT_EQ(placeholderProvider(QStringLiteral(".x.icloud"), {"com.microsoft.OneDrive", "com.dropbox.attrs"}),
              QStringLiteral("Dropbox"));
}

TEST_F(ScannerTest, RulesApplyAtEveryDepthAndTheTotalsMatchTheManifest)
{
    makeFile("Documents/swift/Package.swift", 10);
    makeFile("Documents/swift/build/out.o", 100);
    makeFile("Documents/lone/build/keep.txt", 7);
    makeFile("Documents/App/App.xcodeproj/project.pbxproj", 20);
    makeFile("Documents/App/build/App.app", 30);
    makeFile("Documents/web/package.json", 2);
    makeFile("Documents/a/b/c/node_modules/dep/index.js", 40);
    makeFile("Documents/a/b/c/node_modules/.bin/tool", 5);
    makeFile("Documents/.hidden/note", 3);
    makeFile("Documents/.Notes.pages.icloud", 4);
    makeFile("elsewhere/secret", 50);
    makeLink(at("elsewhere"), "Documents/link");

    const PreFlightReport r = scanDocuments();
    ASSERT_EQ(r.exclusions.size(), 3);
    const ExclusionSummary* swift = exclusionAt(r, "~/Documents/swift/build");
    ASSERT_TRUE(swift);
    EXPECT_EQ(swift->rule, "build");
    EXPECT_EQ(swift->parentProject, "swift");
    EXPECT_EQ(swift->totalBytes, 100u);
    EXPECT_TRUE(exclusionAt(r, "~/Documents/App/build"));
    const ExclusionSummary* deep = exclusionAt(r, "~/Documents/a/b/c/node_modules");
    ASSERT_TRUE(deep);
    EXPECT_EQ(deep->fileCount, 2); // hidden entries inside count too
    EXPECT_EQ(deep->parentProject, std::nullopt);
    EXPECT_EQ(r.excludedFiles, 4);
    EXPECT_EQ(r.excludedBytes, 175u);

    // Links are never followed; the counts against the manifest for each layout: ScanWalkerTest.
    const PreFlightReport everything = scanDocuments(/*includeDerived=*/true);
    EXPECT_TRUE(everything.exclusions.isEmpty());
    EXPECT_EQ(everything.totalFiles, manifestItems().size());
}

TEST_F(ScannerTest, PlaceholdersAreCountedWithAHundredPathsKept)
{
    for (int i = 0; i < 250; ++i) {
        const QString name = QStringLiteral("Documents/Dropbox/d%1/f%2").arg(i % 7).arg(i);
        makeFile(name, 1);
        setAttribute(name, "user.com.dropbox.attrs");
    }
    makeFile("Documents/cloud/.Report.pdf.icloud", 9);
    makeFile("Documents/one", 1);
    setAttribute("Documents/one", "user.com.microsoft.OneDrive");

    const PreFlightReport r = scanDocuments();
    ASSERT_EQ(r.ghostFiles.size(), 3);
    EXPECT_EQ(pluck(r.ghostFiles, &GhostFileSummary::provider), QStringList({"Dropbox", "OneDrive", "iCloud"}));
    EXPECT_EQ(r.ghostFiles[0].count, 250);
    EXPECT_EQ(r.ghostFiles[0].paths.size(), 100);
    EXPECT_TRUE(r.ghostFiles[0].paths.first().startsWith("~/Documents/Dropbox/"));
    EXPECT_EQ(r.ghostFiles[2].paths, QStringList{"~/Documents/cloud/.Report.pdf.icloud"});
    EXPECT_EQ(r.totalFiles, 252); // placeholders are files of the selection all the same
}

TEST_F(ScannerTest, ARepositoryTravelsUnlessEveryCommitIsOnItsUpstream)
{
    makeFile("Documents/origin/readme", 5);
    git("Documents/origin", {"init", "-q", "-b", "main"});
    git("Documents/origin", {"add", "."});
    git("Documents/origin", {"commit", "-qm", "first"});
    git("Documents", {"clone", "-q", at("Documents/origin"), "clone"});

    const PreFlightReport r = scanDocuments();
    // The origin's branch has no upstream: its work exists nowhere else.
    EXPECT_FALSE(exclusionAt(r, "~/Documents/origin/.git"));
    ASSERT_EQ(r.keptFolders.size(), 1);
    EXPECT_EQ(r.keptFolders.first(), "~/Documents/origin/.git: branch main has no upstream");
    EXPECT_TRUE(exclusionAt(r, "~/Documents/clone/.git"));

    // Which repositories git calls unshared, from the files alone where they are plain: GitRefFilesTest.
    EXPECT_EQ(unsharedWorkFromRefs("refs/heads/main\trefs/remotes/origin/main\t[ahead 1]\n"),
              "branch main has commits not on its upstream");
    EXPECT_EQ(unsharedWorkFromRefs("refs/heads/main\trefs/remotes/origin/main\t\nrefs/stash\t\t\n"), "it holds a stash");
    EXPECT_EQ(unsharedWorkFromRefs("refs/heads/old\trefs/remotes/origin/old\t[gone]\n"),
              "the upstream of branch old is gone");
    EXPECT_EQ(unsharedWorkFromRefs("refs/heads/main\trefs/remotes/origin/main\t[behind 2]\n"), std::nullopt);
}

TEST_F(ScannerTest, CategoryDetailsStagedBundlesAndMissingPaths)
{
    makeFile("Library/Preferences/org.example.editor.plist", 12);
    writeBytes(at(".kivo-staged-prefs/org.example.app/bundle.json"),
               R"({"id":"org.example.app","displayName":"Example","triggers":["org.example.app"],
                   "entries":[{"stagedPath":"/x","destinationRelativePath":"~/a","size":5},
                              {"stagedPath":"/y","destinationRelativePath":"~/b","size":7}],
                   "stagedAt":"2026-01-01T00:00:00Z","expiresAt":"2026-01-08T00:00:00Z","originatedFromMDM":false})");
    makeFile(".kivo-staged-prefs/broken/bundle.json", 3);

    const QList<StagedPrefSummary> staged = stagedPrefSummaries(home());
    ASSERT_EQ(staged.size(), 1);
    EXPECT_EQ(staged.first(), (StagedPrefSummary{"Example", "org.example.app", 2, 12}));

    ScanRequest request;
    request.categories = {*DataCategory::find("applicationData")};
    request.stagedBundles = staged;
    request.applicationNames = {"Editor", "Mail", "Notes", "Photos"};
    const PreFlightReport r = scan(request);
    ASSERT_EQ(r.categories.size(), 1);
    EXPECT_EQ(r.categories.first().details, "Editor, Mail, Notes");
    EXPECT_EQ(r.categories.first().fileCount, 1); // Application Support is missing: nothing, no error
    EXPECT_EQ(r.rootNodes.size(), 1);
    EXPECT_EQ(r.stagedPrefs, staged);
}

TEST_F(ScannerTest, ConflictsTakeTheSourceFiguresAndMarkTheirNodes)
{
    makeFile("Documents/a.txt", 3);
    PreFlightReport r = scanDocuments();
    const QDateTime when = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
    ConflictSummary c{"~/Documents/a.txt", 0, 9, QDateTime::currentDateTimeUtc(), when, std::nullopt};
    mergeConflicts(r, {c}, {{"~/Documents/a.txt", {3, when.addDays(1)}}});
    ASSERT_EQ(r.conflicts.size(), 1);
    EXPECT_EQ(r.conflicts.first().sourceSize, 3u);
    EXPECT_EQ(r.conflicts.first().sourceModified, when.addDays(1));
    EXPECT_EQ(r.rootNodes.first().children->first().status, NodeStatus::conflict);
    EXPECT_EQ(r.rootNodes.first().children->first().conflictDetail->destSize, 9u);
}

// A Linux browser's caches and locks are listed but never sent: the estimate
// counts exactly the files the handler puts into the manifest.
TEST_F(ScannerTest, ALinuxBrowsersCachesAndLocksCountAsTheyTravelNotAsTheyLie)
{
    makeFile(".mozilla/firefox/abc.default-release/places.sqlite", 100);
    makeFile(".mozilla/firefox/abc.default-release/startupCache/scriptCache.bin", 50);
    makeFile(".mozilla/firefox/abc.default-release/.parentlock", 0);
    makeFile(".config/chromium/Default/Preferences", 30);
    makeFile(".config/chromium/Default/Cache/Cache_Data/f_000001", 4000);
    makeFile(".config/chromium/Default/Code Cache/js/index", 600);
    makeFile(".config/chromium/Default/Service Worker/CacheStorage/a/b", 900);
    makeFile(".config/chromium/Default/Service Worker/Database/CURRENT", 16);
    makeLink("host-1234", ".config/chromium/SingletonLock");

    const HomeLayout& linux = HomeLayout::of(HomeLayoutKind::Linux);
    ScanRequest request;
    request.categories = {*linux.find(QStringLiteral("browserData"))};
    const PreFlightReport everything = scan(request);
    request.neverSent = linux.neverSent;
    const PreFlightReport r = scan(request);

    const auto handler = makeCategoryHandler(QStringLiteral("browserData"), home(), HomeLayoutKind::Linux);
    const auto listing = runTask(handler->enumerateListing(request.categories.first().paths));
    std::uint64_t sentBytes = 0;
    for (const auto& item : listing.items)
        sentBytes += item.size;
    ASSERT_EQ(r.categories.size(), 1);
    EXPECT_EQ(r.categories.first().fileCount, listing.items.size());
    EXPECT_EQ(r.categories.first().totalBytes, sentBytes);
    EXPECT_EQ(r.categories.first().fileCount, 3);
    EXPECT_EQ(everything.categories.first().fileCount, 8);
}

// The files are read only when they say plainly what git would: every shortcut
// taken agrees with git, and the clean clones, the common case, take it.
TEST_F(GitRefFilesTest, TheFilesAnswerOnlyWhenTheyAgreeWithGit)
{
    makeDir(QStringLiteral("origin"));
    git(QStringLiteral("origin"), {"init", "-q", "-b", "main"});
    commit(QStringLiteral("origin"), "first");

    struct Case {
        const char* name;
        std::function<void(const QString&)> make;
        bool answeredFromFiles;
    };
    const QList<Case> cases{
        {"a fresh clone", [&](const QString& c) { clone(c); }, true},
        {"packed refs", [&](const QString& c) { clone(c); git(c, {"pack-refs", "--all"}); }, true},
        {"a commit of its own", [&](const QString& c) { clone(c); commit(c, "local"); }, false},
        {"a branch without upstream", [&](const QString& c) { clone(c); git(c, {"branch", "topic"}); }, false},
        {"a stash", [&](const QString& c) {
             clone(c);
             makeFile(c + QStringLiteral("/f-first"), 9);
             git(c, {"stash", "-q"});
         }, false},
        {"behind its upstream", [&](const QString& c) {
             clone(c);
             commit(QStringLiteral("origin"), "later");
             git(c, {"fetch", "-q"});
         }, false},
        {"the origin, with no remote", [&](const QString& c) { git({}, {"clone", "-q", "--no-local", at(QStringLiteral("origin")), c}); git(c, {"remote", "remove", "origin"}); }, false},
        {"included configuration", [&](const QString& c) {
             clone(c);
             git(c, {"config", "include.path", "/dev/null"});
         }, false},
        {"no commits yet", [&](const QString& c) { makeDir(c); git(c, {"init", "-q"}); }, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = QStringLiteral("c%1").arg(++n);
        c.make(folder);
        const bool fromFiles = refsShowNothingUnshared(at(folder + QStringLiteral("/.git")));
        EXPECT_EQ(fromFiles, c.answeredFromFiles);
        if (fromFiles) {
            EXPECT_EQ(gitsAnswer(folder), std::nullopt);
        }
        EXPECT_EQ(unsharedWorkIn(at(folder + QStringLiteral("/.git"))).has_value(), gitsAnswer(folder).has_value());
    }
}
