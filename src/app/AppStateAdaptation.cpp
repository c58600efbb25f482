// SPDX-License-Identifier: Apache-2.0
// The destination's adaptation: account mapping, rewriting, staging, ownership.
#include "app/AppState.h"

#include "categories/DestinationRelocation.h"
#include "categories/LinuxAppData.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/Accounts.h"
#include "platform/FileSystem.h"
#include "postmigration/AccountAdaptation.h"
#include "postmigration/MDMAppManifest.h"
#include "postmigration/PermissionsCorrector.h"
#include "postmigration/StagedPrefService.h"
#include "postmigration/UserAccountMapper.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/MDMSafetyChecker.h"
#include "vault/PreChangeSnapshot.h"

#include <QDir>
#include <QJsonDocument>
#include <QPointer>

namespace kivo {

namespace {

constexpr int kDefaultRestoreWindowDays = 7;

bool isCleanAbsoluteFolder(const QString& path)
{
    return path.startsWith(u'/') && path != QLatin1String("/") && !path.contains(u'~') && !path.contains(QChar(0))
        && QDir::cleanPath(path) == path;
}

} // namespace

QObject* AppState::stagedPrefServiceObject() const { return m_stagedPrefService.get(); }
QObject* AppState::userMapperObject() const { return m_userMapper.get(); }

void AppState::setAdaptationOptions(AdaptationOptions options)
{
    m_adaptationOptions = std::move(options);
    Q_EMIT proposedMappingChanged();
}

PrefRestoreMode AppState::effectiveRestoreMode() const
{
    if (const auto& named = m_profileManager->values().prefRestoreMode)
        return prefRestoreModeFromString(*named).value_or(PrefRestoreMode::staged);
    return m_adaptationOptions.restoreMode.value_or(PrefRestoreMode::staged);
}

int AppState::effectiveRestoreWindowDays() const
{
    const std::optional<int> days = m_profileManager->values().prefRestoreWindowDays
        ? m_profileManager->values().prefRestoreWindowDays
        : m_adaptationOptions.restoreWindowDays;
    return std::max(1, days.value_or(kDefaultRestoreWindowDays));
}

std::optional<QString> AppState::sourceHomeFromManifest(const TransferManifest& manifest)
{
    // The first item that shows it.
    for (const TransferManifest::FileItem& item : manifest.items) {
        if (const std::optional<QString> home = item.homeShown())
            return isCleanAbsoluteFolder(*home) ? home : std::nullopt;
    }
    return std::nullopt;
}

UserMapping AppState::mappingForManifest(const MappingInputs& inputs, const TransferManifest& manifest)
{
    QString sourceHome = inputs.sourceHome.value_or(QString());
    if (sourceHome.isEmpty())
        sourceHome = sourceHomeFromManifest(manifest).value_or(QString());
    if (sourceHome.isEmpty() && manifest.sourceHomeFolder && isCleanAbsoluteFolder(*manifest.sourceHomeFolder))
        sourceHome = *manifest.sourceHomeFolder;
    QString sourceUser = inputs.sourceUsername;
    if (sourceUser.isEmpty() && !sourceHome.isEmpty())
        sourceUser = sourceHome.mid(sourceHome.lastIndexOf(u'/') + 1);
    if (sourceUser.isEmpty())
        sourceUser = inputs.destinationUsername;
    // Nothing says where the source kept it: where a Linux home would be.
    if (sourceHome.isEmpty())
        sourceHome = QStringLiteral("/home/") + sourceUser;
    return UserMapping::make(sourceUser, sourceHome, inputs.destinationUsername, QDir::cleanPath(inputs.destinationHome));
}

MappingInputs AppState::mappingInputs() const
{
    MappingInputs in;
    if (m_deviceRole == DeviceRole::destination && m_selectedPeer && m_selectedPeer->username != QLatin1String("Unknown"))
        in.sourceUsername = m_selectedPeer->username;
    in.sourceHome = m_adaptationOptions.sourceHome;
    in.destinationUsername =
        m_adaptationOptions.destinationUsername.isEmpty() ? username() : m_adaptationOptions.destinationUsername;
    in.destinationHome = m_environment.homeFolder;
    return in;
}

void AppState::attachRelocation(DestinationTransfer& engine, const QString& home)
{
    // What arrives lands where this home keeps it: its own user folders, its apps' installed formats.
    // A Linux source's app data waits, by app, for an app not installed here.
    QPointer<AppState> me(this);
    engine.setRelocationForManifest([me, home, layout = m_layout](const TransferManifest& manifest) {
        const LinuxInstalls installs = scanLinuxInstalls(linuxInstallRootsFor(home));
        if (me && layoutOfManifestField(manifest.layout) == HomeLayoutKind::Linux)
            me->m_stagedPrefService->setClassifier([installs](const QString& path) {
                std::optional<AppPrefMapper::Classification> out;
                if (const auto c = stagingClassOf(path, LinuxAppCatalog::shipped(), installs))
                    out = AppPrefMapper::Classification{c->key, c->name, c->triggers};
                return out;
            });
        return relocationFor(manifest, home, layout, installs);
    });
    m_stagedPrefService->setRestorePlacement([home] {
        return [home, installs = scanLinuxInstalls(linuxInstallRootsFor(home))](const QString& path) {
            return relocateAppDataPath(path, LinuxAppCatalog::shipped(), installs);
        };
    });
}

void AppState::attachAdaptation(DestinationTransfer& engine)
{
    const QString home = QDir::cleanPath(m_environment.homeFolder);
    MDMSafetyChecker safety;
    safety.addProtectedPath(home + u'/' + QLatin1String(PrefStager::kFolderName));
    engine.setSafetyChecker(safety);
    engine.setAccountAdapter(std::make_shared<AccountAdaptation>(m_userMapper));

    // Files this process writes are its user's already; another account's need handing over.
    const QString owner = mappingInputs().destinationUsername;
    const std::optional<SystemAccount> account = accountNamed(owner);
    if (account && account->uid != effectiveUid()) {
        m_permissionsCorrector->setExtraPaths([home] {
            QStringList extra;
            const QString store = home + u'/' + QLatin1String(PrefStager::kFolderName);
            fs::forEachRegularFile(store, false, [&extra](const QString& path, const fs::FileStatus&) { extra.append(path); });
            extra.append(store);
            extra.append(TransferEngine::transfersDirectory(home));
            extra += vaultPathsOf(home);
            return extra;
        });
        engine.setOwnershipCorrector(m_permissionsCorrector);
    }

    QPointer<AppState> self(this);
    engine.setMappingForManifest([self](const TransferManifest& manifest) {
        if (!self)
            return UserMapping::make({}, {}, {}, {});
        const UserMapping mapping = mappingForManifest(self->mappingInputs(), manifest);
        self->m_userMapper->setMapping(mapping);
        self->setConfirmedUserMapping(mapping);
        return mapping;
    });

    attachRelocation(engine, home);
    attachVault(engine);

    QPointer<DestinationTransfer> target(&engine);
    connect(m_userMapper.get(), &UserAccountMapper::rewritten, &engine,
            [target](const PathRewriteLog& log) { if (target) target->markAdapted(log.filePath); });
    connect(m_stagedPrefService.get(), &StagedPrefService::bundleStaged, &engine, [target, home](const StagedPrefBundle& b) {
        for (const StagedPrefEntry& e : b.entries)
            if (target)
                target->markAdapted(home + e.destinationRelativePath.mid(1));
    });

    // The demonstration receives only user files, into a sample home: the service,
    // made for the user's own home, stays out of it.
    if (m_demoMode)
        return;
    StagedPrefService* prefs = m_stagedPrefService.get();
    prefs->setRestoreMode(effectiveRestoreMode());
    prefs->setRestoreWindowDays(effectiveRestoreWindowDays());
    // Settings of apps not installed here are written in every mode: staged to
    // wait for their app, or, immediately, left where they land.
    *m_keepMissingAppPreferences = true;
    if (const auto json = m_profileManager->loadMDMAppManifest())
        if (const auto manifest = MDMAppManifest::decoded(QJsonDocument(*json).toJson(QJsonDocument::Compact)))
            prefs->registerMDMManifest(*manifest);
    engine.setCategoryFinalized([prefs](QString categoryID, QList<TransferManifest::FileItem> items) -> QCoro::Task<void> {
        prefs->absorbCompletedFiles(categoryID, items);
        co_return;
    });
    if (!m_stagedPrefServiceStarted) {
        m_stagedPrefServiceStarted = true;
        prefs->start();
    }
}

} // namespace kivo
