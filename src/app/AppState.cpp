#include "app/AppState.h"

#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/Observable.h"
#include "postmigration/AccountAdaptation.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferProgress.h"

#include <QUuid>

namespace kivo {

namespace {

QString newTransferID() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

bool skippedByDestination(MigrationStep step)
{
    return step == MigrationStep::manifest || step == MigrationStep::preflight
        || step == MigrationStep::preflightSummary;
}

// The connection to the chosen peer runs on its own; its failure reaches the session as a signal.
QCoro::Task<void> connectInBackground(QPointer<AppState> state, ConnectionManager* manager, DiscoveredPeer peer)
{
    try {
        co_await manager->connectToPeer(std::move(peer));
    } catch (const std::exception& e) {
        if (state)
            Q_EMIT state->connectionFailed(describe(e));
    }
}

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
      m_connectionManager(std::make_unique<ConnectionManager>(ConnectionManager::Dependencies{m_environment.clock, {}, {}, {}, {}})),
      m_homeFolderScanner(std::make_unique<HomeFolderScanner>(m_environment.homeFolder)),
      m_ownProgress(std::make_unique<TransferProgress>()),
      m_transferID(newTransferID())
{
    m_transferProgress = m_ownProgress.get();
    watchSourcePairing();
}

AppState::~AppState()
{
    // The engine talks through the connection manager's session: it goes first.
    m_transferEngine.reset();
}

QString AppState::hostname() const
{
    return m_environment.hostname.isEmpty() ? host::displayHostName() : m_environment.hostname;
}

QString AppState::username() const
{
    return m_environment.username.isEmpty() ? host::loginUserName() : m_environment.username;
}

void AppState::setCurrentStep(MigrationStep step) { assignAndNotify(this, m_currentStep, step, &AppState::currentStepChanged); }
void AppState::setDeviceRole(std::optional<DeviceRole> role) { assignAndNotify(this, m_deviceRole, role, &AppState::deviceRoleChanged); }
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
void AppState::setTransferProgress(TransferProgress* progress)
{
    assignAndNotify(this, m_transferProgress, progress, &AppState::transferProgressChanged);
}

void AppState::watchSourcePairing()
{
    ConnectionManager* cm = m_connectionManager.get();
    connect(cm, &ConnectionManager::incomingPeerReadyChanged, this, [this, cm] {
        if (cm->incomingPeerReady() && m_deviceRole == DeviceRole::source && m_currentStep == MigrationStep::discovery)
            goToNext();
    });
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
    else if (target == MigrationStep::manifest)
        Q_EMIT preFlightResultsCleared();
    setCurrentStep(target);
}

void AppState::reset()
{
    setCurrentStep(MigrationStep::welcome);
    setDeviceRole(std::nullopt);
    setSelectedPeer(std::nullopt);
    setPairingCode(std::nullopt);
    setPairingConfirmed(false);
    setDemoMode(false);
    setConfirmedUserMapping(std::nullopt);
    m_ownProgress = std::make_unique<TransferProgress>();
    setTransferProgress(m_ownProgress.get());
    if (m_transferEngine) {
        m_transferEngine.reset();
        Q_EMIT transferEngineChanged();
    }
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
    if (const auto cap = m_profileManager->values().maxTransferMbps)
        setMaxTransferMbps(cap);
    std::unique_ptr<TransferEngine> engine;
    if (*m_deviceRole == DeviceRole::source) {
        auto source = std::make_unique<SourceTransfer>(connection, m_transferID, m_environment.homeFolder);
        source->setBandwidthCap(m_maxTransferMbps);
        engine = std::move(source);
    } else {
        auto destination = std::make_unique<DestinationTransfer>(connection, m_transferID, m_environment.homeFolder);
        destination->setConflictPolicy(m_conflictPolicy);
        if (m_accountRewriter)
            destination->setAccountAdapter(std::make_shared<AccountAdaptation>(m_accountRewriter));
        engine = std::move(destination);
    }
    if (const auto key = m_connectionManager->pairingManager()->deriveTransferKey())
        engine->setSessionKey(*key);
    m_transferEngine = std::move(engine);
    setTransferProgress(m_transferEngine->progress());
    Q_EMIT transferEngineChanged();
}

void AppState::confirmUserMapping(UserMapping mapping)
{
    setConfirmedUserMapping(std::move(mapping));
    m_categoryManager->loadCategories(m_profileManager->categoryProfile());
    goToNext();
}

QCoro::Task<void> AppState::runTransfer()
{
    QPointer<AppState> self(this);
    TransferEngine* engine = m_transferEngine.get();
    if (!engine)
        co_return;
    m_transferProgress->setStartedAt(QDateTime::currentDateTimeUtc());
    if (engine->role() == DeviceRole::source) {
        TransferProgress* progress = engine->progress();
        progress->setIsTransferring(true);
        progress->setTotalBytes(m_categoryManager->totalSelectedSize());
        TransferManifest manifest = co_await m_categoryManager->buildManifest(
            m_transferID, {}, m_confirmedUserMapping, m_profileManager->values().engineeringToolsEnabled,
            m_homeFolderScanner.get());
        if (!self)
            co_return;
        if (m_confirmedUserMapping)
            manifest.applyUserMapping(*m_confirmedUserMapping);
        // Only the destination sees what exists there; it applies this side's choice.
        manifest.conflictPolicy = m_conflictPolicy;
        static_cast<SourceTransfer*>(engine)->setManifest(std::move(manifest));
        setTransferProgress(progress);
    } else if (m_confirmedUserMapping) {
        static_cast<DestinationTransfer*>(engine)->setUserMapping(*m_confirmedUserMapping);
    }
    co_await engine->run();
    if (!self)
        co_return;
    m_transferProgress->setCompletedAt(QDateTime::currentDateTimeUtc());
    goToNext();
}

} // namespace kivo
