// SPDX-License-Identifier: Apache-2.0
#include "devtools/EngineeringAuditReport.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "platform/TreeUsage.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

DevDirectory folder(const QString& name, std::uint64_t size, int repos = 0)
{
    DevDirectory d;
    d.name = name;
    d.path = QStringLiteral("/home/ann/") + name;
    d.totalSize = size;
    d.gitRepoCount = repos;
    return d;
}

DotfileEntry dotfile(const QString& name, bool sensitive)
{
    for (const DotfileRow& row : dotfileTable())
        if (name == QLatin1String(row.name))
            return {name, QStringLiteral("/home/ann/") + name, 10, true, sensitive, sensitive,
                    QString::fromUtf8(row.description),
                    row.reason ? std::optional(QString::fromUtf8(row.reason)) : std::nullopt};
    return {};
}

// An inventory with something in every section.
EngineeringToolsInventory fullInventory()
{
    EngineeringToolsInventory inv;
    inv.homebrew = HomebrewInfo{true, "Homebrew 4.2.0", "/opt/homebrew/bin/brew", true, 3, 1, "brew \"git\"\n", {"git"}, 5000};
    inv.shellConfigs = {{".zshrc", "/home/ann/.zshrc", 100, std::nullopt, 2, 1}, {".profile", "/home/ann/.profile", 10, std::nullopt, 0, 0}};
    inv.dotfiles = {dotfile(".gitconfig", false), dotfile(".ssh", true)};
    inv.devDirectories = {folder("Projects", 2000, 2)};
    inv.versionManagers = {{"nvm", "/home/ann/.nvm", {"v20.1.0", "v18.0.0"}}};
    inv.globalPackages = GlobalPackages{1, 2, 3, 4};
    inv.xcode = XcodeInfo{true, "15.2", "/Library/Developer/CommandLineTools", 0};
    inv.ides = {{"VSCode", "Visual Studio Code", "/home/ann/.config/Code", "/home/ann/.vscode/extensions",
                 {"ms-python.python-2024.2.1"}, 10}};
    inv.systemPackages = SystemPackages{"apt", {"git", "vim"}};
    inv.sourceArchitecture = "x86_64";
    return inv;
}

} // namespace

TEST(DevtoolsReaders, ShellLinesCountHomePathsAndPathExportsOutsideComments)
{
    const QStringList home = {"/home/ann", "/srv/homes/ann"};
    struct Case {
        const char* text;
        int hardcoded;
        int exports;
    } cases[] = {
        {"export PATH=/home/ann/bin:$PATH", 1, 1},
        {"  \t# export PATH=/home/ann/bin", 0, 0},
        {"export PATH \"$PATH:/opt\"", 0, 1},
        {"export PATHS=1", 0, 0},
        {"source /srv/homes/ann/.aliases\nalias x=/home/ann/x # /home/ann", 2, 0},
        {"cd /home/anna", 1, 0}, // a longer name still holds the home path: kept as the simple substring rule
    };
    for (const Case& c : cases) {
        const auto counts = EngineeringToolsDetector::countShellLines(QString::fromUtf8(c.text), home);
        EXPECT_EQ(counts.hardcodedPaths, c.hardcoded) << c.text;
        EXPECT_EQ(counts.pathExports, c.exports) << c.text;
    }
}

TEST(DevtoolsReaders, ToolOutputsAreCountedAsTheToolsPrintThem)
{
    EXPECT_EQ(EngineeringToolsDetector::countNpmGlobals("/usr/lib\n├── corepack@0.34.6\n└── npm@11.1.0\n"), 2);
    EXPECT_EQ(EngineeringToolsDetector::countNpmGlobals("/usr/lib\n`-- (empty)\n"), 0);
    EXPECT_EQ(EngineeringToolsDetector::countPipPackages("Package Version\n------- -------\npip 24.0\nsix 1.16\n\n"), 2);
    EXPECT_EQ(EngineeringToolsDetector::countPipPackages("WARNING: something\n"), 0);
    EXPECT_EQ(EngineeringToolsDetector::bareVersions("  3.1.0\n* 3.2.0\n\n system \n"),
              QStringList({"3.1.0", "3.2.0", "system"}));
    EXPECT_EQ(extensionID("acme.3d-viewer-1.0.0"), "acme.3d-viewer");
    EXPECT_EQ(extensionID("ms-python.vscode-pylance-2024.2.1-linux-x64"), "ms-python.vscode-pylance");
    EXPECT_EQ(extensionID("no-version"), "no-version");
}

