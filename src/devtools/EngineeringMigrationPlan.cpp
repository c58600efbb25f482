// SPDX-License-Identifier: Apache-2.0
#include "devtools/EngineeringMigrationPlan.h"

#include "categories/FileEnumeration.h"
#include "devtools/EngineeringToolsDetector.h"
#include "platform/ByteCount.h"
#include "platform/FileSystem.h"
#include "platform/UserFolders.h"

#include <QRegularExpression>
#include <QSet>

namespace kivo {

namespace {

const QString kCategoryID = QStringLiteral("engineeringTools");

// Configuration files of the version managers, relative to the home folder.
const QStringList kVersionManagerFiles = {
    QStringLiteral("/.nvm/.nvmrc"),      QStringLiteral("/.nvm/alias"),          QStringLiteral("/.rbenv/version"),
    QStringLiteral("/.pyenv/version"),   QStringLiteral("/.ruby-version"),       QStringLiteral("/.python-version"),
    QStringLiteral("/.tool-versions"),   QStringLiteral("/.mise.toml"),          QStringLiteral("/.config/mise/config.toml"),
    QStringLiteral("/.asdfrc"),          QStringLiteral("/.volta/hooks.json")};

// What of an editor's data is settings, not caches.
QStringList settingsPaths(const IDEInfo& ide)
{
    if (ide.product.startsWith(QLatin1String("JetBrains/")))
        return {ide.userDataPath + QStringLiteral("/options"), ide.userDataPath + QStringLiteral("/keymaps"),
                ide.userDataPath + QStringLiteral("/codestyles")};
    if (ide.product == QLatin1String("Xcode"))
        return {ide.userDataPath};
    return {ide.userDataPath + QStringLiteral("/User/settings.json"),
            ide.userDataPath + QStringLiteral("/User/keybindings.json"), ide.userDataPath + QStringLiteral("/User/snippets")};
}

MigrationItem item(QString name, QString description, std::uint64_t size, MigrationItem::Category category, bool included)
{
    MigrationItem m;
    m.name = std::move(name);
    m.description = std::move(description);
    m.sizeBytes = size;
    m.category = category;
    m.isIncluded = included;
    return m;
}

bool firstTime(QSet<QString>& seen, const QString& path)
{
    const qsizetype before = seen.size();
    seen.insert(path);
    return seen.size() > before;
}

// A file of ours for the destination's Desktop: written to the scratch folder, sent from there.
void appendDesktopFile(QList<TransferManifest::FileItem>& out, const ManifestContext& context, const QString& name,
                       const QByteArray& contents)
{
    const QString path = context.scratchFolder + u'/' + name;
    fs::writeFileAtomically(path, contents);
    if (const auto st = fs::status(path, fs::Links::dontFollow); st && st->isRegular())
        out << files::makeItem(path, QStringLiteral("~/Desktop/") + name, *st, kCategoryID);
}

} // namespace

QString toString(MigrationItem::Category category)
{
    switch (category) {
    case MigrationItem::Category::shellConfig: return QStringLiteral("shellConfig");
    case MigrationItem::Category::dotfile: return QStringLiteral("dotfile");
    case MigrationItem::Category::versionManager: return QStringLiteral("versionManager");
    case MigrationItem::Category::devDirectory: return QStringLiteral("devDirectory");
    case MigrationItem::Category::sensitive: return QStringLiteral("sensitive");
    case MigrationItem::Category::ide: return QStringLiteral("ide");
    }
    return {};
}

QString displayText(HomebrewStrategy strategy)
{
    return strategy == HomebrewStrategy::brewfileReinstall ? QStringLiteral("Reinstall via Brewfile (recommended)")
                                                           : QStringLiteral("Copy Homebrew installation (faster)");
}

QString toString(HomebrewStrategy strategy)
{
    return strategy == HomebrewStrategy::brewfileReinstall ? QStringLiteral("brewfileReinstall")
                                                           : QStringLiteral("copyInstallation");
}

QJsonObject MigrationItem::toJson() const
{
    QJsonObject o{{QStringLiteral("name"), name},
                  {QStringLiteral("description"), description},
                  {QStringLiteral("sizeBytes"), double(sizeBytes)},
                  {QStringLiteral("isIncluded"), isIncluded},
                  {QStringLiteral("requiresOptIn"), requiresOptIn},
                  {QStringLiteral("isSensitive"), isSensitive},
                  {QStringLiteral("category"), toString(category)}};
    if (sensitivityNote)
        o.insert(QStringLiteral("sensitivityNote"), *sensitivityNote);
    return o;
}

EngineeringMigrationPlan::EngineeringMigrationPlan(QObject* parent) : QObject(parent) {}

void EngineeringMigrationPlan::buildFromInventory(const EngineeringToolsInventory& inventory, bool architectureMismatch,
                                                  bool sensitiveAllowed, bool devDirectoriesAllowed)
{
    using C = MigrationItem::Category;
    PlanSelection next;
    for (const ShellConfigFile& f : inventory.shellConfigs) {
        const QString description =
            f.hardcodedPathCount > 0
                ? QStringLiteral("Shell config — %1 path reference(s) to review after migration").arg(f.hardcodedPathCount)
                : QStringLiteral("Shell configuration file");
        next.items << item(f.filename, description, f.size, C::shellConfig, true);
    }
    for (const DotfileEntry& d : inventory.dotfiles) {
        if (!d.isSensitive) {
            next.items << item(d.name, d.description, d.size, C::dotfile, true);
            continue;
        }
        MigrationItem s = item(d.name, d.description, d.size, C::sensitive, false);
        s.requiresOptIn = true;
        s.isSensitive = true;
        s.sensitivityNote = d.sensitivityReason;
        next.items << s;
    }
    for (const VersionManagerInfo& v : inventory.versionManagers)
        next.items << item(v.tool, QStringLiteral("Config and version definitions — binaries need reinstalling after migration"),
                           0, C::versionManager, true);
    for (const IDEInfo& ide : inventory.ides) {
        const QString description =
            ide.extensions.isEmpty()
                ? ide.displayName + QStringLiteral(" settings and keybindings")
                : ide.displayName + QStringLiteral(" settings, keybindings, and %1 extension(s) (reinstalled by name)")
                                        .arg(ide.extensions.size());
        next.items << item(ide.product, description, ide.userDataSizeBytes, C::ide, true);
    }
    if (devDirectoriesAllowed)
        for (const DevDirectory& d : inventory.devDirectories) {
            MigrationItem m = item(d.name, QStringLiteral("%1 git repos, %2").arg(d.gitRepoCount).arg(formatFileSize(d.totalSize)),
                                   d.totalSize, C::devDirectory, false);
            if (d.totalSize > kOneGigabyte)
                m.sensitivityNote = QStringLiteral("Over 1 GB — consider re-cloning from source control instead");
            next.devDirectoryItems << m;
        }
    m_homebrewForceBrewfile = architectureMismatch;
    next.homebrewStrategy = architectureMismatch ? HomebrewStrategy::brewfileReinstall : m_selection.homebrewStrategy;
    m_sensitiveAllowed = sensitiveAllowed;
    m_selection = std::move(next);
    Q_EMIT changed();
}

bool EngineeringMigrationPlan::toggleItem(const QString& name)
{
    for (QList<MigrationItem>* list : {&m_selection.items, &m_selection.devDirectoryItems})
        for (MigrationItem& m : *list)
            if (m.name == name) {
                if (m.isSensitive && !m_sensitiveAllowed)
                    return false;
                m.isIncluded = !m.isIncluded;
                Q_EMIT changed();
                return true;
            }
    return false;
}

void EngineeringMigrationPlan::setHomebrewStrategy(HomebrewStrategy strategy)
{
    if (m_homebrewForceBrewfile || strategy == m_selection.homebrewStrategy)
        return;
    m_selection.homebrewStrategy = strategy;
    Q_EMIT changed();
}

QList<MigrationItem> EngineeringMigrationPlan::includedItems() const
{
    QList<MigrationItem> out;
    for (const MigrationItem& m : m_selection.items)
        if (m.isIncluded)
            out << m;
    return out;
}

QList<MigrationItem> EngineeringMigrationPlan::includedDevDirectories() const
{
    QList<MigrationItem> out;
    for (const MigrationItem& m : m_selection.devDirectoryItems)
        if (m.isIncluded)
            out << m;
    return out;
}

std::uint64_t EngineeringMigrationPlan::totalSize() const
{
    std::uint64_t total = 0;
    for (const MigrationItem& m : includedItems())
        total += m.sizeBytes;
    for (const MigrationItem& m : includedDevDirectories())
        total += m.sizeBytes;
    return total;
}

files::Listing buildManifestItems(const PlanSelection& selection, const EngineeringToolsInventory& inventory,
                                  const ManifestContext& context)
{
    using C = MigrationItem::Category;
    const UserFolders home(context.homeFolder);
    files::Listing out;
    QStringList listed;
    bool anyVersionManager = false;
    for (const MigrationItem& m : selection.items) {
        if (!m.isIncluded)
            continue;
        switch (m.category) {
        case C::shellConfig:
            listed << QStringLiteral("~/") + m.name;
            break;
        case C::dotfile:
        case C::sensitive:
            for (const QString& path : dotfilePaths(m.name))
                listed << QStringLiteral("~/") + path;
            break;
        case C::versionManager:
            anyVersionManager = true;
            break;
        case C::ide:
            for (const IDEInfo& ide : inventory.ides)
                if (ide.product == m.name)
                    for (const QString& path : settingsPaths(ide))
                        listed << home.abbreviate(path);
            break;
        case C::devDirectory:
            break;
        }
    }
    if (anyVersionManager)
        for (const QString& file : kVersionManagerFiles)
            listed << QStringLiteral("~") + file;
    for (const MigrationItem& m : selection.devDirectoryItems)
        if (m.isIncluded)
            listed << QStringLiteral("~/") + m.name;
    listed.removeDuplicates();
    // Folders and links travel as themselves, and what cannot travel is said, as for the user's files.
    files::appendCategoryItems(out.items, listed, kCategoryID, home, &out.skipped, &out.entries);
    // A path listed twice (a tool's folder and a version manager's file inside it) is sent once.
    QSet<QString> seen;
    out.items.removeIf([&](const TransferManifest::FileItem& f) { return !firstTime(seen, f.relativePath); });
    out.entries.removeIf([&](const TransferManifest::Entry& e) { return !firstTime(seen, e.relativePath); });

    for (const MigrationItem& m : selection.items) {
        if (m.category != C::ide || !m.isIncluded)
            continue;
        for (const IDEInfo& ide : inventory.ides) {
            if (ide.product != m.name || ide.extensions.isEmpty())
                continue;
            QStringList ids;
            for (const QString& folder : ide.extensions)
                ids << extensionID(folder);
            ids.removeDuplicates();
            appendDesktopFile(out.items, context, extensionsFileName(ide.product, context.date), (ids.join(u'\n') + u'\n').toUtf8());
        }
    }
    if (inventory.homebrew && selection.homebrewStrategy == HomebrewStrategy::brewfileReinstall)
        appendDesktopFile(out.items, context, brewfileName(context.date), inventory.homebrew->brewfileContents.toUtf8());
    if (inventory.systemPackages && !inventory.systemPackages->manualPackages.isEmpty())
        appendDesktopFile(out.items, context, packagesFileName(context.date),
                          (inventory.systemPackages->manualPackages.join(u'\n') + u'\n').toUtf8());
    return out;
}

QString fileDate(const QDate& date) { return date.toString(QStringLiteral("yyyy-MM-dd")); }

QString extensionID(const QString& folderName)
{
    static const QRegularExpression versioned(QStringLiteral("^(.+)-\\d+\\.\\d+.*$"));
    const QRegularExpressionMatch m = versioned.match(folderName);
    return m.hasMatch() ? m.captured(1) : folderName;
}

QString extensionsFileName(const QString& product, const QDate& date)
{
    return product + QStringLiteral("-extensions-") + fileDate(date) + QStringLiteral(".txt");
}

QString brewfileName(const QDate& date) { return QStringLiteral("Brewfile-migration-") + fileDate(date) + QStringLiteral(".txt"); }

QString packagesFileName(const QDate& date) { return QStringLiteral("Packages-migration-") + fileDate(date) + QStringLiteral(".txt"); }

} // namespace kivo
