// SPDX-License-Identifier: Apache-2.0
#include "categories/FileEnumeration.h"
#include "categories/SizeCalculator.h"
#include "categories/WalkCounter.h"
#include "preflight/ManifestExclusions.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"
#include "preflight/ScanFigures.h"
#include "../categories/TreeFixture.h"

#include <linux/capability.h>
#include <sys/syscall.h>

#include <algorithm>
#include <functional>

using namespace kivo;
using namespace kivo::test;

namespace {

// Root reads every folder; for the length of a scope this thread, and the
// threads it starts, do not.
class WithoutReadOverride {
public:
    WithoutReadOverride()
    {
        ::syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        ::syscall(SYS_capset, &m_header, reduced);
    }
    ~WithoutReadOverride() { ::syscall(SYS_capset, &m_header, m_saved); }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
};

class ScanWalkerTest : public TreeFixture {
public:
    QString homePath() const { return home(); }
    void file(const char* relative, int bytes) { makeFile(QString::fromUtf8(relative), bytes); }
    void link(const QString& target, const char* relative) { makeLink(target, QString::fromUtf8(relative)); }
    void lock(const char* relative) { ::chmod(QFile::encodeName(at(QString::fromUtf8(relative))).constData(), 0); }

protected:
    void TearDown() override
    {
        for (const QString& folder : std::as_const(locked))
            ::chmod(QFile::encodeName(at(folder)).constData(), 0755);
    }

public:
    QStringList locked;
};

struct Case {
    const char* name;
    std::function<void(ScanWalkerTest&)> layout;
    QStringList keep; // repositories with work of their own, home-relative
    bool includeDerived = false;
    QStringList exclusions; // "~/path files", any order
    QStringList kept;       // "~/path", any order
    int checks = 0;
};

void nested(ScanWalkerTest& t)
{
    t.file("Documents/proj/package.json", 2);
    t.file("Documents/proj/.git/HEAD", 5);
    t.file("Documents/proj/.git/objects/a", 10);
    t.file("Documents/proj/sub/.git/HEAD", 5);
    t.file("Documents/proj/sub/main.c", 4);
    t.file("Documents/proj/node_modules/dep/.git/HEAD", 3);
    t.file("Documents/proj/node_modules/dep/i.js", 1);
    t.file("Documents/keepA/.git/HEAD", 5);
    t.file("Documents/keepA/.git/inner/.git/x", 2);
    t.file("Documents/keepA/.git/inner/y", 2);
    t.file("Documents/keepA/Package.swift", 1);
    t.file("Documents/keepA/build/out.o", 9);
}

void topAndWorktree(ScanWalkerTest& t)
{
    t.file("Documents/.git/HEAD", 5);
    t.file("Documents/.git/refs/main", 7);
    t.file("Documents/wt/.git", 20); // a worktree's pointer file: a file like any other
    t.file("Documents/wt/a.txt", 3);
    t.file("Documents/cloud/.N.pages.icloud", 4);
}

void unreadableAndLoops(ScanWalkerTest& t)
{
    t.file("Documents/locked/.git/HEAD", 5);
    t.file("Documents/locked/f", 1);
    t.file("Documents/open/.git/HEAD", 5);
    t.file("Documents/open/a", 2);
    t.link(QStringLiteral(".."), "Documents/open/.git/loop");
    t.link(t.homePath(), "Documents/loop");
    t.link(QStringLiteral("."), "Documents/open/self");
    t.lock("Documents/locked");
    t.locked << QStringLiteral("Documents/locked");
}

const QList<Case>& cases()
{
    static const QList<Case> list{
        {"nested repositories and excluded folders", nested, {"Documents/proj/sub/.git", "Documents/keepA/.git"}, false,
         {"~/Documents/proj/.git 2", "~/Documents/proj/node_modules 2", "~/Documents/keepA/.git/inner/.git 1",
          "~/Documents/keepA/build 1"},
         {"~/Documents/proj/sub/.git", "~/Documents/keepA/.git"},
         4},
        {"a repository at the top that stays, and a worktree's .git file", topAndWorktree, {}, false,
         {"~/Documents/.git 2"}, {}, 1},
        {"a repository at the top that travels", topAndWorktree, {"Documents/.git"}, false, {}, {"~/Documents/.git"}, 1},
        {"unreadable folders and link loops", unreadableAndLoops, {}, false, {"~/Documents/open/.git 1"}, {}, 1},
        {"no rules: nothing checked, nothing left out", nested, {}, true, {}, {}, 0},
    };
    return list;
}

QStringList described(const PreFlightReport& r)
{
    QStringList out;
    for (const ExclusionSummary& e : r.exclusions)
        out << QStringLiteral("%1 %2").arg(e.path).arg(e.fileCount);
    out.sort();
    return out;
}

QStringList keptPaths(const PreFlightReport& r)
{
    QStringList out;
    for (const QString& line : r.keptFolders)
        out << line.section(QStringLiteral(": "), 0, 0);
    out.sort();
    return out;
}

// The tree one level deep, as the report screen shows it.
QStringList tree(const PreFlightReport& r)
{
    QStringList out;
    for (const PreFlightDirectoryNode& root : r.rootNodes) {
        out << QStringLiteral("%1 %2 %3").arg(root.path).arg(root.fileCount).arg(root.totalBytes);
        for (const PreFlightDirectoryNode& n : root.children.value_or(QList<PreFlightDirectoryNode>()))
            out << QStringLiteral("  %1 %2 %3 %4").arg(n.path).arg(n.fileCount).arg(n.totalBytes).arg(int(n.status));
    }
    return out;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

// The repository checks run beside the walk, settled afterwards: the report is
// the one a walk that waited for each check would give, every file is counted
// once as sent or left out, and the same walk gives the sizes and placeholders.
TEST_F(ScanWalkerTest, ChecksBesideTheWalkFindWhatChecksInTurnFindInOneWalk)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        QDir(home()).removeRecursively();
        c.layout(*this);
        const QString documents = at(QStringLiteral("Documents"));
        std::atomic<int> asked{0};
        ScanRequest request;
        request.categories = {*DataCategory::find(QStringLiteral("userFiles"))};
        request.userFilesSelectedPaths = {QStringLiteral("~/Documents")};
        request.includeDerived = c.includeDerived;
        request.repositoryCheck = [this, &c, &asked](const QString& git) -> std::optional<QString> {
            ++asked;
            if (c.keep.contains(QDir(home()).relativeFilePath(git)))
                return QStringLiteral("it holds work of its own");
            return std::nullopt;
        };

        WithoutReadOverride reduced;
        const std::int64_t walksBefore = WalkCounter::timesWalked(documents);
        ScanCounters counters;
        request.checkThreads = 2;
        const PreFlightReport beside = scanHome(home(), request, ConnectionType::wifi, false, counters);
        EXPECT_EQ(WalkCounter::timesWalked(documents), walksBefore + 1);
        EXPECT_EQ(asked, c.checks);
        ScanCounters inTurnCounters;
        request.checkThreads = 0;
        const PreFlightReport inTurn = scanHome(home(), request, ConnectionType::wifi, false, inTurnCounters);

        EXPECT_EQ(described(beside), sorted(c.exclusions));
        EXPECT_EQ(keptPaths(beside), sorted(c.kept));
        // Walk order kept: the lists and the tree are exactly those of checks made in turn.
        EXPECT_EQ(beside.exclusions, inTurn.exclusions);
        EXPECT_EQ(beside.keptFolders, inTurn.keptFolders);
        EXPECT_EQ(tree(beside), tree(inTurn));
        EXPECT_EQ(beside.rootFigures, inTurn.rootFigures);
        EXPECT_EQ(counters.files.load(), beside.totalFiles) << "progress ends where the report does";

        // Every regular file the manifest's walk lists is sent or left out, never both.
        QList<TransferManifest::FileItem> items;
        files::appendCategoryItems(items, {QStringLiteral("~/Documents")}, QStringLiteral("userFiles"), UserFolders(home()));
        EXPECT_EQ(beside.totalFiles + beside.excludedFiles, items.size());
        TransferManifest manifest;
        manifest.items = items;
        for (const TransferManifest::FileItem& item : items)
            manifest.totalSize += item.size;
        leaveOutExclusions(manifest, beside, home());
        EXPECT_EQ(manifest.items.size(), beside.totalFiles);
        EXPECT_EQ(manifest.totalSize, beside.totalBytes);
        ASSERT_EQ(beside.rootNodes.size(), 1);
        std::int64_t sent = 0;
        for (const PreFlightDirectoryNode& n : *beside.rootNodes.first().children)
            sent += n.status == NodeStatus::excluded ? 0 : n.fileCount;
        EXPECT_EQ(sent, beside.totalFiles);
        EXPECT_EQ(beside.rootNodes.first().fileCount, beside.totalFiles);

        // The sizes and the placeholder check need no walk of their own.
        const std::int64_t walksAfterScans = WalkCounter::timesWalked(documents);
        const std::uint64_t visible = visibleBytesOf(beside, {QStringLiteral("~/Documents")});
        const std::optional<PlaceholderCount> placeholders = placeholdersFromScan(beside, home());
        EXPECT_EQ(WalkCounter::timesWalked(documents), walksAfterScans);
        EXPECT_EQ(visible, sizeOfDirectory(documents));
        ASSERT_TRUE(placeholders);
        EXPECT_EQ(placeholders->count, countICloudPlaceholders(home()).count);
    }
}