TEST(DevtoolsPlan, FoldersOverOneGigabyteCarryANoteAndAreNeverIncludedByDefault)
{
    EngineeringToolsInventory inv;
    inv.devDirectories = {folder("Projects", kOneGigabyte), folder("src", kOneGigabyte + 1)};
    EngineeringMigrationPlan plan;
    plan.buildFromInventory(inv, false, true, true);
    ASSERT_EQ(plan.devDirectoryItems().size(), 2);
    EXPECT_FALSE(plan.devDirectoryItems()[0].sensitivityNote);
    EXPECT_EQ(plan.devDirectoryItems()[1].sensitivityNote, "Over 1 GB — consider re-cloning from source control instead");
    EXPECT_TRUE(plan.includedDevDirectories().isEmpty());
    EXPECT_TRUE(plan.toggleItem("src"));
    EXPECT_EQ(plan.totalSize(), kOneGigabyte + 1);

    plan.buildFromInventory(inv, false, true, false);
    EXPECT_TRUE(plan.devDirectoryItems().isEmpty());
}

TEST(DevtoolsPlan, SensitiveItemsWaitForAToggleAndMismatchForcesTheBrewfile)
{
    const EngineeringToolsInventory inv = fullInventory();
    EngineeringMigrationPlan plan;
    plan.setHomebrewStrategy(HomebrewStrategy::copyInstallation);
    plan.buildFromInventory(inv, true, true, true);
    EXPECT_TRUE(plan.homebrewForceBrewfile());
    EXPECT_EQ(plan.homebrewStrategy(), HomebrewStrategy::brewfileReinstall);
    plan.setHomebrewStrategy(HomebrewStrategy::copyInstallation);
    EXPECT_EQ(plan.homebrewStrategy(), HomebrewStrategy::brewfileReinstall);

    QStringList included;
    for (const MigrationItem& m : plan.includedItems())
        included << m.name;
    EXPECT_EQ(included, QStringList({".zshrc", ".profile", ".gitconfig", "nvm", "VSCode"}));

    EXPECT_TRUE(plan.toggleItem(".ssh"));
    EXPECT_EQ(plan.includedItems().size(), 6);
    EXPECT_FALSE(plan.toggleItem(".nothing"));

    plan.buildFromInventory(inv, false, false, true); // sensitive items not allowed at all
    EXPECT_FALSE(plan.toggleItem(".ssh"));
    EXPECT_FALSE(plan.homebrewForceBrewfile());
}

