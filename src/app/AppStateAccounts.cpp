// SPDX-License-Identifier: Apache-2.0
// The mapping screen's accounts: this machine's people, this side's pick, and
// a destination's pick becoming the home that receives.
#include "app/AppState.h"

#include "connection/ConnectionManager.h"
#include "platform/Accounts.h"
#include "postmigration/AppInstallWatcher.h"
#include "postmigration/PrefStager.h"
#include "postmigration/StagedPrefService.h"
#include "postmigration/UserAccountMapper.h"
#include "transfer/TransferEngine.h"

#include <QDir>

namespace kivo {

namespace {

bool sameFolder(const QString& a, const QString& b)
{
    return QDir::cleanPath(a) == QDir::cleanPath(b);
}

std::optional<UserAccount> named(const QList<UserAccount>& accounts, const QString& username)
{
    for (const UserAccount& a : accounts)
        if (a.username == username)
            return a;
    return std::nullopt;
}

} // namespace

UserMapping AppState::proposedUserMapping() const
{
    const std::optional<UserAccount> picked = pickedAccount();
    if (m_deviceRole != DeviceRole::destination || !m_selectedPeer) {
        if (picked)
            return UserMapping::make(picked->username, picked->homeFolder, picked->username, picked->homeFolder);
        return UserMapping::make(username(), m_environment.homeFolder, username(), m_environment.homeFolder);
    }
    MappingInputs inputs = mappingInputs();
    if (picked) {
        inputs.destinationUsername = picked->username;
        inputs.destinationHome = picked->homeFolder;
    }
    return mappingForManifest(inputs, TransferManifest{});
}

// The destination's engine follows the home the source's manifest names
// before any path of it is resolved (set up with the engine).
void AppState::confirmProposedUserMapping()
{
    if (!canConfirmMapping())
        return;
    if (const std::optional<UserAccount> picked = pickedAccount(); picked && m_deviceRole == DeviceRole::destination)
        serveAccount(*picked);
    const UserMapping mapping = proposedUserMapping();
    m_userMapper->setMapping(mapping);
    confirmUserMapping(mapping);
}

void AppState::watchAccounts()
{
    connect(m_userMapper.get(), &UserAccountMapper::accountsChanged, this, [this] {
        preselectAccount();
        Q_EMIT accountRowsChanged();
    });
    connect(this, &AppState::deviceRoleChanged, this, [this] {
        // What this side may pick follows the role.
        m_pickedUsername.clear();
        preselectAccount();
        Q_EMIT accountRowsChanged();
    });
}

void AppState::scanAccounts()
{
    if (m_userMapper->destinationAccounts().isEmpty())
        m_userMapper->startScan();
}

QString AppState::whyNotSelectable(const UserAccount& account) const
{
    if (sameFolder(account.homeFolder, m_environment.homeFolder))
        return {};
    // A person's keyring, settings and browsers answer only in their own session.
    if (m_deviceRole != DeviceRole::destination)
        return QStringLiteral("To send this person's files, open kivo while signed in as them.");
    // Writing into someone else's home and handing the files over takes an administrator.
    const std::optional<SystemAccount> entry = accountNamed(account.username);
    if (effectiveUid() != 0 && (!entry || entry->uid != effectiveUid()))
        return QStringLiteral("Only an administrator can move files into another person's account.");
    return {};
}

void AppState::preselectAccount()
{
    const QList<UserAccount>& accounts = m_userMapper->destinationAccounts();
    if (const auto kept = named(accounts, m_pickedUsername); kept && whyNotSelectable(*kept).isEmpty())
        return;
    m_pickedUsername.clear();
    for (const UserAccount& a : accounts)
        if (sameFolder(a.homeFolder, m_environment.homeFolder))
            m_pickedUsername = a.username;
    // Only a session left at its own home guesses: a home named on purpose is not overruled.
    const bool ownHome = sameFolder(m_environment.homeFolder, QDir::homePath());
    if (m_pickedUsername.isEmpty() && ownHome && m_userMapper->autoSelectIfObvious()) {
        const auto& obvious = m_deviceRole == DeviceRole::destination ? m_userMapper->selectedDestinationAccount()
                                                                      : m_userMapper->selectedSourceAccount();
        if (obvious && whyNotSelectable(*obvious).isEmpty())
            m_pickedUsername = obvious->username;
    }
    Q_EMIT proposedMappingChanged();
}

bool AppState::pickAccount(const QString& username)
{
    const std::optional<UserAccount> account = named(m_userMapper->destinationAccounts(), username);
    if (!account || !whyNotSelectable(*account).isEmpty())
        return false;
    if (m_pickedUsername != username) {
        m_pickedUsername = username;
        Q_EMIT proposedMappingChanged();
    }
    return true;
}

std::optional<UserAccount> AppState::pickedAccount() const
{
    return named(m_userMapper->destinationAccounts(), m_pickedUsername);
}

bool AppState::canConfirmMapping() const
{
    const std::optional<UserAccount> picked = pickedAccount();
    if (!picked)
        return true;
    // A transfer under way keeps writing where it started.
    if (m_transferRunning && !sameFolder(picked->homeFolder, m_environment.homeFolder))
        return false;
    return !picked->isNetworkHome;
}

QVariantList AppState::accountRows() const
{
    QVariantList rows;
    for (const UserAccount& a : m_userMapper->destinationAccounts()) {
        QVariantMap row = UserAccountMapper::rowOf(a);
        const QString why = whyNotSelectable(a);
        row.insert(QStringLiteral("selectable"), why.isEmpty());
        row.insert(QStringLiteral("whyNot"), why);
        rows.append(row);
    }
    return rows;
}

QVariantMap AppState::pickedAccountRow() const
{
    const std::optional<UserAccount> picked = pickedAccount();
    return picked ? UserAccountMapper::rowOf(*picked) : QVariantMap();
}

void AppState::serveAccount(const UserAccount& account)
{
    const QString home = QDir::cleanPath(account.homeFolder);
    m_adaptationOptions.destinationUsername = account.username;
    if (sameFolder(home, m_environment.homeFolder))
        return;
    m_environment.homeFolder = home;
    // Preferences wait in the receiving home, for its own apps; the engine's set-up starts the new service.
    auto service = std::make_unique<StagedPrefService>(
        std::make_unique<PrefStager>(home), std::make_unique<AppInstallWatcher>(AppInstallWatcher::foldersFor(home, {}, true)));
    std::swap(service, m_stagedPrefService);
    m_stagedPrefServiceStarted = false;
    Q_EMIT stagedPrefServiceChanged();
    service.release()->deleteLater();
    // The engine made at pairing writes where the session's home was; nothing has run on it yet.
    if (m_transferEngine && !m_transferRunning && m_connectionManager->transferSession()) {
        std::unique_ptr<TransferEngine> old = std::move(m_transferEngine);
        createTransferEngine(m_connectionManager->transferSession());
        old.reset();
    }
}

} // namespace kivo
