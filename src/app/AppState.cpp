// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "platform/AccountHome.h"

#include "categories/ApplicationDataHandler.h"

#include "categories/CategoryHandlers.h"
#include "categories/CategoryProfile.h"
#include "app/DemoPeer.h"
#include "app/HomeWording.h"
#include "app/ManagedModeCoordinator.h"
#include "managed/TelemetryClient.h"

#include "categories/DataCategoryManager.h"
#include "categories/KeychainHandler.h"
#include "categories/SystemSettingsHandler.h"
#include "categories/HomeFolderScanner.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "log/MigrationLogger.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/Observable.h"
#include "postmigration/HelperInstaller.h"
#include "postmigration/PermissionsCorrector.h"
#include "postmigration/StagedPrefService.h"
#include "postmigration/UserAccountMapper.h"
#include "platform/InstalledApplications.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/ManifestExclusions.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"
#include "preflight/SpaceValidator.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferProgress.h"

#include <QCoroSignal>
#include <QTemporaryDir>
#include <QUuid>

namespace kivo {

namespace {

QString newTransferID() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }


} // namespace

// The connection to the chosen peer runs on its own; its failure reaches the session as a signal.
QCoro::Task<void> AppState::connectInBackground(QPointer<AppState> state, ConnectionManager* manager, DiscoveredPeer peer)
{
    ++state->m_connectsInFlight;
    std::optional<QString> failure;
    try {
        co_await manager->connectToPeer(std::move(peer));
    } catch (const std::exception& e) {
        failure = describe(e);
    }
    if (!state)
        co_return;
    --state->m_connectsInFlight;
    if (failure)
        Q_EMIT state->connectionFailed(*failure);
    else
        Q_EMIT state->peerConnectedChanged();
}

namespace {

QCoro::Task<void> sendConfirmInBackground(ConnectionManager* manager)
{
    try {
        co_await manager->sendPairingConfirm();
    } catch (const std::exception& e) {
        qCWarning(lcApp).noquote() << "Sending pairingConfirm failed:" << describe(e);
    }
}

} // namespace

AppState::AppState(SessionEnvironment environment, QObject* parent)
    : QObject(parent),
      m_environment(std::move(environment)),
      m_profileManager(std::make_unique<ConfigurationProfileManager>(m_environment.profilePath)),
      m_categoryManager(std::make_unique<DataCategoryManager>(m_environment.homeFolder)),
      m_connectionManager(std::make_unique<ConnectionManager>(ConnectionManager::Dependencies{m_environment.clock, {}, {}, {}, {}, {}})),
      m_homeFolderScanner(std::make_unique<HomeFolderScanner>(m_environment.homeFolder)),
      m_migrationLogger(std::make_unique<MigrationLogger>(MigrationLogger::logsDirectoryFor(m_environment.homeFolder))),
      m_engToolsDetector(std::make_unique<EngineeringToolsDetector>()),
      m_engToolsPlan(std::make_unique<EngineeringMigrationPlan>()),
      m_appCompatibility(std::make_unique<AppCompatibilityManager>(
          m_environment.homeFolder, applicationFoldersFor(m_environment.homeFolder), StoreSettings::resolve({}, false))),
      m_spaceValidator(std::make_unique<SpaceValidator>()),
      m_preflightChecker(std::make_unique<PreflightChecker>()),
      m_ownProgress(std::make_unique<TransferProgress>()),
      m_transferID(newTransferID())
{
    m_transferProgress = m_ownProgress.get();
    m_userMapper = std::make_shared<UserAccountMapper>();
    m_permissionsCorrector = std::make_shared<PermissionsCorrector>(HelperInstaller::shared());
    m_stagedPrefService = std::make_unique<StagedPrefService>(
        std::make_unique<PrefStager>(m_environment.homeFolder),
        std::make_unique<AppInstallWatcher>(AppInstallWatcher::foldersFor(m_environment.homeFolder, {}, true)));
    watchSourcePairing();
    applyHomeLayout();
    // The keychain's handler joins once a pairing has agreed on a key.
    for (const char* id : {"userFiles", "applicationData", "systemSettings", "browserData"})
        m_categoryManager->registerHandler(
            makeCategoryHandler(QString::fromLatin1(id), m_environment.homeFolder, m_layout));
    m_settingsHandler = std::dynamic_pointer_cast<SystemSettingsHandler>(
        m_categoryManager->handlers().value(QStringLiteral("systemSettings")));
    // Until then the keychain has a handler without a key, which lists nothing.
    m_categoryManager->registerHandler(std::make_shared<KeychainHandler>(m_environment.homeFolder, QByteArray(), m_layout));
    forwardScreenSignals();
    // A cap chosen while the transfer runs takes effect at once.
    connect(this, &AppState::maxTransferMbpsChanged, this, [this] {
        if (m_transferRunning)
            applyBandwidthCap();
    });
}