TEST(DevtoolsPlan, ManifestEntriesCarryTheSettingsAndTheDesktopFiles)
{
    QTemporaryDir home, scratch;
    const QString h = home.path();
    for (const char* file : {".zshrc", ".gitconfig", ".ssh/id_ed25519", ".tool-versions", ".config/Code/User/settings.json",
                             ".config/Code/User/snippets/py.json", ".config/Code/Cache/blob", ".config/git/config",
                             ".config/chromium/Default/Cookies", "Projects/a/v2/f"})
        writeBytes(h + "/" + file, "x");
    // Links, empty folders and folder modes travel as they are.
    ASSERT_TRUE(QFile::link("v2", h + "/Projects/a/current"));
    ASSERT_TRUE(QDir(h).mkpath("Projects/a/empty"));
    ASSERT_TRUE(QFile::setPermissions(h + "/.ssh", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    EngineeringToolsInventory inv = fullInventory();
    inv.shellConfigs = {{".zshrc", h + "/.zshrc", 1, std::nullopt, 0, 0}};
    inv.dotfiles << dotfile(".config", false);
    inv.ides[0].userDataPath = h + "/.config/Code";
    EngineeringMigrationPlan plan;
    plan.buildFromInventory(inv, false, true, true);
    const QDate day(2026, 3, 4);
    files::Listing listing;
    auto paths = [&] {
        listing = buildManifestItems(plan.selection(), inv, {h, scratch.path(), day});
        QStringList out;
        for (const auto& f : listing.items) {
            EXPECT_EQ(f.categoryID, "engineeringTools");
            out << f.relativePath;
        }
        out.sort();
        return out;
    };
    // ".config" is the developer tools' folders in it, never a browser's or an application's.
    EXPECT_EQ(paths(), QStringList({"~/.config/Code/User/settings.json", "~/.config/Code/User/snippets/py.json",
                                    "~/.config/git/config", "~/.gitconfig", "~/.tool-versions", "~/.zshrc",
                                    "~/Desktop/Brewfile-migration-2026-03-04.txt",
                                    "~/Desktop/Packages-migration-2026-03-04.txt",
                                    "~/Desktop/VSCode-extensions-2026-03-04.txt"}));
    EXPECT_EQ(readBytes(scratch.path() + "/Packages-migration-2026-03-04.txt"), "git\nvim\n");

    plan.toggleItem(".ssh");
    plan.toggleItem("Projects");
    plan.setHomebrewStrategy(HomebrewStrategy::copyInstallation);
    const QStringList more = paths();
    EXPECT_TRUE(more.contains("~/.ssh/id_ed25519"));
    EXPECT_TRUE(more.contains("~/Projects/a/v2/f"));
    EXPECT_FALSE(more.contains("~/Desktop/Brewfile-migration-2026-03-04.txt"));
    QMap<QString, TransferManifest::Entry> entries;
    for (const auto& e : listing.entries)
        entries.insert(e.relativePath, e);
    EXPECT_EQ(entries.value("~/Projects/a/current").linkTarget, "v2");
    EXPECT_EQ(entries.value("~/Projects/a/empty").kind, TransferManifest::Entry::Kind::folder);
    EXPECT_EQ(entries.value("~/.ssh").mode, std::optional<std::uint16_t>(0700));
    // What a snapshot of the same plan copies: the listed roots, none of the Desktop files written elsewhere.
    QStringList roots = files::topmostPaths(listing, UserFolders(h));
    roots.sort();
    EXPECT_EQ(roots, QStringList({".config/Code/User/settings.json", ".config/Code/User/snippets", ".config/git", ".gitconfig",
                                  ".ssh", ".tool-versions", ".zshrc", "Projects"}));
}

// The report is checked the way a reader sees it: rendered by an independent CommonMark renderer.
TEST(DevtoolsReport, RendersAsCommonMarkWithTheSectionsInOrder)
{
    const auto render = [](const QString& markdown) {
        QProcess cmark;
        cmark.start("cmark", {});
        cmark.write(markdown.toUtf8());
        cmark.closeWriteChannel();
        EXPECT_TRUE(cmark.waitForFinished(10000));
        return QString::fromUtf8(cmark.readAllStandardOutput());
    };
    const auto headings = [](const QString& html) {
        QStringList out;
        QRegularExpression re(QStringLiteral("<h2>(.*?)</h2>"));
        for (auto it = re.globalMatch(html); it.hasNext();)
            out << it.next().captured(1);
        return out;
    };

    EngineeringAuditReport report{fullInventory(), "arm64", "ethernet"};
    const QString html = render(report.exportMarkdown(QDateTime(QDate(2026, 1, 2), QTime(9, 5))));
    EXPECT_EQ(headings(html),
              QStringList({"Summary", "Homebrew", "Shell Configuration Files", "Configuration Files",
                           "Sensitive Configuration (Requires Opt-In)", "Language Version Managers",
                           "Development Directories", "Xcode &amp; Developer Tools", "Global Package Installs",
                           "System Packages"}));
    EXPECT_FALSE(html.contains("<p>-")) << "a bullet rendered as a paragraph";

    // Only sections with content, and no mismatch note for the same architecture.
    EngineeringToolsInventory few;
    few.shellConfigs = {{".bashrc", "/home/ann/.bashrc", 1, std::nullopt, 0, 0}};
    few.sourceArchitecture = "x86_64";
    const QString small = render(EngineeringAuditReport{few, "x86_64", "wifi"}.exportMarkdown());
    EXPECT_EQ(headings(small), QStringList({"Summary", "Shell Configuration Files"}));
    EXPECT_FALSE(small.contains("Mismatch"));
}

TEST(DevtoolsPlatform, TreesAreMeasuredWithoutFollowingLinks)
{
    QTemporaryDir dir;
    const QString r = dir.path();
    writeBytes(r + "/a/one", "12345");
    writeBytes(r + "/a/.hidden", "12");
    writeBytes(r + "/a/b/two", "1");
    writeBytes(r + "/c", "123");
    ASSERT_TRUE(QFile::link(r + "/a", r + "/link-to-a"));
    ASSERT_TRUE(QFile::link(r + "/c", r + "/link-to-c"));
    ASSERT_TRUE(QFile::link(r, r + "/a/loop"));
    const fs::TreeUsageReport report = fs::measureTree(r, {"a", "a/b", "missing"});
    EXPECT_EQ(report.total, (fs::TreeUsage{11, 4}));
    EXPECT_EQ(report.subtrees.value("a"), (fs::TreeUsage{8, 3}));
    EXPECT_EQ(report.subtrees.value("a/b"), (fs::TreeUsage{1, 1}));
    EXPECT_FALSE(report.subtrees.contains("missing"));
    EXPECT_EQ(fs::measureTree(r + "/nothing").total, fs::TreeUsage{});
}
