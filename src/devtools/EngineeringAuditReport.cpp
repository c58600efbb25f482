// SPDX-License-Identifier: Apache-2.0
#include "devtools/EngineeringAuditReport.h"

#include "devtools/EngineeringMigrationPlan.h"
#include "platform/ByteCount.h"

namespace kivo {

namespace {

// Sustained copy rates, in bytes per second, that a migration sees in practice.
double bytesPerSecond(const QString& connectionType)
{
    if (connectionType == QLatin1String("thunderbolt"))
        return 1000e6;
    if (connectionType == QLatin1String("ethernet"))
        return 110e6;
    return 40e6;
}

QString connectionName(const QString& connectionType)
{
    if (connectionType == QLatin1String("thunderbolt"))
        return QStringLiteral("Thunderbolt");
    if (connectionType == QLatin1String("ethernet"))
        return QStringLiteral("Ethernet");
    return QStringLiteral("Wi-Fi");
}

// One function a section; each returns nothing when its section has no content.
QString homebrewSection(const EngineeringToolsInventory& inventory)
{
    QString md;
    if (const auto& brew = inventory.homebrew) {
        md += QStringLiteral("## Homebrew\n\n");
        md += QStringLiteral("- Version: ") + brew->version + u'\n';
        md += QStringLiteral("- Path: `") + brew->brewPath + QStringLiteral("`\n");
        md += QStringLiteral("- Architecture: ") + (brew->isAppleSilicon ? QStringLiteral("Apple Silicon") : QStringLiteral("Intel")) + u'\n';
        md += QStringLiteral("- Formulae: %1\n").arg(brew->formulaeCount);
        md += QStringLiteral("- Casks: %1\n").arg(brew->casksCount);
        md += QStringLiteral("- Install size: ~") + formatFileSize(brew->installSizeEstimate) + u'\n';
        if (!brew->outdatedPackages.isEmpty())
            md += QStringLiteral("- Outdated packages: %1\n").arg(brew->outdatedPackages.size());
        md += u'\n';
    }
    return md;
}

QString shellSection(const EngineeringToolsInventory& inventory)
{
    QString md;
    if (!inventory.shellConfigs.isEmpty()) {
        md += QStringLiteral("## Shell Configuration Files\n\n");
        bool anyHardcoded = false;
        for (const ShellConfigFile& f : inventory.shellConfigs) {
            md += QStringLiteral("- `") + f.filename + u'`';
            if (f.hardcodedPathCount > 0) {
                md += QStringLiteral(" — %1 hardcoded path reference(s)").arg(f.hardcodedPathCount);
                anyHardcoded = true;
            }
            md += u'\n';
        }
        md += anyHardcoded ? QStringLiteral("\nReview these files after migration — hardcoded paths may need updating if "
                                            "your username changed.\n\n")
                           : QStringLiteral("\n");
    }
    return md;
}

QString dotfileSections(const EngineeringToolsInventory& inventory)
{
    QString md;
    QString ordinary, sensitive;
    for (const DotfileEntry& d : inventory.dotfiles) {
        if (d.isSensitive)
            sensitive += QStringLiteral("- `") + d.name + QStringLiteral("` — ") + d.sensitivityReason.value_or(d.description) + u'\n';
        else
            ordinary += QStringLiteral("- `") + d.name + QStringLiteral("` — ") + d.description + u'\n';
    }
    if (!ordinary.isEmpty())
        md += QStringLiteral("## Configuration Files\n\n") + ordinary + u'\n';
    if (!sensitive.isEmpty())
        md += QStringLiteral("## Sensitive Configuration (Requires Opt-In)\n\n") + sensitive + u'\n';
    return md;
}

QString versionManagerSection(const EngineeringToolsInventory& inventory)
{
    QString md;
    if (!inventory.versionManagers.isEmpty()) {
        md += QStringLiteral("## Language Version Managers\n\n");
        for (const VersionManagerInfo& v : inventory.versionManagers)
            md += QStringLiteral("- %1: %2 version(s) managed\n").arg(v.tool).arg(v.managedVersions.size());
        md += QStringLiteral("\nkivo migrates configuration files only. Run install commands after migration to rebuild binaries.\n\n");
    }
    return md;
}

QString devDirectorySection(const EngineeringToolsInventory& inventory, const QString& connectionType)
{
    QString md;
    if (!inventory.devDirectories.isEmpty()) {
        md += QStringLiteral("## Development Directories\n\n");
        for (const DevDirectory& d : inventory.devDirectories)
            md += QStringLiteral("- `~/%1`: %2 GB, %3 files, %4 git repos (copy time over %5: %6)\n")
                      .arg(d.name)
                      .arg(QString::asprintf("%.1f", double(d.totalSize) / double(kOneGigabyte)))
                      .arg(d.fileCount)
                      .arg(d.gitRepoCount)
                      .arg(connectionName(connectionType), EngineeringAuditReport::copyTimeEstimate(d.totalSize, connectionType));
        md += QStringLiteral("\nLarge development directories are best re-cloned from source control.\n\n");
    }
    return md;
}

QString xcodeSection(const EngineeringToolsInventory& inventory)
{
    QString md;
    if (const auto& xcode = inventory.xcode) {
        md += QStringLiteral("## Xcode & Developer Tools\n\n");
        md += QStringLiteral("- Xcode ")
            + (xcode->installed ? xcode->version.value_or(QStringLiteral("installed")) : QStringLiteral("not found")) + u'\n';
        md += QStringLiteral("- Command Line Tools: ")
            + (xcode->commandLineToolsPath ? u'`' + *xcode->commandLineToolsPath + u'`' : QStringLiteral("not found")) + u'\n';
        md += QStringLiteral("- Simulator data: ") + formatFileSize(xcode->simulatorDataSize) + u'\n';
        md += QStringLiteral("\nCommand Line Tools must be reinstalled on the destination: `xcode-select --install`\n\n");
    }
    return md;
}

QString globalPackagesSection(const EngineeringToolsInventory& inventory)
{
    QString md;
    if (const auto& p = inventory.globalPackages; p && !p->isEmpty()) {
        md += QStringLiteral("## Global Package Installs\n\n");
        md += QStringLiteral("- npm globals: %1\n").arg(p->npmGlobalsCount);
        md += QStringLiteral("- pip packages: %1\n").arg(p->pipPackagesCount);
        md += QStringLiteral("- gem packages: %1\n").arg(p->gemPackagesCount);
        md += QStringLiteral("- cargo binaries: %1\n\n").arg(p->cargoPackagesCount);
    }
    return md;
}

QString systemPackagesSection(const EngineeringToolsInventory& inventory, const QDate& today)
{
    QString md;
    if (const auto& s = inventory.systemPackages; s && !s->manualPackages.isEmpty()) {
        const QString file = QStringLiteral("~/Desktop/") + packagesFileName(today);
        md += QStringLiteral("## System Packages\n\n");
        md += QStringLiteral("- %1: %2 manually installed packages, listed in `%3`\n")
                  .arg(s->manager)
                  .arg(s->manualPackages.size())
                  .arg(file);
        md += QStringLiteral("\nInstall them on the destination: `xargs -a %1 apt-get install -y`\n\n").arg(file);
    }
    return md;
}

} // namespace

bool EngineeringAuditReport::architectureMismatch() const
{
    return !destinationArchitecture.isEmpty() && !inventory.sourceArchitecture.isEmpty()
        && destinationArchitecture != inventory.sourceArchitecture;
}

QString EngineeringAuditReport::summary() const
{
    if (inventory.isEmpty())
        return QStringLiteral("No engineering tools detected.");
    QStringList parts;
    if (inventory.homebrew)
        parts << QStringLiteral("Homebrew with %1 formulae and %2 casks")
                     .arg(inventory.homebrew->formulaeCount)
                     .arg(inventory.homebrew->casksCount);
    if (const qsizetype n = inventory.versionManagers.size())
        parts << QStringLiteral("%1 language version manager%2").arg(n).arg(n > 1 ? QStringLiteral("s") : QString());
    if (const qsizetype n = inventory.devDirectories.size()) {
        std::uint64_t total = 0;
        for (const DevDirectory& d : inventory.devDirectories)
            total += d.totalSize;
        parts << QStringLiteral("%1 development director%2 totalling %3")
                     .arg(n)
                     .arg(n > 1 ? QStringLiteral("ies") : QStringLiteral("y"))
                     .arg(formatFileSize(total));
    }
    qsizetype sensitive = 0;
    for (const DotfileEntry& d : inventory.dotfiles)
        sensitive += d.isSensitive ? 1 : 0;
    if (sensitive)
        parts << QStringLiteral("%1 requiring explicit approval").arg(sensitive);
    if (parts.isEmpty())
        return QStringLiteral("We found developer configuration to migrate.");
    return QStringLiteral("We found ") + parts.join(QStringLiteral(", ")) + u'.';
}

QString EngineeringAuditReport::copyTimeEstimate(std::uint64_t bytes, const QString& connectionType)
{
    const double seconds = double(bytes) / bytesPerSecond(connectionType);
    if (seconds < 60)
        return QStringLiteral("< 1 min");
    const qint64 minutes = qint64(seconds / 60 + 0.5);
    if (minutes < 60)
        return QStringLiteral("~%1 min").arg(minutes);
    return QStringLiteral("~%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

QString EngineeringAuditReport::fileName(const QDate& date)
{
    return QStringLiteral("kivo-engineering-audit-") + fileDate(date) + QStringLiteral(".md");
}

QString EngineeringAuditReport::exportMarkdown(const QDateTime& now) const
{
    QString md = QStringLiteral("# kivo Engineering Tools Audit Report\n\n");
    md += QStringLiteral("Generated on ") + now.toString(QStringLiteral("yyyy-MM-dd HH:mm")) + QStringLiteral("\n\n");
    md += QStringLiteral("## Summary\n\n") + summary() + QStringLiteral("\n\n");
    if (architectureMismatch())
        md += QStringLiteral("> **Architecture Mismatch:** Source is %1, destination is %2. Homebrew binaries cannot be "
                             "directly copied — kivo will reinstall via Brewfile.\n\n")
                  .arg(inventory.sourceArchitecture, destinationArchitecture);

    md += homebrewSection(inventory) + shellSection(inventory) + dotfileSections(inventory)
        + versionManagerSection(inventory) + devDirectorySection(inventory, connectionType) + xcodeSection(inventory)
        + globalPackagesSection(inventory) + systemPackagesSection(inventory, now.date());
    return md;
}

} // namespace kivo