// "auto" looks at the home; a value that names no layout is taken as "auto".
void AppState::applyHomeLayout()
{
    m_layout = resolveLayout(m_environment.layout, m_environment.homeFolder)
                   .value_or(detectLayout(m_environment.homeFolder));
    m_categoryManager->setLayout(m_layout);
    m_homeFolderScanner->setLayout(m_layout);
}

AppState::~AppState()
{
    m_managedCoordinator = nullptr;
    m_ownedCoordinator.reset();
    // The engine talks through the connection manager's session: it goes first.
    m_transferEngine.reset();
}

QString AppState::hostname() const
{
    return m_environment.hostname.isEmpty() ? host::displayHostName() : m_environment.hostname;
}

QString AppState::username() const
{
    if (!m_environment.username.isEmpty())
        return m_environment.username;
    // Serving another account's home (as root), the person is that home's owner.
    return host::ownerNameOf(m_environment.homeFolder).value_or(host::loginUserName());
}

QString AppState::say(const QString& text) const
{
    return wordedForHome(text, m_layout);
}

void AppState::setCurrentStep(MigrationStep step) { assignAndNotify(this, m_currentStep, step, &AppState::currentStepChanged); }
void AppState::setDeviceRole(std::optional<DeviceRole> role)
{
    // However the role is taken, the peer learns this side's names in the pairing exchange.
    if (role)
        m_connectionManager->setLocalNames(hostname(), username());
    assignAndNotify(this, m_deviceRole, role, &AppState::deviceRoleChanged);
}
void AppState::setSelectedPeer(std::optional<DiscoveredPeer> peer) { assignAndNotify(this, m_selectedPeer, std::move(peer), &AppState::selectedPeerChanged); }
void AppState::setPairingCode(std::optional<QString> code) { assignAndNotify(this, m_pairingCode, std::move(code), &AppState::pairingCodeChanged); }
void AppState::setPairingConfirmed(bool confirmed) { assignAndNotify(this, m_isPairingConfirmed, confirmed, &AppState::isPairingConfirmedChanged); }
void AppState::setDemoMode(bool on) { assignAndNotify(this, m_demoMode, on, &AppState::demoModeChanged); }
void AppState::setConfirmedUserMapping(std::optional<UserMapping> mapping)
{
    assignAndNotify(this, m_confirmedUserMapping, std::move(mapping), &AppState::confirmedUserMappingChanged);
}
void AppState::setTransferID(const QString& id) { assignAndNotify(this, m_transferID, id, &AppState::transferIDChanged); }
void AppState::setConflictPolicy(ConflictPolicy policy) { assignAndNotify(this, m_conflictPolicy, policy, &AppState::conflictPolicyChanged); }
void AppState::setMaxTransferMbps(std::optional<int> mbps) { assignAndNotify(this, m_maxTransferMbps, mbps, &AppState::maxTransferMbpsChanged); }
std::optional<int> AppState::bandwidthCapInForce() const
{
    if (const auto cap = m_profileManager->values().maxTransferMbps)
        return cap;
    return m_maxTransferMbps;
}

void AppState::applyBandwidthCap()
{
    setMaxTransferMbps(bandwidthCapInForce());
    if (auto* source = dynamic_cast<SourceTransfer*>(m_transferEngine.get()))
        source->setBandwidthCap(m_maxTransferMbps);
}

