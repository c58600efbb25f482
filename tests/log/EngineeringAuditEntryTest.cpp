// SPDX-License-Identifier: Apache-2.0
#include "log/EngineeringAuditEntry.h"

#include <gtest/gtest.h>

#include <array>

using namespace kivo;

namespace {

MigrationItem planned(const QString& name, bool included, MigrationItem::Category category = MigrationItem::Category::dotfile)
{
    MigrationItem m;
    m.name = name;
    m.isIncluded = included;
    m.category = category;
    return m;
}

EngineeringToolsInventory fullInventory()
{
    EngineeringToolsInventory inv;
    inv.sourceArchitecture = QStringLiteral("x86_64");
    HomebrewInfo brew;
    brew.installed = true;
    brew.outdatedPackages = {QStringLiteral("git"), QStringLiteral("node")};
    inv.homebrew = brew;
    inv.shellConfigs = {{QStringLiteral(".bashrc"), {}, 10, {}, 0, 1}, {QStringLiteral(".zprofile"), {}, 10, {}, 2, 1}};
    for (const char* name : {".ssh", ".aws", ".npmrc"})
        inv.dotfiles << DotfileEntry{QString::fromLatin1(name), {}, 1, true, true, true, {}, {}};
    inv.dotfiles << DotfileEntry{QStringLiteral(".kube"), {}, 0, false, true, true, {}, {}}; // listed, not there
    inv.versionManagers = {{QStringLiteral("nvm"), {}, {QStringLiteral("v18"), QStringLiteral("v20")}},
                           {QStringLiteral("pyenv"), {}, {QStringLiteral("3.12")}}};
    inv.devDirectories = {{QStringLiteral("Projects"), QStringLiteral("~/Projects"), 3ull << 30, 40, 2, {}},
                          {QStringLiteral("src"), QStringLiteral("~/src"), 1 << 20, 3, 1, {}}};
    inv.ides = {{QStringLiteral("VSCode"), {}, {}, {}, {QStringLiteral("ms-python.python-2024.1.0")}, 0}};
    return inv;
}

PlanSelection fullPlan()
{
    PlanSelection s;
    s.items = {planned(".ssh", true), planned(".aws", false), planned(".npmrc", true), planned(".kube", true),
               planned("nvm", true, MigrationItem::Category::versionManager),
               planned("pyenv", false, MigrationItem::Category::versionManager),
               planned("VSCode", false, MigrationItem::Category::ide)};
    s.devDirectoryItems = {planned("Projects", false, MigrationItem::Category::devDirectory),
                           planned("src", true, MigrationItem::Category::devDirectory)};
    s.homebrewStrategy = HomebrewStrategy::copyInstallation;
    return s;
}

} // namespace

// What was found and what the plan decides, for a home with a bit of everything.
TEST(EngineeringAuditEntry, RecordsWhatWasFoundAndWhatThePlanSends)
{
    const EngineeringToolsLogEntry e = engineeringAuditEntry(fullInventory(), fullPlan(), QStringLiteral("arm64"));
    EXPECT_TRUE(e.detected && e.homebrewInstalled && e.architectureMismatch && e.shellConfigHardcodedPathsDetected);
    EXPECT_EQ(e.homebrewOutdatedCount, 2);
    EXPECT_EQ(e.homebrewMigrationStrategy, QStringLiteral("copyInstallation"));
    EXPECT_EQ(e.shellConfigFilesFound, (QStringList{".bashrc", ".zprofile"}));
    // Present and chosen (ssh, npmrc), present and left (aws), absent though planned (kube), never seen (docker).
    EXPECT_EQ((std::array{e.sshKeysPresent, e.sshKeysMigrated, e.npmrcPresent, e.npmrcMigrated, e.awsConfigPresent,
                          e.awsConfigMigrated, e.kubeConfigPresent, e.kubeConfigMigrated, e.dockerConfigPresent, e.dockerConfigMigrated}),
              (std::array{true, true, true, true, true, false, false, false, false, false}));
    EXPECT_EQ(e.versionManagers, (QList<VersionManagerLogEntry>{{"nvm", 2, true}, {"pyenv", 1, false}}));
    ASSERT_EQ(e.devDirectories.size(), 2);
    EXPECT_EQ(e.devDirectories[0], (DevDirectoryLogEntry{"~/Projects", 3.0, 2, false}));
    EXPECT_TRUE(e.devDirectories[1].migrated);
    // Brew copied and the editor left behind: no reinstall list reaches the Desktop.
    EXPECT_FALSE(e.checklistGenerated);
    // The entry is what the log file keeps.
    EXPECT_EQ(EngineeringToolsLogEntry::fromJson(e.toJson()), e);
}
