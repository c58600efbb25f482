// SPDX-License-Identifier: Apache-2.0
#include "log/EngineeringAuditEntry.h"

#include <algorithm>

namespace kivo {

namespace {

constexpr double kBytesPerGB = 1024.0 * 1024.0 * 1024.0;

bool includes(const QList<MigrationItem>& items, const QString& name)
{
    return std::any_of(items.begin(), items.end(), [&](const MigrationItem& m) { return m.isIncluded && m.name == name; });
}

// Present on the old machine, and whether the plan sends it.
std::pair<bool, bool> dotfile(const EngineeringToolsInventory& inventory, const PlanSelection& selection, const QString& name)
{
    const bool present = std::any_of(inventory.dotfiles.begin(), inventory.dotfiles.end(),
                                     [&](const DotfileEntry& d) { return d.exists && d.name == name; });
    return {present, present && includes(selection.items, name)};
}

} // namespace

EngineeringToolsLogEntry engineeringAuditEntry(const EngineeringToolsInventory& inventory, const PlanSelection& selection,
                                               const std::optional<QString>& destinationArchitecture)
{
    EngineeringToolsLogEntry e;
    e.detected = !inventory.isEmpty();
    const bool brew = inventory.homebrew && inventory.homebrew->installed;
    if (brew) {
        const HomebrewInfo& h = *inventory.homebrew;
        e.homebrewInstalled = true;
        if (!h.version.isEmpty())
            e.homebrewVersion = h.version;
        e.homebrewFormulaeCount = h.formulaeCount;
        e.homebrewCasksCount = h.casksCount;
        e.homebrewOutdatedCount = int(h.outdatedPackages.size());
        e.homebrewMigrationStrategy = toString(selection.homebrewStrategy);
    }
    if (!inventory.sourceArchitecture.isEmpty())
        e.sourceArchitecture = inventory.sourceArchitecture;
    if (destinationArchitecture && !destinationArchitecture->isEmpty())
        e.destinationArchitecture = destinationArchitecture;
    e.architectureMismatch = e.sourceArchitecture && e.destinationArchitecture && *e.sourceArchitecture != *e.destinationArchitecture;

    for (const ShellConfigFile& f : inventory.shellConfigs) {
        e.shellConfigFilesFound << f.filename;
        e.shellConfigHardcodedPathsDetected = e.shellConfigHardcodedPathsDetected || f.hardcodedPathCount > 0;
    }
    std::tie(e.sshKeysPresent, e.sshKeysMigrated) = dotfile(inventory, selection, QStringLiteral(".ssh"));
    std::tie(e.awsConfigPresent, e.awsConfigMigrated) = dotfile(inventory, selection, QStringLiteral(".aws"));
    std::tie(e.kubeConfigPresent, e.kubeConfigMigrated) = dotfile(inventory, selection, QStringLiteral(".kube"));
    std::tie(e.dockerConfigPresent, e.dockerConfigMigrated) = dotfile(inventory, selection, QStringLiteral(".docker"));
    std::tie(e.npmrcPresent, e.npmrcMigrated) = dotfile(inventory, selection, QStringLiteral(".npmrc"));

    for (const VersionManagerInfo& v : inventory.versionManagers)
        e.versionManagers << VersionManagerLogEntry{v.tool, int(v.managedVersions.size()), includes(selection.items, v.tool)};
    for (const DevDirectory& d : inventory.devDirectories)
        e.devDirectories << DevDirectoryLogEntry{d.path, double(d.totalSize) / kBytesPerGB, d.gitRepoCount,
                                                 includes(selection.devDirectoryItems, d.name)};
    if (inventory.globalPackages) {
        e.npmGlobalsCount = inventory.globalPackages->npmGlobalsCount;
        e.pipPackagesCount = inventory.globalPackages->pipPackagesCount;
        e.gemPackagesCount = inventory.globalPackages->gemPackagesCount;
        e.cargoPackagesCount = inventory.globalPackages->cargoPackagesCount;
    }
    if (inventory.xcode) {
        e.xcodeInstalled = inventory.xcode->installed;
        e.xcodeVersion = inventory.xcode->version;
        e.cltInstalled = inventory.xcode->commandLineToolsPath.has_value();
        e.simulatorDataSizeGB = double(inventory.xcode->simulatorDataSize) / kBytesPerGB;
    }
    // Simulator data is never part of the plan: it is rebuilt on the new machine.
    e.simulatorDataMigrated = false;

    // The reinstall lists placed on the new Desktop are the checklist.
    const bool brewfile = brew && selection.homebrewStrategy == HomebrewStrategy::brewfileReinstall;
    const bool packages = inventory.systemPackages && !inventory.systemPackages->manualPackages.isEmpty();
    const bool extensions = std::any_of(inventory.ides.begin(), inventory.ides.end(), [&](const IDEInfo& ide) {
        return !ide.extensions.isEmpty() && includes(selection.items, ide.product);
    });
    e.checklistGenerated = brewfile || packages || extensions;
    return e;
}

} // namespace kivo
