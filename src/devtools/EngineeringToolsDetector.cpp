// SPDX-License-Identifier: Apache-2.0
#include "devtools/EngineeringToolsDetector.h"

#include "platform/CommandRunner.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/Observable.h"
#include "platform/PropertyList.h"
#include "platform/SmallFiles.h"
#include "platform/TreeUsage.h"

#include <QCoroFuture>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>

#include <future>

namespace kivo {

namespace {

// Start-up files are small; a larger one is not read, so it counts nothing.
constexpr qint64 kMaxShellFileBytes = 4 * 1024 * 1024;

struct EditorRow {
    const char* product;
    const char* displayName;
    const char* folder;
    const char* extensionsFolder;
};
const EditorRow kEditors[] = {{"VSCode", "Visual Studio Code", "Code", ".vscode"},
                              {"Cursor", "Cursor", "Cursor", ".cursor"},
                              {"Windsurf", "Windsurf", "Windsurf", ".windsurf"}};

bool isDirectory(const QString& path)
{
    const auto st = fs::status(path, fs::Links::dontFollow);
    return st && st->isDirectory();
}

bool exists(const QString& path) { return fs::status(path, fs::Links::dontFollow).has_value(); }

// Sub-folder names, links and hidden ones left out, sorted.
QStringList subfolders(const QString& path)
{
    return QDir(path).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
}

CommandOptions commandOptions(const DetectorSettings& settings, QMap<QString, QString> environment)
{
    CommandOptions options;
    options.timeout = settings.commandTimeout;
    options.environment = std::move(environment);
    return options;
}

QStringList nonEmptyTrimmedLines(const QString& output)
{
    QStringList out;
    for (const QString& line : output.split(u'\n')) {
        const QString t = line.trimmed();
        if (!t.isEmpty())
            out << t;
    }
    return out;
}

QString executableOrOnPath(const QString& preferred, const QString& name)
{
    if (!preferred.isEmpty() && QFileInfo(preferred).isExecutable())
        return preferred;
    return findExecutable(name);
}

// Spaces and tabs only: other white space is part of the line.
QStringView trimSpacesAndTabs(QStringView line)
{
    qsizetype start = 0, end = line.size();
    while (start < end && (line[start] == u' ' || line[start] == u'\t'))
        ++start;
    while (end > start && (line[end - 1] == u' ' || line[end - 1] == u'\t' || line[end - 1] == u'\r'))
        --end;
    return line.mid(start, end - start);
}

std::uint64_t sizeOfPath(const QString& path)
{
    const auto st = fs::status(path, fs::Links::dontFollow);
    if (!st)
        return 0;
    if (st->isDirectory())
        return fs::measureTree(path).total.bytes;
    return st->isRegular() ? st->size : 0;
}

} // namespace

const QList<DotfileRow>& dotfileTable()
{
    static const QList<DotfileRow> table = {
        {".gitconfig", false, "Git configuration", nullptr},
        {".ssh", true, "SSH keys and configuration", "Contains private keys used for server and Git access"},
        {".aws", true, "AWS credentials and configuration", "Contains AWS access keys and secret keys"},
        {".kube", true, "Kubernetes configuration", "Contains cluster access credentials"},
        {".docker", true, "Docker configuration", "May contain registry authentication tokens"},
        {".npmrc", true, "npm configuration", "May contain registry authentication tokens"},
        {".gemrc", false, "RubyGems configuration", nullptr},
        {".cargo", false, "Rust/Cargo configuration and binaries", nullptr},
        {".config", false, "XDG configuration directory", nullptr}};
    return table;
}

const QStringList& shellStartupFiles()
{
    static const QStringList names = {QStringLiteral(".zshrc"),        QStringLiteral(".zprofile"),
                                      QStringLiteral(".zshenv"),       QStringLiteral(".bashrc"),
                                      QStringLiteral(".bash_profile"), QStringLiteral(".bash_logout"),
                                      QStringLiteral(".profile")};
    return names;
}

const QStringList& devDirectoryNames()
{
    static const QStringList names = {QStringLiteral("Developer"), QStringLiteral("Projects"), QStringLiteral("Code"),
                                      QStringLiteral("code"),      QStringLiteral("dev"),      QStringLiteral("src"),
                                      QStringLiteral("workspace"), QStringLiteral("repos")};
    return names;
}

QStringList dotfilePaths(const QString& name)
{
    if (name != QLatin1String(".config"))
        return {name};
    // Terminal, editor and shell tools; not "gh", whose folder holds its login token.
    static const QStringList tools = {QStringLiteral("git"),      QStringLiteral("nvim"),      QStringLiteral("helix"),
                                      QStringLiteral("fish"),     QStringLiteral("tmux"),      QStringLiteral("alacritty"),
                                      QStringLiteral("kitty"),    QStringLiteral("wezterm"),   QStringLiteral("starship.toml"),
                                      QStringLiteral("direnv"),   QStringLiteral("lazygit"),   QStringLiteral("zellij"),
                                      QStringLiteral("mise"),     QStringLiteral("ripgrep"),   QStringLiteral("bat")};
    QStringList out;
    for (const QString& tool : tools)
        out << name + u'/' + tool;
    return out;
}

EngineeringToolsDetector::EngineeringToolsDetector(DetectorSettings settings, QObject* parent)
    : QObject(parent), m_settings(std::move(settings))
{
}

void EngineeringToolsDetector::useInventory(EngineeringToolsInventory inventory)
{
    if (!(inventory == m_inventory)) {
        m_inventory = std::move(inventory);
        Q_EMIT inventoryChanged();
    }
    assignAndNotify(this, m_hasScanned, true, &EngineeringToolsDetector::hasScannedChanged);
}

QCoro::Task<void> EngineeringToolsDetector::scan(QString homeFolder, QString username, bool includeDevDirectories)
{
    QPointer<EngineeringToolsDetector> self(this);
    assignAndNotify(this, m_isScanning, true, &EngineeringToolsDetector::isScanningChanged);
    QFuture<EngineeringToolsInventory> future = QtConcurrent::run(
        [home = std::move(homeFolder), user = std::move(username), includeDevDirectories, settings = m_settings] {
            return inspect(home, user, includeDevDirectories, settings);
        });
    EngineeringToolsInventory found = co_await future;
    if (!self)
        co_return;
    if (!(found == m_inventory)) {
        m_inventory = std::move(found);
        Q_EMIT inventoryChanged();
    }
    assignAndNotify(this, m_isScanning, false, &EngineeringToolsDetector::isScanningChanged);
    assignAndNotify(this, m_hasScanned, true, &EngineeringToolsDetector::hasScannedChanged);
}

EngineeringToolsInventory EngineeringToolsDetector::inspect(const QString& homeFolder, const QString& username,
                                                           bool includeDevDirectories, const DetectorSettings& settings)
{
    const QString home = QDir::cleanPath(homeFolder);
    // Side by side on threads of their own: one slow tool must not hold up the others,
    // and the shared pool is too small to wait on.
    auto run = [](auto probe) { return std::async(std::launch::async, std::move(probe)); };
    auto homebrew = run([&] { return scanHomebrew(settings); });
    auto shells = run([&] { return scanShellConfigs(home, username, settings); });
    auto dotfiles = run([&] { return scanDotfiles(home, true); });
    auto folders = run([&] { return includeDevDirectories ? scanDevDirectories(home) : QList<DevDirectory>(); });
    auto managers = run([&] { return scanVersionManagers(home, settings); });
    auto packages = run([&] { return scanGlobalPackages(home, settings); });
    auto xcode = run([&] { return scanXcode(home, settings); });
    auto ides = run([&] { return scanIDEs(home, settings); });
    auto system = run([&] { return scanSystemPackages(settings); });

    EngineeringToolsInventory inventory;
    inventory.homebrew = homebrew.get();
    inventory.shellConfigs = shells.get();
    inventory.dotfiles = dotfiles.get();
    inventory.devDirectories = folders.get();
    inventory.versionManagers = managers.get();
    inventory.globalPackages = packages.get();
    inventory.xcode = xcode.get();
    inventory.ides = ides.get();
    inventory.systemPackages = system.get();
    inventory.sourceArchitecture = settings.architecture;
    return inventory;
}

std::optional<HomebrewInfo> EngineeringToolsDetector::scanHomebrew(const DetectorSettings& settings)
{
    QString brew;
    for (const QString& candidate : settings.tools.brewCandidates)
        if (QFileInfo(candidate).isExecutable()) {
            brew = candidate;
            break;
        }
    if (brew.isEmpty())
        return std::nullopt;
    const CommandOptions options = commandOptions(settings, {});
    // A brew that hangs once would hang at every command: the probe gives up at the first.
    bool hung = false;
    const auto brewOutput = [&](QStringList arguments) -> std::optional<QString> {
        if (hung)
            return std::nullopt;
        const CommandResult r = runCommandDetailed(brew, arguments, options);
        hung = r.timedOut;
        return r.succeeded() ? std::optional(QString::fromUtf8(r.standardOutput)) : std::nullopt;
    };
    HomebrewInfo info;
    info.installed = true;
    info.brewPath = brew;
    info.isAppleSilicon = brew.startsWith(QLatin1String("/opt/homebrew/"));
    const auto version = brewOutput({QStringLiteral("--version")});
    info.version = version ? version->section(u'\n', 0, 0).trimmed() : QString();
    if (info.version.isEmpty())
        info.version = QStringLiteral("unknown");
    info.formulaeCount = countNonEmptyLines(brewOutput({QStringLiteral("list"), QStringLiteral("--formula")}).value_or(QString()));
    info.casksCount = countNonEmptyLines(brewOutput({QStringLiteral("list"), QStringLiteral("--cask")}).value_or(QString()));
    info.brewfileContents =
        brewOutput({QStringLiteral("bundle"), QStringLiteral("dump"), QStringLiteral("--file=-")}).value_or(QString());
    info.outdatedPackages = nonEmptyTrimmedLines(brewOutput({QStringLiteral("outdated")}).value_or(QString()));
    if (hung) {
        qCWarning(lcEngTools).noquote() << brew << "did not answer in time; Homebrew left out";
        return std::nullopt;
    }
    info.installSizeEstimate = fs::measureTree(DeveloperToolPaths::brewPrefix(brew)).total.bytes;
    return info;
}

EngineeringToolsDetector::ShellCounts EngineeringToolsDetector::countShellLines(const QString& text,
                                                                               const QStringList& homePatterns)
{
    ShellCounts counts;
    for (QStringView raw : QStringView(text).split(u'\n')) {
        const QStringView line = trimSpacesAndTabs(raw);
        if (line.startsWith(u'#'))
            continue;
        for (const QString& pattern : homePatterns)
            if (!pattern.isEmpty() && line.contains(pattern)) {
                ++counts.hardcodedPaths;
                break;
            }
        if (line.contains(u"export PATH=") || line.contains(u"export PATH "))
            ++counts.pathExports;
    }
    return counts;
}

QList<ShellConfigFile> EngineeringToolsDetector::scanShellConfigs(const QString& homeFolder, const QString& username,
                                                                  const DetectorSettings& settings)
{
    const QStringList patterns = {settings.tools.usersRoot + username, homeFolder};
    QList<ShellConfigFile> out;
    for (const QString& name : shellStartupFiles()) {
        const QString path = homeFolder + u'/' + name;
        // Followed when a link (dotfile managers link them), but only a regular file is one.
        const auto st = fs::status(path, fs::Links::follow);
        if (!st || !st->isRegular())
            continue;
        ShellConfigFile file;
        file.filename = name;
        file.path = path;
        file.size = st->size;
        file.lastModified = QDateTime::fromSecsSinceEpoch(st->modifiedSecs, Qt::UTC);
        if (const auto bytes = fs::readRegularFile(path, kMaxShellFileBytes)) {
            const ShellCounts counts = countShellLines(QString::fromUtf8(*bytes), patterns);
            file.hardcodedPathCount = counts.hardcodedPaths;
            file.pathExportCount = counts.pathExports;
        }
        out << file;
    }
    return out;
}

QList<DotfileEntry> EngineeringToolsDetector::scanDotfiles(const QString& homeFolder, bool includeSensitive)
{
    QList<DotfileEntry> out;
    for (const DotfileRow& row : dotfileTable()) {
        if (row.sensitive && !includeSensitive)
            continue;
        DotfileEntry entry;
        entry.name = QLatin1String(row.name);
        entry.path = homeFolder + u'/' + entry.name;
        if (!exists(entry.path))
            continue;
        entry.exists = true;
        // The size of what the item carries.
        for (const QString& relative : dotfilePaths(entry.name))
            entry.size += sizeOfPath(homeFolder + u'/' + relative);
        entry.isSensitive = row.sensitive;
        entry.requiresOptIn = row.sensitive;
        entry.description = QString::fromUtf8(row.description);
        if (row.reason)
            entry.sensitivityReason = QString::fromUtf8(row.reason);
        out << entry;
    }
    return out;
}

QList<DevDirectory> EngineeringToolsDetector::scanDevDirectories(const QString& homeFolder)
{
    QList<DevDirectory> out;
    for (const QString& name : devDirectoryNames()) {
        const QString root = homeFolder + u'/' + name;
        if (!isDirectory(root))
            continue;
        // Repositories: a sub-folder holding ".git", or one level further down.
        QStringList repos;
        for (const QString& sub : subfolders(root)) {
            if (exists(root + u'/' + sub + QStringLiteral("/.git"))) {
                repos << sub;
                continue;
            }
            for (const QString& inner : subfolders(root + u'/' + sub))
                if (exists(root + u'/' + sub + u'/' + inner + QStringLiteral("/.git")))
                    repos << sub + u'/' + inner;
        }
        const fs::TreeUsageReport usage = fs::measureTree(root, repos);
        DevDirectory folder;
        folder.name = name;
        folder.path = root;
        folder.totalSize = usage.total.bytes;
        folder.fileCount = int(usage.total.files);
        for (const QString& repo : std::as_const(repos))
            folder.gitRepos << GitRepo{repo.section(u'/', -1), QStringLiteral("~/") + name + u'/' + repo,
                                       usage.subtrees.value(repo).bytes};
        std::sort(folder.gitRepos.begin(), folder.gitRepos.end(), [](const GitRepo& a, const GitRepo& b) {
            return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
        });
        folder.gitRepoCount = int(folder.gitRepos.size());
        out << folder;
    }
    return out;
}

QList<VersionManagerInfo> EngineeringToolsDetector::scanVersionManagers(const QString& homeFolder,
                                                                        const DetectorSettings& settings)
{
    static const QList<QPair<QString, QString>> managers = {
        {QStringLiteral("nvm"), QStringLiteral(".nvm")},     {QStringLiteral("rbenv"), QStringLiteral(".rbenv")},
        {QStringLiteral("pyenv"), QStringLiteral(".pyenv")}, {QStringLiteral("asdf"), QStringLiteral(".asdf")},
        {QStringLiteral("mise"), QStringLiteral(".mise")},   {QStringLiteral("volta"), QStringLiteral(".volta")}};
    QList<VersionManagerInfo> out;
    for (const auto& [tool, folder] : managers) {
        const QString root = homeFolder + u'/' + folder;
        if (!isDirectory(root))
            continue;
        VersionManagerInfo info{tool, root, {}};
        if (tool == QLatin1String("rbenv")) {
            const QString rbenv = executableOrOnPath(settings.tools.rbenv, QStringLiteral("rbenv"));
            if (!rbenv.isEmpty())
                info.managedVersions = bareVersions(
                    runCommand(rbenv, {QStringLiteral("versions"), QStringLiteral("--bare")},
                               commandOptions(settings, {{QStringLiteral("HOME"), homeFolder},
                                                         {QStringLiteral("RBENV_ROOT"), root}}))
                        .value_or(QString()));
        } else if (tool == QLatin1String("pyenv")) {
            const QString pyenv = root + QStringLiteral("/bin/pyenv");
            if (QFileInfo(pyenv).isExecutable())
                info.managedVersions = bareVersions(
                    runCommand(pyenv, {QStringLiteral("versions"), QStringLiteral("--bare")},
                               commandOptions(settings, {{QStringLiteral("HOME"), homeFolder},
                                                         {QStringLiteral("PYENV_ROOT"), root}}))
                        .value_or(QString()));
        } else if (tool == QLatin1String("asdf")) {
            if (const auto bytes = fs::readRegularFile(homeFolder + QStringLiteral("/.tool-versions"), kMaxShellFileBytes))
                info.managedVersions = nonEmptyTrimmedLines(QString::fromUtf8(*bytes));
        } else if (tool == QLatin1String("nvm")) {
            for (const QString& name : subfolders(homeFolder + QStringLiteral("/.nvm/versions/node")))
                if (name.startsWith(u'v'))
                    info.managedVersions << name;
        }
        out << info;
    }
    return out;
}

GlobalPackages EngineeringToolsDetector::scanGlobalPackages(const QString& homeFolder, const DetectorSettings& settings)
{
    // The tools see the scanned home, but leave nothing in it: no logs, caches or update checks.
    QTemporaryDir scratch;
    const CommandOptions options = commandOptions(
        settings, {{QStringLiteral("HOME"), homeFolder},
                   {QStringLiteral("npm_config_cache"), scratch.path()},
                   {QStringLiteral("npm_config_logs_max"), QStringLiteral("0")},
                   {QStringLiteral("npm_config_update_notifier"), QStringLiteral("false")},
                   {QStringLiteral("PIP_DISABLE_PIP_VERSION_CHECK"), QStringLiteral("1")},
                   {QStringLiteral("PIP_NO_CACHE_DIR"), QStringLiteral("1")}});
    const auto viaEnv = [&](QStringList arguments) {
        return settings.tools.env.isEmpty() ? QString()
                                            : runCommand(settings.tools.env, arguments, options).value_or(QString());
    };
    GlobalPackages packages;
    packages.npmGlobalsCount = countNpmGlobals(
        viaEnv({QStringLiteral("npm"), QStringLiteral("list"), QStringLiteral("-g"), QStringLiteral("--depth=0")}));
    packages.pipPackagesCount =
        countPipPackages(viaEnv({QStringLiteral("pip3"), QStringLiteral("list"), QStringLiteral("--format=columns")}));
    packages.gemPackagesCount =
        countNonEmptyLines(viaEnv({QStringLiteral("gem"), QStringLiteral("list"), QStringLiteral("--no-versions")}));
    packages.cargoPackagesCount = int(QDir(homeFolder + QStringLiteral("/.cargo/bin"))
                                          .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                                          .size());
    return packages;
}

std::optional<XcodeInfo> EngineeringToolsDetector::scanXcode(const QString& homeFolder, const DetectorSettings& settings)
{
    if (settings.tools.xcodeApp.isEmpty() && settings.tools.xcodeSelect.isEmpty())
        return std::nullopt;
    XcodeInfo info;
    info.installed = isDirectory(settings.tools.xcodeApp);
    if (info.installed)
        if (const auto doc = plist::readFile(settings.tools.xcodeApp + QStringLiteral("/Contents/version.plist"))) {
            const QString v = doc->root.toMap().value(QStringLiteral("CFBundleShortVersionString")).toString();
            if (!v.isEmpty())
                info.version = v;
        }
    if (!settings.tools.xcodeSelect.isEmpty())
        if (const auto path = runCommand(settings.tools.xcodeSelect, {QStringLiteral("-p")}, commandOptions(settings, {})))
            if (!path->trimmed().isEmpty())
                info.commandLineToolsPath = path->trimmed();
    const QString simulators = homeFolder + QStringLiteral("/Library/Developer/CoreSimulator");
    if (isDirectory(simulators))
        info.simulatorDataSize = fs::measureTree(simulators).total.bytes;
    if (!info.installed && !info.commandLineToolsPath)
        return std::nullopt;
    return info;
}

QList<IDEInfo> EngineeringToolsDetector::scanIDEs(const QString& homeFolder, const DetectorSettings& settings)
{
    const QString dataRoot = homeFolder + u'/' + settings.tools.editorDataFolder;
    QList<IDEInfo> out;
    for (const EditorRow& row : kEditors) {
        const QString data = dataRoot + u'/' + QLatin1String(row.folder);
        if (!isDirectory(data))
            continue;
        IDEInfo ide;
        ide.product = QLatin1String(row.product);
        ide.displayName = QLatin1String(row.displayName);
        ide.userDataPath = data;
        ide.extensionsPath = homeFolder + u'/' + QLatin1String(row.extensionsFolder) + QStringLiteral("/extensions");
        // Each installed extension is a folder; the index files beside them are not.
        ide.extensions = subfolders(ide.extensionsPath);
        ide.userDataSizeBytes = fs::measureTree(data).total.bytes;
        out << ide;
    }
    for (const QString& product : subfolders(dataRoot + QStringLiteral("/JetBrains"))) {
        const QString data = dataRoot + QStringLiteral("/JetBrains/") + product;
        out << IDEInfo{QStringLiteral("JetBrains/") + product, product, data, QString(), {},
                       fs::measureTree(data).total.bytes};
    }
    const QString xcodeData = homeFolder + QStringLiteral("/Library/Developer/Xcode/UserData");
    if (isDirectory(xcodeData))
        out << IDEInfo{QStringLiteral("Xcode"), QStringLiteral("Xcode"), xcodeData, QString(), {},
                       fs::measureTree(xcodeData).total.bytes};
    return out;
}

std::optional<SystemPackages> EngineeringToolsDetector::scanSystemPackages(const DetectorSettings& settings)
{
    if (settings.tools.aptMark.isEmpty() || !QFileInfo(settings.tools.aptMark).isExecutable())
        return std::nullopt;
    const auto output = runCommand(settings.tools.aptMark, {QStringLiteral("showmanual")}, commandOptions(settings, {}));
    if (!output)
        return std::nullopt;
    QStringList names = nonEmptyTrimmedLines(*output);
    names.sort();
    names.removeDuplicates();
    return SystemPackages{QStringLiteral("apt"), names};
}

int EngineeringToolsDetector::countNpmGlobals(const QString& output)
{
    int n = 0;
    for (QStringView line : QStringView(output).split(u'\n'))
        if (line.contains(QChar(0x251C)) || line.contains(QChar(0x2514)))
            ++n;
    return n;
}

int EngineeringToolsDetector::countPipPackages(const QString& output)
{
    // "Package Version" and a rule of dashes come first.
    const QStringList lines = nonEmptyTrimmedLines(output);
    if (lines.size() < 2 || !lines.at(1).startsWith(u'-'))
        return 0;
    return int(lines.size() - 2);
}

int EngineeringToolsDetector::countNonEmptyLines(const QString& output) { return int(nonEmptyTrimmedLines(output).size()); }

QStringList EngineeringToolsDetector::bareVersions(const QString& output)
{
    QStringList out;
    for (QString line : nonEmptyTrimmedLines(output)) {
        if (line.startsWith(u'*'))
            line = line.mid(1).trimmed();
        if (!line.isEmpty())
            out << line;
    }
    return out;
}

} // namespace kivo