void AppState::setTransferProgress(TransferProgress* progress)
{
    assignAndNotify(this, m_transferProgress, progress, &AppState::transferProgressChanged);
}

void AppState::watchSourcePairing()
{
    ConnectionManager* cm = m_connectionManager.get();
    // The code is shown once a destination is there to type it: its share needs the code.
    const auto showCode = [this] {
        if (m_deviceRole == DeviceRole::source && m_currentStep == MigrationStep::discovery)
            goToNext();
    };
    connect(cm, &ConnectionManager::destinationConnected, this, showCode);
    connect(cm, &ConnectionManager::incomingPeerReadyChanged, this, [cm, showCode] {
        if (cm->incomingPeerReady())
            showCode();
    });
    // A destination says why its attempt takes longer, until the attempt ends either way.
    const auto setRetry = [this](const QString& text) {
        assignAndNotify(this, m_pairingRetryText, say(text), &AppState::pairingRetryTextChanged);
    };
    connect(cm, &ConnectionManager::pairingRetrying, this, setRetry);
    connect(this, &AppState::pairingInProgressChanged, this, [this, setRetry] {
        if (!m_pairingInProgress)
            setRetry({});
    });
    connect(this, &AppState::currentStepChanged, this, [setRetry] { setRetry({}); });
    // The destination's pairingConfirm is the source's proof that the code was typed.
    connect(cm->pairingManager(), &PairingManager::confirmedBoth, this, [this] {
        if (m_deviceRole == DeviceRole::source && !m_isPairingConfirmed)
            completePairingHandshake();
    });
}

void AppState::goToNext()
{
    if (m_currentStep == MigrationStep::complete)
        return;
    auto next = static_cast<MigrationStep>(static_cast<int>(m_currentStep) + 1);
    // The destination never sees the source's selection and pre-flight screens.
    if (m_deviceRole == DeviceRole::destination && skippedByDestination(next))
        next = MigrationStep::progress;
    setCurrentStep(next);
}

void AppState::goBack()
{
    if (m_currentStep == MigrationStep::welcome)
        return;
    auto target = static_cast<MigrationStep>(static_cast<int>(m_currentStep) - 1);
    while (m_deviceRole == DeviceRole::destination && skippedByDestination(target))
        target = static_cast<MigrationStep>(static_cast<int>(target) - 1);

    if (target == MigrationStep::userMapping && m_currentStep == MigrationStep::manifest)
        setConfirmedUserMapping(std::nullopt);
    else if (target == MigrationStep::manifest) {
        clearPreFlightReport();
        Q_EMIT preFlightResultsCleared();
    }
    setCurrentStep(target);
}

void AppState::reset()
{
    m_demoPeer.reset();
    setCurrentStep(MigrationStep::welcome);
    setDeviceRole(std::nullopt);
    setSelectedPeer(std::nullopt);
    setPairingCode(std::nullopt);
    setPairingConfirmed(false);
    setDemoMode(false);
    setConfirmedUserMapping(std::nullopt);
    m_transferSummary.reset();
    m_importFailures.clear();
    m_ownProgress = std::make_unique<TransferProgress>();
    setTransferProgress(m_ownProgress.get());
    if (m_transferEngine) {
        if (m_transferRunning) {
            m_transferEngine->cancel();
            m_retiredEngines.push_back(std::move(m_transferEngine));
        }
        m_transferEngine.reset();
        Q_EMIT transferEngineChanged();
    }
    // The key belonged to that connection.
    if (m_keychainHandler) {
        m_categoryManager->registerHandler(
            std::make_shared<KeychainHandler>(m_environment.homeFolder, QByteArray(), m_layout));
        m_categoryManager->registerHandler(
            makeCategoryHandler(QStringLiteral("browserData"), m_environment.homeFolder, m_layout));
        m_keychainHandler.reset();
    }
    m_transferRunning = false;
    ++m_sessionGeneration;
    setTransferID(newTransferID());
    m_connectionManager->stopDiscovery();
    m_connectionManager->stopAdvertising();
    m_connectionManager->disconnect(DisconnectionReason::userCancelled);
    m_connectionManager->pairingManager()->reset();
    m_connectionManager->resetToIdle();
}

