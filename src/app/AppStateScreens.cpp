// SPDX-License-Identifier: Apache-2.0
// The session's operations and plain-valued views for the screens.
#include "app/AppState.h"

#include "app/DemoData.h"
#include "app/DemoPeer.h"
#include "managed/ConfigurationProfileManager.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/Observable.h"
#include "preflight/AppCompatibilityManager.h"
#include "postmigration/UserAccountMapper.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/PartialFolders.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"

#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocale>
#include <QFileInfo>
#include <QPointer>
#include <QUrl>

#include <algorithm>

namespace kivo {

namespace {

constexpr char kCodeMismatchText[] = "Code doesn't match. Check the source Mac and try again.";
constexpr auto kConnectWait = std::chrono::seconds(30);

// Screens start work and move on; whatever it throws becomes a logged line, never a lost exception.
QCoro::Task<void> detached(QCoro::Task<void> task)
{
    try {
        co_await std::move(task);
    } catch (const std::exception& e) {
        qCWarning(lcApp).noquote() << "Background task failed:" << describe(e);
    }
}

// The demonstration's source, named in the home's word for the machine.
constexpr char kDemoSourceName[] = "Demo Source Mac";

QString demoHome(const SessionEnvironment& e, DeviceRole role)
{
    return e.demoWorkdir + (role == DeviceRole::source ? QStringLiteral("/source-home") : QStringLiteral("/destination-home"));
}

} // namespace

void AppState::selectCategories(const QStringList& categoryIDs)
{
    for (const DataCategory& c : QList<DataCategory>(m_categoryManager->categories()))
        if (c.isSelected != categoryIDs.contains(c.id))
            m_categoryManager->toggleCategory(c.id);
}

void AppState::selectFolders(const QStringList& names)
{
    for (const HomeFolder& f : QList<HomeFolder>(m_homeFolderScanner->folders()))
        if (f.isSelected != names.contains(f.name))
            m_homeFolderScanner->toggleFolder(f.name);
    m_categoryManager->overrideEstimatedSize(QStringLiteral("userFiles"), m_homeFolderScanner->totalSelectedSize());
}

void AppState::addDirectPeer(const DiscoveredPeer& peer)
{
    // The same host again (another port, typed anew) replaces the one listed.
    m_directPeers.removeIf([&peer](const DiscoveredPeer& p) { return p.id == peer.id; });
    m_directPeers.append(peer);
    Q_EMIT peersChanged();
}

QList<DiscoveredPeer> AppState::peerList() const
{
    if (m_demoMode)
        return demoPeers();
    QList<DiscoveredPeer> peers = m_connectionManager->discoveredPeers();
    for (const DiscoveredPeer& p : m_directPeers)
        if (std::none_of(peers.cbegin(), peers.cend(), [&p](const DiscoveredPeer& q) { return q.id == p.id; }))
            peers.append(p);
    return peers;
}

void AppState::setPairingInProgress(bool on)
{
    assignAndNotify(this, m_pairingInProgress, on, &AppState::pairingInProgressChanged);
}
void AppState::setPairingErrorText(QString text)
{
    // Errors come from layers that speak of "the other Mac"; the screens use the home's word.
    assignAndNotify(this, m_pairingErrorText, say(text), &AppState::pairingErrorTextChanged);
}
void AppState::setConnectionErrorText(QString text)
{
    assignAndNotify(this, m_connectionErrorText, say(text), &AppState::connectionErrorTextChanged);
}

// True once the selected peer's session is up. A connection already under way is awaited, not doubled.
QCoro::Task<bool> AppState::connectSelectedPeer(bool again)
{
    QPointer<AppState> self(this);
    ConnectionManager* cm = m_connectionManager.get();
    if (cm->transferSession() && cm->transferSession()->isConnected())
        co_return true;
    if (!m_selectedPeer)
        co_return false;
    std::optional<QString> failure;
    const QMetaObject::Connection watch =
        connect(this, &AppState::connectionFailed, this, [&failure](const QString& text) { failure = text; });
    if (again || m_connectsInFlight == 0)
        reconnectPeer(*m_selectedPeer);
    const QDeadlineTimer deadline(kConnectWait);
    // The attempt reports through signals; a short poll sees its end without missing an early one.
    while (self && !failure && m_connectsInFlight > 0 && !deadline.hasExpired())
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
    if (!self)
        co_return false;
    QObject::disconnect(watch);
    if (failure)
        co_return false;
    co_return cm->transferSession() && cm->transferSession()->isConnected();
}

QCoro::Task<PairingAttempt> AppState::pairWithCode(QString digits)
{
    QPointer<AppState> self(this);
    ConnectionManager* cm = m_connectionManager.get();
    if (!m_selectedPeer)
        co_return PairingAttempt::failed;
    const DiscoveredPeer peer = *m_selectedPeer;
    if (!PairingManager::isWellFormedCode(digits)) {
        setPairingErrorText(say(QString::fromUtf8(kCodeMismatchText)));
        co_return PairingAttempt::mismatch;
    }
    setConnectionErrorText({});
    const bool comparesLocally = peer.advertised && !peer.securePairing;
    if (comparesLocally) {
        // The code was advertised: a wrong one is caught here and nothing is sent.
        if (!cm->pairingManager()->matchesCode(digits)) {
            setPairingErrorText(say(QString::fromUtf8(kCodeMismatchText)));
            co_return PairingAttempt::mismatch;
        }
        if (!co_await connectSelectedPeer(false) || !self)
            co_return PairingAttempt::failed;
        if (submitPairingCode(digits)) {
            setPairingErrorText({});
            co_return PairingAttempt::paired;
        }
        setPairingErrorText(cm->state().error ? cm->state().error->description() : say(QString::fromUtf8(kCodeMismatchText)));
        co_return PairingAttempt::failed;
    }
    // The source drops a connected peer that does not start proving soon; a
    // later attempt connects afresh.
    if (!co_await connectSelectedPeer(false) || !self)
        co_return PairingAttempt::failed;
    try {
        co_await cm->pairSecurely(digits);
    } catch (const ConnectionError& e) {
        if (!self)
            co_return PairingAttempt::failed;
        if (e.kind() == ConnectionError::Kind::pairingMismatch) {
            setPairingErrorText(say(QString::fromUtf8(kCodeMismatchText)));
            co_return PairingAttempt::mismatch;
        }
        setPairingErrorText(e.description());
        co_return PairingAttempt::failed;
    } catch (const std::exception& e) {
        if (self)
            setPairingErrorText(describe(e));
        co_return PairingAttempt::failed;
    }
    if (!self)
        co_return PairingAttempt::failed;
    setPairingErrorText({});
    completePairingHandshake();
    co_return PairingAttempt::paired;
}

QString AppState::roleName() const { return m_deviceRole ? toString(*m_deviceRole) : QString(); }

bool AppState::pairingExpired() const { return m_connectionManager->pairingManager()->isExpired(); }

double AppState::pairingSecondsRemaining() const { return m_connectionManager->pairingManager()->secondsRemaining(); }

QString AppState::peerHostname() const { return m_selectedPeer ? m_selectedPeer->hostname : QString(); }

QString AppState::transportName() const
{
    const auto transport = m_connectionManager->activeTransport();
    return transport ? displayName(*transport) : QString();
}

bool AppState::peerConnected() const
{
    const TransferSession* session = m_connectionManager->transferSession();
    return session && session->isConnected();
}

bool AppState::thunderboltDetected() const
{
    return m_connectionManager->state().kind == ConnectionState::Kind::thunderboltDetected;
}

QVariantList AppState::peerRows() const
{
    QVariantList rows;
    for (const DiscoveredPeer& p : peerList())
        rows.append(QVariantMap{{QStringLiteral("id"), p.id},
                                {QStringLiteral("hostname"), p.hostname},
                                {QStringLiteral("username"), p.username},
                                {QStringLiteral("transport"), displayName(p.transport)}});
    return rows;
}

QVariantMap AppState::proposedMappingView() const
{
    const UserMapping m = proposedUserMapping();
    return {{QStringLiteral("sourceUsername"), m.sourceUsername},
            {QStringLiteral("destinationUsername"), m.destinationUsername},
            {QStringLiteral("sameUsername"), m.sourceUsername == m.destinationUsername},
            {QStringLiteral("destinationIsCurrentUser"), m.destinationUsername == host::loginUserName()}};
}

QVariantList AppState::categoryRows() const
{
    QVariantList rows;
    for (const DataCategory& c : m_categoryManager->categories())
        rows.append(QVariantMap{{QStringLiteral("id"), c.id},
                                {QStringLiteral("name"), c.displayName},
                                {QStringLiteral("description"), c.description},
                                {QStringLiteral("selected"), c.isSelected},
                                {QStringLiteral("sensitive"), c.isSensitive},
                                {QStringLiteral("warning"), c.sensitivityWarning.value_or(QString())},
                                {QStringLiteral("sizeText"), formatFileSize(c.estimatedSize)}});
    return rows;
}

QVariantList AppState::folderRows() const
{
    QVariantList rows;
    for (const HomeFolder& f : m_homeFolderScanner->folders())
        rows.append(QVariantMap{{QStringLiteral("name"), f.name},
                                {QStringLiteral("sizeText"), formatFileSize(f.size)},
                                {QStringLiteral("selected"), f.isSelected},
                                {QStringLiteral("custom"), false}});
    for (const QUrl& url : m_categoryManager->customPaths())
        rows.append(QVariantMap{{QStringLiteral("name"), url.toLocalFile()},
                                {QStringLiteral("sizeText"), QString()},
                                {QStringLiteral("selected"), true},
                                {QStringLiteral("custom"), true}});
    return rows;
}

bool AppState::scanningFolders() const { return m_homeFolderScanner->isScanning(); }
bool AppState::calculatingSizes() const { return m_categoryManager->isCalculatingSizes(); }
QString AppState::totalSelectedSizeText() const { return formatFileSize(m_categoryManager->totalSelectedSize()); }

QString AppState::conflictPolicyName() const { return toString(m_conflictPolicy); }
void AppState::setConflictPolicyName(const QString& name)
{
    if (const auto policy = conflictPolicyFromString(name))
        setConflictPolicy(*policy);
}

void AppState::setBandwidthMbps(int mbps) { setMaxTransferMbps(mbps > 0 ? std::optional<int>(mbps) : std::nullopt); }

QVariantList AppState::checkpointRows() const
{
    QVariantList rows;
    for (const ResumeState& r : ResumeState::listAll(TransferEngine::transfersDirectory(m_environment.homeFolder)))
        rows.append(QVariantMap{{QStringLiteral("transferID"), r.transferID},
                                {QStringLiteral("source"), r.sourceHostname},
                                {QStringLiteral("files"), int(r.completedCount())},
                                {QStringLiteral("lastActivity"),
                                 QLocale::c().toString(r.updatedAt.toLocalTime(), QStringLiteral("yyyy-MM-dd HH:mm"))}});
    return rows;
}

QVariantList AppState::roleSteps() const
{
    QVariantList steps;
    for (int v = int(MigrationStep::welcome); v <= int(MigrationStep::complete); ++v) {
        const auto step = static_cast<MigrationStep>(v);
        if (!m_deviceRole && v > int(MigrationStep::roleSelection))
            break;
        if (m_deviceRole == DeviceRole::destination && skippedByDestination(step))
            continue;
        steps.append(QVariantMap{{QStringLiteral("value"), v}, {QStringLiteral("title"), displayName(step)}});
    }
    return steps;
}

void AppState::chooseRoleNamed(const QString& role)
{
    const auto r = deviceRoleFromString(role);
    if (!r)
        return;
    if (m_demoMode)
        useHomeFolder(demoHome(m_environment, *r));
    chooseRole(*r);
    if (m_demoMode && *r == DeviceRole::source && !m_demoPeer)
        startDemoReceiver();
}

void AppState::choosePeer(const QString& peerID)
{
    if (m_demoMode) {
        demoSelectPeer(peerID);
        return;
    }
    for (const DiscoveredPeer& p : peerList()) {
        if (p.id != peerID)
            continue;
        setConnectionErrorText({});
        setPairingErrorText({});
        selectPeer(p);
        return;
    }
}

void AppState::leaveDiscovery()
{
    m_connectionManager->stopDiscovery();
    m_connectionManager->stopAdvertising();
    goBack();
}

void AppState::submitCode(const QString& digits)
{
    if (m_pairingInProgress)
        return;
    setPairingInProgress(true);
    QPointer<AppState> self(this);
    [](QPointer<AppState> self, QString digits) -> QCoro::Task<void> {
        co_await self->pairWithCode(std::move(digits));
        if (self)
            self->setPairingInProgress(false);
    }(self, digits);
}

void AppState::cancelPairing()
{
    m_connectionManager->disconnect(DisconnectionReason::userCancelled);
    setPairingErrorText({});
    goBack();
}

QCoro::Task<void> AppState::sizeSelection()
{
    QPointer<AppState> self(this);
    if (m_homeFolderScanner->folders().isEmpty())
        co_await m_homeFolderScanner->scan();
    if (!self)
        co_return;
    co_await m_categoryManager->calculateSizes();
    if (self)
        m_categoryManager->overrideEstimatedSize(QStringLiteral("userFiles"), m_homeFolderScanner->totalSelectedSize());
}

void AppState::prepareSelection()
{
    detached(sizeSelection());
    if (m_deviceRole == DeviceRole::destination)
        return;
    m_appChoicesOffered = true;
    m_appCompatibility->setTransferMissingByDefault(m_profileManager->values().transferDataForMissingApps);
    if (!m_appCompatibility->isScanning())
        detached(m_appCompatibility->scan());
}

void AppState::checkReadiness() { detached(runPreflightChecks()); }

bool AppState::developerToolsOffered() const { return m_profileManager->values().engineeringToolsEnabled; }

void AppState::setEngineeringToolsEnabled(bool enabled)
{
    assignAndNotify(this, m_engineeringToolsEnabled, enabled, &AppState::engineeringToolsEnabledChanged);
}

QCoro::Task<void> AppState::planDeveloperTools()
{
    QPointer<AppState> self(this);
    if (m_demoMode)
        m_engToolsDetector->useInventory(DemoData::sampleDeveloperInventory(m_environment.homeFolder));
    else
        co_await m_engToolsDetector->scan(m_environment.homeFolder, username(), true);
    // The other machine's architecture is not known here: no mismatch is assumed.
    if (self)
        m_engToolsPlan->buildFromInventory(m_engToolsDetector->inventory(), false, true, true);
}

void AppState::includeDeveloperTools(bool on)
{
    setEngineeringToolsEnabled(on);
    if (on && !m_engToolsDetector->hasScanned() && !m_engToolsDetector->isScanning())
        detached(planDeveloperTools());
}

void AppState::startPreFlightReview() { detached(reviewPreFlight()); }

void AppState::toggleCategory(const QString& id) { m_categoryManager->toggleCategory(id); }

void AppState::leaveOutCategory(const QString& id)
{
    // Only ever deselects: a second press while the checks rerun must not bring it back.
    const QList<DataCategory> selected = m_categoryManager->selectedCategories();
    if (std::ranges::any_of(selected, [&id](const DataCategory& c) { return c.id == id; }))
        m_categoryManager->toggleCategory(id);
    checkReadiness();
}

void AppState::toggleFolder(const QString& name)
{
    m_homeFolderScanner->toggleFolder(name);
    m_categoryManager->overrideEstimatedSize(QStringLiteral("userFiles"), m_homeFolderScanner->totalSelectedSize());
}

void AppState::selectAllFolders()
{
    m_homeFolderScanner->selectAll();
    m_categoryManager->overrideEstimatedSize(QStringLiteral("userFiles"), m_homeFolderScanner->totalSelectedSize());
}

void AppState::selectDefaultFolders()
{
    m_homeFolderScanner->selectDefaultsOnly();
    m_categoryManager->overrideEstimatedSize(QStringLiteral("userFiles"), m_homeFolderScanner->totalSelectedSize());
}

bool AppState::addCustomFolder(const QString& path)
{
    // Only folders of the home served: the manifest names them relative to it.
    const QString home = QDir::cleanPath(m_environment.homeFolder);
    const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    if (!QFileInfo(clean).isDir() || !clean.startsWith(home + u'/'))
        return false;
    m_categoryManager->addCustomPath(QUrl::fromLocalFile(clean));
    return true;
}

void AppState::startTransfer()
{
    if (!m_transferEngine || m_transferProgress->isTransferring() || m_transferProgress->startedAt())
        return;
    detached(runTransfer());
}

void AppState::cancelTransfer()
{
    // A destination takes back what this transfer wrote; its checkpoint stays for a later run.
    if (auto* destination = dynamic_cast<DestinationTransfer*>(m_transferEngine.get()); destination && !destination->isCancelled())
        detached(destination->cancelAndCleanup());
    else if (m_transferEngine && !m_transferEngine->isCancelled())
        m_transferEngine->cancel();
    else if (!m_transferEngine)
        m_transferProgress->setIsCancelled(true); // nothing ran, and nothing will
    goToNext();
}

void AppState::discardCheckpoint(const QString& transferID)
{
    if (!ResumeState::isValidTransferID(transferID))
        return;
    PartialFolders::discard(m_environment.homeFolder, transferID);
    Q_EMIT checkpointsChanged();
}


void AppState::previewDemo()
{
    if (!m_environment.demoAvailable || m_environment.demoWorkdir.isEmpty())
        return;
    // The sample home to send from and an empty one to receive into, beside each other in the workdir.
    try {
        DemoData::buildSampleHome(demoHome(m_environment, DeviceRole::source), DemoData::kDemoFiles, DemoData::kDemoSeed);
    } catch (const std::exception& e) {
        setConnectionErrorText(describe(e));
        return;
    }
    QDir(demoHome(m_environment, DeviceRole::destination)).removeRecursively();
    QDir().mkpath(demoHome(m_environment, DeviceRole::destination));
    setDemoMode(true);
    goToNext();
}

QList<DiscoveredPeer> AppState::demoPeers() const
{
    DiscoveredPeer peer = peerForAddress(QStringLiteral("127.0.0.1"), 0, std::nullopt);
    peer.hostname = say(QString::fromLatin1(kDemoSourceName));
    peer.username = username();
    peer.transport = TransportType::thunderbolt;
    peer.id = peer.hostname + u'_' + toString(peer.transport);
    return {peer};
}

void AppState::demoSelectPeer(const QString& peerID)
{
    if (!m_demoMode || m_demoPeer || peerID != demoPeers().constFirst().id)
        return;
    setConnectionErrorText({});
    m_demoPeer = std::make_unique<DemoPeer>(
        m_environment.demoPeerProgram,
        QStringList{QStringLiteral("send"), QStringLiteral("--home"), demoHome(m_environment, DeviceRole::source),
                    QStringLiteral("--categories"), QStringLiteral("userFiles"), QStringLiteral("--hostname"),
                    demoPeers().constFirst().hostname, QStringLiteral("--username"), username(), QStringLiteral("--json")});
    connect(m_demoPeer.get(), &DemoPeer::advertising, this, [this](const QJsonObject& event) {
        DiscoveredPeer peer = demoPeers().constFirst();
        peer.endpoint.port = quint16(event.value(QStringLiteral("port")).toInt());
        selectPeer(peer);
        demoConfirmPairing();
    });
    connect(m_demoPeer.get(), &DemoPeer::finished, this, [this](int code) {
        if (code != 0 && m_currentStep < MigrationStep::progress)
            setConnectionErrorText(QStringLiteral("The demo source stopped (exit code %1).").arg(code));
    });
    m_demoPeer->start();
}

void AppState::demoConfirmPairing()
{
    if (m_demoPeer && !m_demoPeer->advertisement().isEmpty())
        submitCode(m_demoPeer->advertisement().value(QStringLiteral("code")).toString());
}

// The demo destination: a receiving child that connects to this source with its code.
void AppState::startDemoReceiver()
{
    m_demoPeer = std::make_unique<DemoPeer>(
        m_environment.demoPeerProgram,
        QStringList{QStringLiteral("receive"), QStringLiteral("--home"), demoHome(m_environment, DeviceRole::destination),
                    QStringLiteral("--connect"),
                    QStringLiteral("127.0.0.1:%1").arg(m_connectionManager->listeningPort()), QStringLiteral("--code"),
                    pairingCodeText(), QStringLiteral("--json")});
    m_demoPeer->start();
}

void AppState::useHomeFolder(const QString& home)
{
    if (home == m_environment.homeFolder)
        return;
    m_environment.homeFolder = home;
    m_categoryManager = std::make_unique<DataCategoryManager>(home);
    m_homeFolderScanner = std::make_unique<HomeFolderScanner>(home);
    applyHomeLayout();
    forwardSelectionSignals();
    Q_EMIT categoryRowsChanged();
    Q_EMIT folderRowsChanged();
    Q_EMIT checkpointsChanged();
}

void AppState::forwardSelectionSignals()
{
    connect(m_categoryManager.get(), &DataCategoryManager::categoriesChanged, this, &AppState::categoryRowsChanged);
    connect(m_categoryManager.get(), &DataCategoryManager::isCalculatingSizesChanged, this,
            &AppState::calculatingSizesChanged);
    connect(m_categoryManager.get(), &DataCategoryManager::customPathsChanged, this, &AppState::folderRowsChanged);
    connect(m_homeFolderScanner.get(), &HomeFolderScanner::foldersChanged, this, &AppState::folderRowsChanged);
    connect(m_homeFolderScanner.get(), &HomeFolderScanner::isScanningChanged, this, &AppState::scanningFoldersChanged);
    // The space line follows the selection and every size found.
    connect(m_categoryManager.get(), &DataCategoryManager::categoriesChanged, this, &AppState::validateSpace);
}

void AppState::forwardScreenSignals()
{
    ConnectionManager* cm = m_connectionManager.get();
    connect(cm, &ConnectionManager::discoveredPeersChanged, this, &AppState::peersChanged);
    connect(this, &AppState::demoModeChanged, this, &AppState::peersChanged);
    connect(cm, &ConnectionManager::activeTransportChanged, this, &AppState::transportNameChanged);
    connect(cm, &ConnectionManager::stateChanged, this, &AppState::thunderboltDetectedChanged);
    connect(cm, &ConnectionManager::stateChanged, this, &AppState::peerConnectedChanged);
    connect(cm, &ConnectionManager::transferSessionChanged, this, &AppState::peerConnectedChanged);
    connect(cm->pairingManager(), &PairingManager::isExpiredChanged, this, &AppState::pairingExpiredChanged);
    forwardSelectionSignals();
    watchAccounts();
    forwardCheckSignals();
    connect(this, &AppState::selectedPeerChanged, this, &AppState::proposedMappingChanged);
    connect(this, &AppState::deviceRoleChanged, this, &AppState::proposedMappingChanged);
    connect(this, &AppState::connectionFailed, this, [this](const QString& text) { setConnectionErrorText(text); });
    forwardDiscoverySignals();
}

} // namespace kivo
