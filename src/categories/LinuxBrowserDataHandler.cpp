// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxBrowserDataHandler.h"

#include "categories/BrowserSecrets.h"
#include "categories/FileEnumeration.h"
#include "categories/KeychainExport.h"
#include "categories/LinuxBrowsers.h"
#include "platform/Accounts.h"
#include "platform/FileReplacement.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/Processes.h"
#include "platform/SessionBus.h"
#include "transfer/Background.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>

namespace kivo {

namespace {

const QString kSecretsPrefix = QStringLiteral("kivo-browser-secrets");
constexpr qint64 kMaxIniBytes = 1024 * 1024;

// The account whose services hold the home's secrets; its home is the one served.
SystemAccount ownerAccount(const UserFolders& home)
{
    const std::optional<unsigned> uid = ownerOf(home.home());
    std::optional<SystemAccount> account = uid ? accountWithUid(*uid) : std::nullopt;
    if (!account)
        throw SystemError(QStringLiteral("The account that owns %1 is unknown").arg(home.home()));
    account->home = home.home();
    return *account;
}

// Everything of one profile root except what the browser rebuilds.
void appendProfileRoot(CategoryTransferHandler::Listing& listing, const QString& root, const QString& categoryID,
                       const UserFolders& home)
{
    CategoryTransferHandler::Listing walked;
    files::appendDirectoryItems(walked.items, root, categoryID, home, &walked.skippedFolders, &walked.entries);
    for (auto& item : walked.items)
        if (!linuxBrowsers::isDisposable(item.relativePath))
            listing.items.append(std::move(item));
    for (auto& entry : walked.entries)
        if (!linuxBrowsers::isDisposable(entry.relativePath))
            listing.entries.append(std::move(entry));
    for (auto& skipped : walked.skippedFolders)
        if (!linuxBrowsers::isDisposable(skipped.relativePath))
            listing.skippedFolders.append(std::move(skipped));
}

std::optional<QByteArray> readSmall(const QString& path, qint64 limit)
{
    const auto status = fs::status(path, fs::Links::dontFollow);
    if (!status || !status->isRegular() || status->size > std::uint64_t(limit))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(limit);
}

} // namespace

const QString& LinuxBrowserDataHandler::secretsFolder()
{
    static const QString folder = QStringLiteral("~/.config/kivo-browser-secrets/");
    return folder;
}

LinuxBrowserDataHandler::LinuxBrowserDataHandler(QString homeFolder, QByteArray sessionKey, QString procRoot,
                                                 QString runtimeRoot)
    : CategoryHandlerBase(QStringLiteral("browserData"), std::move(homeFolder)), m_key(std::move(sessionKey)),
      m_procRoot(std::move(procRoot)), m_runtimeRoot(std::move(runtimeRoot))
{
}

LinuxBrowserDataHandler::~LinuxBrowserDataHandler() { m_key.fill('\0'); }

QCoro::Task<QList<CategoryTransferHandler::Item>> LinuxBrowserDataHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await enumerateListing(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> LinuxBrowserDataHandler::enumerateListing(QStringList)
{
    const QString path = m_exportFolder.renew(QStringLiteral("kivo-browser-XXXXXX"), QStringLiteral("the browser secrets"));
    auto listing = startInBackground([this, path] { return listSource(path); });
    co_return co_await finishInBackground(std::move(listing));
}

CategoryTransferHandler::Listing LinuxBrowserDataHandler::listSource(const QString& exportFolder) const
{
    Listing listing;
    QStringList applications;
    for (const auto& browser : linuxBrowsers::browsers()) {
        for (const auto& location : browser.locations) {
            const QString root = home().expandTilde(location.path);
            const auto status = fs::status(root, fs::Links::follow);
            if (!status || !status->isDirectory())
                continue;
            appendProfileRoot(listing, root, categoryID(), home());
            if (!browser.secretApplication.isEmpty() && !applications.contains(browser.secretApplication))
                applications.append(browser.secretApplication);
        }
    }
    if (applications.isEmpty() || m_secretsOut)
        return listing;
    const auto leftOut = [&](const QString& reason) {
        qCWarning(lcCategories).noquote() << reason;
        listing.skippedFolders.append({secretsFolder() + kSecretsPrefix, categoryID(), reason, false});
    };
    if (m_key.size() != keychain::kKeyBytes) {
        leftOut(QStringLiteral("the browsers' Safe Storage keys move only between computers that paired securely, "
                               "so their saved passwords will not open there"));
        return listing;
    }
    try {
        const std::unique_ptr<SessionBus> bus = SessionBus::open(ownerAccount(home()), m_runtimeRoot);
        // Asking a keyring we started would make it create its folder in a home that has none, and
        // such a home holds no secret to find.
        if (bus->kind() == SessionBus::Kind::started && !QDir(home().expandTilde(QStringLiteral("~/.local/share/keyrings"))).exists())
            return listing;
        QList<browserSecrets::SafeStorageSecret> secrets = browserSecrets::gather(applications, bus->clientOptions());
        if (secrets.isEmpty())
            return listing;
        QByteArray plain = browserSecrets::encodeSecrets(secrets);
        for (auto& s : secrets)
            s.secret.fill('\0');
        const QByteArray sealed = keychain::seal(plain, m_key);
        plain.fill('\0');
        const QString path = exportFolder + QStringLiteral("/secrets.sealed");
        const UniqueFd out = fs::openForAppend(path, true);
        fs::writeAll(out.get(), sealed, path);
        const auto status = fs::status(out);
        if (!status)
            throw SystemError(QStringLiteral("Cannot read back the browser secrets"));
        const QString name = kSecretsPrefix + u'-' + QString::number(QRandomGenerator::system()->generate64(), 16)
            + QStringLiteral(".sealed");
        TransferManifest::FileItem item = files::makeItem(path, secretsFolder() + name, *status, categoryID());
        item.mode = 0600;
        listing.items.append(item);
    } catch (const std::exception& e) {
        leftOut(QStringLiteral("the browsers' Safe Storage keys could not be read: ") + describe(e));
    }
    return listing;
}

QStringList LinuxBrowserDataHandler::runningBrowsers() const
{
    const QList<RunningProcess> processes = runningProcesses(m_procRoot);
    const std::optional<unsigned> owner = ownerOf(home().home());
    QStringList out;
    if (!owner)
        return out;
    for (const auto& browser : linuxBrowsers::browsers())
        for (const QString& name : browser.processNames)
            if (isProcessRunning(processes, *owner, name))
                out.append(name);
    return out;
}

QList<CategoryTransferHandler::Refusal> LinuxBrowserDataHandler::refusals(
    const QList<Item>& items, const std::function<bool(const QString&)>& isRunning)
{
    QList<Refusal> out;
    for (const Item& item : items) {
        const linuxBrowsers::Found found = linuxBrowsers::locate(item.relativePath);
        if (!found.browser)
            continue;
        const QStringList& names = found.browser->processNames;
        if (std::any_of(names.begin(), names.end(), isRunning))
            out.append({item.relativePath, found.browser->name + QStringLiteral(" must be closed before transferring its data")});
    }
    return out;
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> LinuxBrowserDataHandler::preflightDestination(QList<Item> items)
{
    auto check = startInBackground([this] { return runningBrowsers(); });
    const QStringList running = co_await finishInBackground(std::move(check));
    QList<Refusal> refused = refusals(items, [&running](const QString& name) { return running.contains(name); });
    for (const Item& item : std::as_const(items))
        if (item.relativePath.startsWith(secretsFolder()) && item.size > std::uint64_t(browserSecrets::kMaxExportBytes))
            refused.append({item.relativePath, QStringLiteral("The browser secrets export is larger than 1 MiB")});
    co_return refused;
}

QCoro::Task<std::optional<CategoryTransferHandler::ImportCounts>> LinuxBrowserDataHandler::postImport(QStringList receivedFiles)
{
    auto importing = startInBackground([this, receivedFiles] { return importReceived(receivedFiles); });
    co_return co_await finishInBackground(std::move(importing));
}

CategoryTransferHandler::ImportCounts LinuxBrowserDataHandler::importReceived(const QStringList& receivedFiles) const
{
    ImportCounts counts;
    QStringList exports;
    QMap<QString, QStringList> databases;
    const QString secrets = home().expandTilde(secretsFolder());
    for (const QString& received : receivedFiles) {
        const QString path = home().expandTilde(received);
        if (path.startsWith(secrets)) {
            exports.append(path);
            continue;
        }
        const QString relative = home().abbreviate(path);
        const linuxBrowsers::Found found = linuxBrowsers::locate(relative);
        if (!found.browser)
            continue;
        if (linuxBrowsers::isInstallsFile(relative)) {
            // Only the source's installs are named there.
            QFile::remove(path);
        } else if (linuxBrowsers::isProfilesFile(relative)) {
            if (const std::optional<QByteArray> ini = readSmall(path, kMaxIniBytes)) {
                try {
                    FileReplacement file(home().home(), path);
                    file.write(linuxBrowsers::withoutInstallSections(*ini));
                    file.commit();
                    counts.adapted.append(path);
                } catch (const std::exception& e) {
                    qCWarning(lcCategories).noquote() << "Profiles not handed to this install:" << describe(e);
                }
            }
        } else if (!found.browser->secretApplication.isEmpty()
                   && browserSecrets::protectedColumnOf(path.mid(path.lastIndexOf(u'/') + 1))) {
            databases[found.browser->secretApplication].append(path);
        }
    }
    for (const QString& path : std::as_const(exports)) {
        if (m_key.size() != keychain::kKeyBytes)
            throw SystemError(QStringLiteral("The browsers' Safe Storage keys move only between computers that paired securely"));
        const std::optional<QByteArray> sealed = readSmall(path, browserSecrets::kMaxExportBytes);
        if (!sealed)
            throw SystemError(QStringLiteral("The browser secrets export is missing or larger than 1 MiB"));
        QByteArray plain = keychain::open(*sealed, m_key);
        QList<browserSecrets::SafeStorageSecret> arrived;
        try {
            arrived = browserSecrets::decodeSecrets(plain);
        } catch (...) {
            plain.fill('\0');
            throw;
        }
        plain.fill('\0');
        const std::unique_ptr<SessionBus> bus = SessionBus::open(ownerAccount(home()), m_runtimeRoot);
        const ImportCounts one = browserSecrets::arrive(arrived, databases, bus->clientOptions());
        for (auto& s : arrived)
            s.secret.fill('\0');
        counts.imported += one.imported;
        counts.updated += one.updated;
        counts.failed += one.failed;
        counts.adapted += one.adapted;
        QFile::remove(path);
    }
    return counts;
}

} // namespace kivo
