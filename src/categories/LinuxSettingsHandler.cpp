// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxSettingsHandler.h"

#include "categories/FileEnumeration.h"
#include "categories/LinuxAppCatalog.h"
#include "categories/LinuxSettingsRules.h"
#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/Dconf.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/HomeBeneath.h"
#include "platform/Logging.h"
#include "platform/Processes.h"
#include "platform/SessionBus.h"
#include "transfer/Background.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

namespace kivo {

namespace {

constexpr qint64 kMaxSettingsBytes = 16 * 1024 * 1024;
constexpr qint64 kMaxEntryBytes = 1024 * 1024;

// Files an application of the catalog owns ("~/.config/katerc"): its data, not the desktop's,
// even where a pattern such as "k*rc" matches them.
const QSet<QString>& applicationOwnedFiles()
{
    static const QSet<QString> owned = [] {
        QSet<QString> paths;
        for (const LinuxApp& app : LinuxAppCatalog::shipped().apps())
            for (const QString& path : app.paths)
                paths.insert(QStringLiteral("~/") + path);
        return paths;
    }();
    return owned;
}

// The "~/" paths the desktop's own files are at, patterns resolved.
QStringList desktopFiles(const UserFolders& home)
{
    QStringList paths;
    for (const QString& pattern : desktopSettings::desktopFilePatterns()) {
        if (pattern.endsWith(u'/')) {
            paths.append(pattern.chopped(1));
            continue;
        }
        const qsizetype slash = pattern.lastIndexOf(u'/');
        const QString name = pattern.mid(slash + 1);
        if (!name.contains(u'*')) {
            if (!desktopSettings::isMachineBoundFile(pattern))
                paths.append(pattern);
            continue;
        }
        const QString folder = pattern.left(slash + 1);
        const QStringList found = QDir(home.expandTilde(folder)).entryList({name}, QDir::Files | QDir::Hidden, QDir::Name);
        for (const QString& match : found)
            if (!applicationOwnedFiles().contains(folder + match) && !desktopSettings::isMachineBoundFile(folder + match))
                paths.append(folder + match);
    }
    paths.removeDuplicates();
    return paths;
}

// Reads a small regular file, not through a link; nothing when it is not one or too large.
std::optional<QByteArray> readSmallFile(const QString& path, qint64 limit)
{
    const auto status = fs::status(path, fs::Links::dontFollow);
    if (!status || !status->isRegular() || status->size > std::uint64_t(limit))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // read(limit) would reserve the whole limit first; the file is known to be smaller.
    return file.read(qint64(std::min<std::uint64_t>(status->size + 1, std::uint64_t(limit))));
}

bool programIsHere(const QString& program)
{
    if (program.isEmpty())
        return true; // nothing to check: left as it is
    if (program.startsWith(u'/')) {
        const QFileInfo info(program);
        return info.isFile() && info.isExecutable();
    }
    return !findExecutable(program).isEmpty();
}

// The settings service runs as the account and writes in ~/.config/dconf: folders
// there that the transfer, running as root, has just made must be the account's first.
void handSettingsFoldersTo(const SystemAccount& account)
{
    if (effectiveUid() == account.uid)
        return;
    const HomeBeneath home(account.home);
    const QString config = account.home + QStringLiteral("/.config");
    const QString database = config + QStringLiteral("/dconf");
    home.makeFolders(database, std::make_pair(account.uid, account.gid));
    home.changeOwner(config, account.uid, account.gid);
    home.changeOwner(database, account.uid, account.gid);
}

// The home's keys, machine-bound ones left out, written into `exportFolder` as the
// keyfile that travels; nothing when no key remains. Throws saying why the database was not read.
std::optional<QString> exportSettings(const QString& homeFolder, const QString& exportFolder)
{
    const QByteArray dump = dconf::dumpHome(homeFolder);
    QStringList dropped;
    const QByteArray kept = desktopSettings::withoutDeniedKeys(dump, &dropped);
    if (!dropped.isEmpty())
        qCInfo(lcCategories).noquote() << "Settings bound to this machine left out:" << dropped.join(QStringLiteral(", "));
    if (desktopSettings::keyCount(kept) == 0)
        return std::nullopt;
    const QString path = exportFolder + QStringLiteral("/user.dconf");
    const UniqueFd out = fs::openForAppend(path, true);
    fs::writeAll(out.get(), kept, path);
    return path;
}

} // namespace

const QString& LinuxSettingsHandler::settingsItemPath()
{
    static const QString path = QStringLiteral("~/.config/kivo-settings/user.dconf");
    return path;
}

QStringList LinuxSettingsHandler::sentPaths(const QString& homeFolder)
{
    return QStringList{QStringLiteral("~/.config/dconf/user")} + desktopFiles(UserFolders(homeFolder));
}

LinuxSettingsHandler::LinuxSettingsHandler(QString homeFolder, QString runtimeRoot)
    : CategoryHandlerBase(QStringLiteral("systemSettings"), std::move(homeFolder)), m_runtimeRoot(std::move(runtimeRoot))
{
}

LinuxSettingsHandler::~LinuxSettingsHandler() = default;

QCoro::Task<QList<CategoryTransferHandler::Item>> LinuxSettingsHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await enumerateListing(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> LinuxSettingsHandler::enumerateListing(QStringList)
{
    const QString path = m_exportFolder.renew(QStringLiteral("kivo-settings-XXXXXX"), QStringLiteral("the settings export"));
    auto listing = startInBackground([this, path] { return listSource(path); });
    co_return co_await finishInBackground(std::move(listing));
}

QCoro::Task<QStringList> LinuxSettingsHandler::pathsToSend(QStringList)
{
    auto exporting = startInBackground([this] {
        QStringList paths;
        try {
            const QString folder = m_estimateFolder.renew(QStringLiteral("kivo-settings-XXXXXX"), QStringLiteral("the settings export"));
            if (const std::optional<QString> file = exportSettings(home().home(), folder))
                paths.append(*file);
        } catch (const std::exception& e) {
            // The listing says why; nothing of the database is sent meanwhile.
            qCWarning(lcCategories).noquote() << describe(e);
        }
        return paths + desktopFiles(home());
    });
    co_return co_await finishInBackground(std::move(exporting));
}

CategoryTransferHandler::Listing LinuxSettingsHandler::listSource(const QString& exportFolder) const
{
    Listing listing;
    try {
        if (const std::optional<QString> path = exportSettings(home().home(), exportFolder)) {
            const auto status = fs::status(*path, fs::Links::dontFollow);
            if (!status)
                throw SystemError(QStringLiteral("Cannot read back the settings export"));
            TransferManifest::FileItem item = files::makeItem(*path, settingsItemPath(), *status, categoryID());
            item.mode = 0600;
            listing.items.append(item);
        }
    } catch (const std::exception& e) {
        qCWarning(lcCategories).noquote() << describe(e);
        listing.skippedFolders.append({QStringLiteral("~/.config/dconf/user"), categoryID(), describe(e), false});
    }
    files::appendCategoryItems(listing.items, desktopFiles(home()), categoryID(), home(), &listing.skippedFolders,
                               &listing.entries);
    return listing;
}

QCoro::Task<std::optional<CategoryTransferHandler::ImportCounts>> LinuxSettingsHandler::postImport(QStringList receivedFiles)
{
    auto importing = startInBackground([this, receivedFiles] { return importReceived(receivedFiles); });
    co_return co_await finishInBackground(std::move(importing));
}

CategoryTransferHandler::ImportCounts LinuxSettingsHandler::importReceived(const QStringList& receivedFiles) const
{
    ImportCounts counts;
    QString failure;
    const QString settingsFile = home().expandTilde(settingsItemPath());
    const QString autostart = home().expandTilde(QStringLiteral("~/.config/autostart/"));
    for (const QString& received : receivedFiles) {
        const QString path = home().expandTilde(received);
        if (path == settingsFile) {
            try {
                const std::optional<QByteArray> text = readSmallFile(path, kMaxSettingsBytes);
                if (!text)
                    throw SystemError(QStringLiteral("The received settings are missing or larger than 16 MiB"));
                QStringList dropped;
                const QByteArray kept = desktopSettings::withoutDeniedKeys(*text, &dropped);
                const std::optional<unsigned> uid = ownerOf(home().home());
                std::optional<SystemAccount> account = uid ? accountWithUid(*uid) : std::nullopt;
                if (!account)
                    throw SystemError(QStringLiteral("The account that owns %1 is unknown").arg(home().home()));
                // Its settings service reads and writes the home being served.
                account->home = home().home();
                handSettingsFoldersTo(*account);
                const std::unique_ptr<SessionBus> bus =
                    SessionBus::open(*account, m_runtimeRoot, SessionBus::Purpose::settings);
                // Read after the bus is chosen: a running service has written what it holds. Refuses a
                // database that is a link, which the service would replace.
                const desktopSettings::SettingsMerge merge = desktopSettings::mergeSettings(
                    kept, dconf::dumpHome(home().home()), m_policy == ConflictPolicy::overwrite);
                dconf::load(merge.keyfile, bus->clientOptions());
                counts.updated += int(merge.replaced.size());
                counts.imported += desktopSettings::keyCount(merge.keyfile) - int(merge.replaced.size());
                counts.keptConflicts += merge.kept;
                counts.replacedConflicts += merge.replaced;
                QFile::remove(path);
                QDir().rmdir(QFileInfo(path).path()); // the staging folder, when nothing else is in it
            } catch (const std::exception& e) {
                failure = QStringLiteral("Settings not applied: ") + describe(e);
                ++counts.failed;
            }
        } else if (path.startsWith(autostart) && path.endsWith(QLatin1String(".desktop"))) {
            const std::optional<QByteArray> entry = readSmallFile(path, kMaxEntryBytes);
            if (!entry || programIsHere(desktopSettings::autostartProgram(*entry)))
                continue;
            try {
                FileReplacement file(home().home(), path);
                file.write(desktopSettings::disabledAutostartEntry(*entry));
                file.commit();
                counts.adapted.append(path);
                qCInfo(lcCategories).noquote() << "Autostart entry turned off, its program is not installed:" << path;
            } catch (const std::exception& e) {
                qCWarning(lcCategories).noquote() << "Cannot turn off" << path << describe(e);
            }
        }
    }
    if (!failure.isEmpty())
        throw SystemError(failure);
    return counts;
}

} // namespace kivo
