// SPDX-License-Identifier: Apache-2.0
#include "vault/SettingsRecord.h"

#include "categories/LinuxSettingsHandler.h"
#include "platform/Accounts.h"
#include "platform/Dconf.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/SessionBus.h"
#include "platform/SmallFiles.h"
#include "vault/PreChangeSnapshot.h"
#include "vault/VaultError.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

namespace {

// As large as the received settings may be.
constexpr qint64 kMaxSettingsBytes = 16 * 1024 * 1024;

} // namespace

QString settingsDatabaseCategory() { return QStringLiteral("settingsDatabase"); }

QString settingsDumpName() { return QStringLiteral("kivo-settings.dconf"); }

QString receivedSettingsPath() { return LinuxSettingsHandler::settingsItemPath().mid(2); }

QString settingsAfterPath(const QString& home, const QString& transferID)
{
    return QDir(changeRecordsFolder(home)).filePath(transferID + QStringLiteral(".settings"));
}

ListedPaths dumpSettingsInto(const QString& home, const QString& folder)
{
    const QByteArray keyfile = dconf::dumpHome(home);
    const QString dump = QDir(folder).filePath(settingsDumpName());
    fs::writeFileAtomically(dump, keyfile);
    const QString list = QDir(folder).filePath(QStringLiteral("list"));
    QByteArray entry = settingsDumpName().toUtf8();
    entry.append('\0'); // the list's separator, as restic reads it
    fs::writeFileAtomically(list, entry);
    return {settingsDatabaseCategory(), list, 1, std::uint64_t(keyfile.size()), folder};
}

std::optional<SettingsValues> readSettingsFile(const QString& path)
{
    if (!QFileInfo::exists(path))
        return std::nullopt;
    const std::optional<QByteArray> bytes = fs::readRegularFile(path, kMaxSettingsBytes);
    if (!bytes)
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the settings kept in %1 cannot be read").arg(path));
    return parseSettings(*bytes);
}

void applySettingsRollback(const QString& home, const SettingsRollbackPlan& plan, const QString& runtimeRoot)
{
    if (plan.size() == 0)
        return;
    const std::optional<unsigned> uid = ownerOf(home);
    std::optional<SystemAccount> account = uid ? accountWithUid(*uid) : std::nullopt;
    if (!account)
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the account that owns %1 is unknown").arg(home));
    // Its settings service reads and writes the home being served.
    account->home = home;
    try {
        const std::unique_ptr<SessionBus> bus = SessionBus::open(*account, runtimeRoot, SessionBus::Purpose::settings);
        dconf::load(settingsKeyfile(plan.restore), bus->clientOptions());
        dconf::reset(plan.reset, bus->clientOptions());
    } catch (const std::exception& e) {
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the settings were not put back: %1").arg(QString::fromUtf8(e.what())));
    }
}

} // namespace kivo