void AppState::chooseRole(DeviceRole role)
{
    setDeviceRole(role);
    if (role == DeviceRole::source) {
        m_connectionManager->startAdvertising(hostname(), username(), m_environment.listenPort);
        setPairingCode(m_connectionManager->pairingManager()->pairingCode());
    } else {
        m_connectionManager->startDiscovery();
    }
    goToNext();
}

void AppState::restartPairing()
{
    // The same port: a destination that reached us by address finds us again.
    const quint16 port = m_environment.listenPort ? m_environment.listenPort : m_connectionManager->listeningPort();
    m_connectionManager->stopAdvertising();
    m_connectionManager->startAdvertising(hostname(), username(), port);
    setPairingCode(m_connectionManager->pairingManager()->pairingCode());
}

void AppState::selectPeer(const DiscoveredPeer& peer)
{
    setSelectedPeer(peer);
    if (peer.pairingCode)
        setPairingCode(peer.pairingCode);
    m_connectionManager->setActiveTransport(peer.transport);
    goToNext();
    connectInBackground(this, m_connectionManager.get(), peer);
}

void AppState::reconnectPeer(const DiscoveredPeer& peer)
{
    setSelectedPeer(peer);
    connectInBackground(this, m_connectionManager.get(), peer);
}

bool AppState::submitPairingCode(const QString& digits)
{
    if (!m_connectionManager->pairingManager()->matchesCode(digits))
        return false;
    m_connectionManager->confirmPairingLocally();
    if (m_connectionManager->state().kind == ConnectionState::Kind::failed)
        return false; // the window had closed
    sendConfirmInBackground(m_connectionManager.get());
    completePairingHandshake();
    return true;
}

void AppState::completePairingHandshake()
{
    if (!m_transferEngine && m_connectionManager->transferSession())
        createTransferEngine(m_connectionManager->transferSession());
    setPairingConfirmed(true);
    goToNext();
}

void AppState::createTransferEngine(TransferConnection* connection)
{
    if (!m_deviceRole)
        return;
    // The organisation's choices win over the user's, and the session shows them.
    if (const auto policy = m_profileManager->conflictPolicyOverride())
        setConflictPolicy(*policy);
    setMaxTransferMbps(bandwidthCapInForce());
    std::unique_ptr<TransferEngine> engine;
    if (*m_deviceRole == DeviceRole::source) {
        auto source = std::make_unique<SourceTransfer>(connection, m_transferID, m_environment.homeFolder);
        source->setBandwidthCap(m_maxTransferMbps);
        engine = std::move(source);
    } else {
        auto destination = std::make_unique<DestinationTransfer>(connection, m_transferID, m_environment.homeFolder);
        destination->setConflictPolicy(m_conflictPolicy);
        attachAdaptation(*destination);
        engine = std::move(destination);
    }
    const QString home = m_environment.homeFolder;
    // A destination's handlers are those of the layout the source's manifest names.
    const TransferEngine* built = engine.get();
    engine->setHandlerFactory([home, keep = m_keepMissingAppPreferences, built, layout = m_layout](
                                  const QString& id, const QByteArray& key) -> std::shared_ptr<CategoryTransferHandler> {
        // The keychain's is registered below, with the key, only after a verified pairing.
        if (id == QLatin1String("keychain"))
            return nullptr;
        const HomeLayoutKind sourceLayout =
            built->role() == DeviceRole::destination && built->manifest() ? layoutOfManifestField(built->manifest()->layout)
                                                                          : layout;
        // The key opens what the source sealed with it (the browsers' Safe Storage secrets).
        auto handler = makeCategoryHandler(id, home, sourceLayout, key);
        if (auto* appData = dynamic_cast<ApplicationDataHandler*>(handler.get()))
            appData->setKeepsPreferencesOfMissingApps(*keep);
        return handler;
    });
    if (*m_deviceRole == DeviceRole::source)
        for (const auto& handler : m_categoryManager->handlers())
            engine->registerHandler(handler);
    if (const auto key = m_connectionManager->pairingManager()->deriveTransferKey()) {
        engine->setSessionKey(*key);
        // Under an unverified pairing only one side has a key: the keychain stays out.
        if (!m_connectionManager->pairedUnverified()) {
            m_keychainHandler = std::make_shared<KeychainHandler>(home, *key, m_layout);
            engine->registerHandler(m_keychainHandler);
            m_categoryManager->registerHandler(m_keychainHandler);
            // The browsers' Safe Storage secrets, too, are sealed under the key.
            if (*m_deviceRole == DeviceRole::source && m_layout == HomeLayoutKind::Linux) {
                auto browsers = makeCategoryHandler(QStringLiteral("browserData"), home, m_layout, *key);
                engine->registerHandler(browsers);
                m_categoryManager->registerHandler(browsers);
            }
        }
    }
    m_transferEngine = std::move(engine);
    watchImportFailures(*m_transferEngine);
    setTransferProgress(m_transferEngine->progress());
    Q_EMIT transferEngineChanged();
}