// However many repositories the walk meets, their checks run a few at a time
// on the scan's own threads; a cancelled scan asks no more.
TEST_F(ScanWalkerTest, RepositoryChecksRunOnABoundedPoolAndStopWhenCancelled)
{
    for (int i = 0; i < 30; ++i)
        makeFile(QStringLiteral("Documents/p%1/.git/HEAD").arg(i), 1);
    ScanRequest request;
    request.categories = {*DataCategory::find(QStringLiteral("userFiles"))};
    request.userFilesSelectedPaths = {QStringLiteral("~/Documents")};
    request.checkThreads = 2;
    std::atomic<int> running{0}, most{0}, asked{0};
    request.repositoryCheck = [&](const QString&) -> std::optional<QString> {
        const int now = ++running;
        int seen = most;
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        ++asked;
        --running;
        return std::nullopt;
    };
    ScanCounters counters;
    const PreFlightReport r = scanHome(home(), request, ConnectionType::wifi, false, counters);
    EXPECT_EQ(asked, 30);
    EXPECT_LE(most, 2);
    EXPECT_EQ(r.exclusions.size(), 30);

    // Cancelled by the first answer: what waits in the queue is dropped, the walk stops.
    asked = 0;
    ScanCounters cancelling;
    request.checkThreads = 1;
    request.repositoryCheck = [&](const QString&) -> std::optional<QString> {
        ++asked;
        cancelling.cancelled = true;
        return std::nullopt;
    };
    scanHome(home(), request, ConnectionType::wifi, false, cancelling);
    EXPECT_EQ(asked, 1);
}