void AppState::confirmUserMapping(UserMapping mapping)
{
    setConfirmedUserMapping(std::move(mapping));
    // The demonstration offers only the sample's user folders: every other category
    // would be read from, or written into, the caller's own session (its keyring, its settings).
    const CategoryProfile demoCategories{true, {QStringLiteral("userFiles")}, false};
    m_categoryManager->loadCategories(m_demoMode ? demoCategories : m_profileManager->categoryProfile());
    goToNext();
}

QCoro::Task<void> AppState::runTransfer()
{
    QPointer<AppState> self(this);
    TransferEngine* engine = m_transferEngine.get();
    if (!engine)
        co_return;
    const quint64 generation = m_sessionGeneration;
    const auto sessionMovedOn = [this, generation, engine] {
        if (generation == m_sessionGeneration)
            return false;
        std::erase_if(m_retiredEngines, [engine](const auto& e) { return e.get() == engine; });
        return true;
    };
    m_transferRunning = true;
    // The pre-flight screen's choice came after the engine was made.
    applyBandwidthCap();
    m_transferProgress->setStartedAt(QDateTime::currentDateTimeUtc());
    startMigrationLog();
    if (engine->role() == DeviceRole::source) {
        TransferProgress* progress = engine->progress();
        progress->setIsTransferring(true);
        progress->setTotalBytes(m_categoryManager->totalSelectedSize());
        if (preFlightReviewRunning()) {
            co_await qCoro(this, &AppState::preFlightReviewFinished);
            if (!self || sessionMovedOn())
                co_return;
        }
        TransferManifest manifest = co_await buildIntendedManifest();
        if (!self || sessionMovedOn())
            co_return;
        // Only the destination sees what exists there; it applies this side's choice.
        manifest.conflictPolicy = m_conflictPolicy;
        static_cast<SourceTransfer*>(engine)->setManifest(std::move(manifest));
        // The engine marks its items as they go; a copy kept here would make it
        // duplicate the whole list on the first mark.
        m_askedManifest.reset();
        setTransferProgress(progress);
    } else if (m_confirmedUserMapping) {
        static_cast<DestinationTransfer*>(engine)->setUserMapping(*m_confirmedUserMapping);
    }
    co_await engine->run();
    if (!self || sessionMovedOn())
        co_return;
    // Exports exist for this transfer only.
    if (m_keychainHandler)
        m_keychainHandler->discardExport();
    if (m_settingsHandler)
        m_settingsHandler->discardExports();
    m_transferRunning = false;
    m_transferProgress->setCompletedAt(QDateTime::currentDateTimeUtc());
    TransferSummary summary = co_await TransferSummary::compute(engine->role(), *engine->progress(), engine->manifest());
    if (!self || sessionMovedOn())
        co_return;
    if (const auto& manifest = engine->manifest())
        summary.takeCategoryFailures(*manifest, categoryFailures());
    m_transferSummary = std::move(summary);
    goToNext();
}

} // namespace kivo
