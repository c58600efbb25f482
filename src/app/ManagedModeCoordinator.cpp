// SPDX-License-Identifier: Apache-2.0
#include "app/ManagedModeCoordinator.h"

#include "app/AppState.h"
#include "app/MigrationFlow.h"
#include "app/MigrationWindow.h"
#include "app/SendFlow.h"
#include "preflight/PreFlightReport.h"
#include "categories/DataCategory.h"
#include "categories/DataCategoryManager.h"
#include "connection/ConnectionManager.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/HostNames.h"
#include "platform/Logging.h"
#include "platform/ManagedPreferencesPaths.h"
#include "transfer/DestinationTransfer.h"

#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QDir>
#include <QtConcurrent>

namespace kivo {

namespace {

using Kind = ManagedModeCoordinator::State::Kind;

ManagedModeCoordinator::State stateOf(Kind kind, QString text = {})
{
    return {kind, {}, std::move(text)};
}

QString wholeSeconds(std::chrono::milliseconds d)
{
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(d).count()) + u's';
}

const char kRejectedText[] = "It could not prove this organisation's pairing secret.";
// How long a record we could not reach rests before it is tried again.
constexpr std::chrono::milliseconds kUnreachableRetry{2000};

} // namespace

// ---- states -----------------------------------------------------------------------------

QString ManagedModeCoordinator::State::description() const
{
    switch (kind) {
    case Kind::validating: return QStringLiteral("validating");
    case Kind::missingKeys: return QStringLiteral("missingKeys(%1)").arg(keys.join(QStringLiteral(", ")));
    case Kind::attestationFailed: return QStringLiteral("attestationFailed(%1)").arg(text);
    case Kind::awaitingPeer: return QStringLiteral("awaitingPeer");
    case Kind::attestating: return QStringLiteral("attestating(%1)").arg(text);
    case Kind::sourceRejected: return QStringLiteral("sourceRejected(%1)").arg(text);
    case Kind::pairing: return QStringLiteral("pairing(%1)").arg(text);
    case Kind::ready: return QStringLiteral("ready(%1)").arg(text);
    case Kind::transferring: return QStringLiteral("transferring");
    case Kind::complete: return QStringLiteral("complete");
    case Kind::failed: return QStringLiteral("failed(%1)").arg(text);
    }
    return {};
}

QString ManagedModeCoordinator::State::title() const
{
    switch (kind) {
    case Kind::validating: return QStringLiteral("Preparing");
    case Kind::missingKeys: return QStringLiteral("Configuration incomplete");
    case Kind::attestationFailed: return QStringLiteral("Device not enrolled");
    case Kind::awaitingPeer: return QStringLiteral("Looking for source Mac");
    case Kind::attestating: return QStringLiteral("Verifying ") + text;
    case Kind::sourceRejected: return QStringLiteral("Source not allowed");
    case Kind::pairing: return QStringLiteral("Pairing with ") + text;
    case Kind::ready: return QStringLiteral("Connected to ") + text;
    case Kind::transferring: return QStringLiteral("Migrating");
    case Kind::complete: return QStringLiteral("Migration complete");
    case Kind::failed: return QStringLiteral("Migration failed");
    }
    return {};
}

QString ManagedModeCoordinator::State::detail() const
{
    switch (kind) {
    case Kind::validating: return QStringLiteral("Reading your organisation's configuration.");
    case Kind::missingKeys:
        return QStringLiteral("The configuration profile is missing required keys:\n") + keys.join(QStringLiteral(", "));
    case Kind::attestationFailed:
        return QStringLiteral("kivo can't run in managed mode on a device that isn't MDM-enrolled.\n") + text;
    case Kind::awaitingPeer:
        return QStringLiteral("Plug in your old Mac (Thunderbolt) or put both Macs on the same network and launch kivo there.");
    case Kind::attestating: return QStringLiteral("Checking that the other Mac is permitted to send data.");
    case Kind::sourceRejected: return QStringLiteral("The other Mac isn't enrolled with your organisation.\n") + text;
    case Kind::pairing: return QStringLiteral("Establishing a secure connection.");
    case Kind::ready: return QStringLiteral("Ready to transfer.");
    case Kind::transferring: return QStringLiteral("Receiving your data. This screen updates as files arrive.");
    case Kind::complete: return QStringLiteral("Your data has been transferred. You can quit kivo now.");
    case Kind::failed: return text;
    }
    return {};
}

bool ManagedModeCoordinator::State::isTerminal() const
{
    return kind == Kind::missingKeys || kind == Kind::attestationFailed || kind == Kind::complete || kind == Kind::failed;
}

// ---- the destination's steps, as a flow so the transfer reports like any other ----------

class ManagedDestinationFlow : public MigrationFlow {
public:
    ManagedDestinationFlow(AppState& session, ManagedModeCoordinator& coordinator)
        : MigrationFlow(session), m_coordinator(coordinator)
    {
    }

protected:
    QCoro::Task<void> runSteps() override;

private:
    enum class Pairing { paired, rejected, unreachable };
    std::optional<DiscoveredPeer> firstEligiblePeer() const;
    bool resting(const DiscoveredPeer& peer) const;
    QCoro::Task<Pairing> pairWith(DiscoveredPeer peer, bool again);
    // Ends the run in `failed` with one event, and the flow with `exit`.
    [[noreturn]] void stop(FlowExit exit, QString text, const QString& event, QMap<QString, QString> details = {});
    // Sources are found only by service discovery: without it the run ends.
    void stopIfBlind();
    void autoDeriveUserMapping();

    ManagedModeCoordinator& m_coordinator;
    // Whole records: a source that comes back under the same name with another
    // address or code is a new one.
    QList<DiscoveredPeer> m_rejected;
    // Records we could not reach, each out of the running until its time is up:
    // a record that outlived its source may be the very record of its successor.
    QList<std::pair<DiscoveredPeer, QDeadlineTimer>> m_unreachablePeers;
    std::optional<QString> m_unreachable; // why the last source we tried could not be reached
};

void ManagedDestinationFlow::stop(FlowExit exit, QString text, const QString& event, QMap<QString, QString> details)
{
    m_coordinator.transition(stateOf(Kind::failed, text));
    m_coordinator.post(event, std::move(details));
    fail(exit, std::move(text));
}

void ManagedDestinationFlow::stopIfBlind()
{
    if (const auto& failure = session().connectionManager()->discoveryFailure()) {
        const QString text = QStringLiteral("Cannot look for the source on the network: %1.").arg(*failure);
        stop(FlowExit::serviceUnavailable, text, QStringLiteral("managed.failed"),
             {{QStringLiteral("error"), text}, {QStringLiteral("mismatches"), QStringLiteral("0")}});
    }
}

bool ManagedDestinationFlow::resting(const DiscoveredPeer& peer) const
{
    return std::any_of(m_unreachablePeers.begin(), m_unreachablePeers.end(),
                       [&](const auto& entry) { return entry.first == peer && !entry.second.hasExpired(); });
}

std::optional<DiscoveredPeer> ManagedDestinationFlow::firstEligiblePeer() const
{
    // Without a secret only the advertised code can pair: a source that shows none is not a candidate (yet).
    const bool needsCode = !m_coordinator.config().pairingSecret;
    for (const DiscoveredPeer& peer : session().connectionManager()->discoveredPeers())
        if (!m_rejected.contains(peer) && !resting(peer) && (!needsCode || peer.pairingCode)
            && ManagedModeCoordinator::isEligible(peer, m_coordinator.config().migrationSource))
            return peer;
    return std::nullopt;
}

QCoro::Task<void> ManagedDestinationFlow::runSteps()
{
    const ManagedDeploymentConfig& config = m_coordinator.config();
    ConnectionManager* cm = session().connectionManager();
    const QString home = session().environment().homeFolder;
    if (home.isEmpty() || !QDir().mkpath(home))
        fail(FlowExit::usage, QStringLiteral("cannot create home folder \"%1\"").arg(home));
    cm->setPairingSecret(config.pairingSecret);
    cm->setAllowUnverifiedPairing(!config.pairingSecret && config.allowUnverifiedPairing);
    // Before pairing: the engine is adapted for this account when it is made.
    AdaptationOptions adaptation = session().adaptationOptions();
    adaptation.destinationUsername = config.shortUsername().value_or(host::loginUserName());
    session().setAdaptationOptions(std::move(adaptation));
    if (!config.pairingSecret)
        qCWarning(lcManagedModeCoordinator) << "No pairing secret: the code a source advertises is taken on trust";
    session().goToNext(); // the role screen
    session().chooseRole(DeviceRole::destination);
    stopIfBlind();
    m_coordinator.transition(stateOf(Kind::awaitingPeer));
    m_coordinator.post(QStringLiteral("managed.awaiting_peer"));

    // A rejected source does not end the wait: the right one may still come, until the deadline.
    const QDeadlineTimer discovery(m_coordinator.m_options.discoveryTimeout);
    bool connectedBefore = false;
    DiscoveredPeer peer;
    for (;;) {
        const auto left = std::chrono::milliseconds(std::max<qint64>(0, discovery.remainingTime()));
        // Looked at again at least every retry pause, when a resting record may be tried anew.
        if (!co_await waitUntil([this, cm] { return firstEligiblePeer().has_value() || cm->discoveryFailure(); },
                                std::min(left, kUnreachableRetry))) {
            if (isCancelRequested())
                stop(FlowExit::transferFailed, QStringLiteral("Cancelled"), QStringLiteral("managed.failed"),
                     {{QStringLiteral("error"), QStringLiteral("Cancelled")}, {QStringLiteral("mismatches"), QStringLiteral("0")}});
            if (!discovery.hasExpired())
                continue;
            if (m_unreachable)
                stop(FlowExit::pairingFailed, QStringLiteral("Pairing failed: ") + *m_unreachable,
                     QStringLiteral("managed.pairing_failed"), {{QStringLiteral("reason"), *m_unreachable}});
            stop(FlowExit::noSource,
                 QStringLiteral("No peer discovered within ") + wholeSeconds(m_coordinator.m_options.discoveryTimeout),
                 QStringLiteral("managed.discovery_timeout"));
        }
        if (!firstEligiblePeer())
            stopIfBlind();
        peer = *firstEligiblePeer();
        m_coordinator.transition(stateOf(Kind::attestating, peer.hostname));
        m_coordinator.transition(stateOf(Kind::pairing, peer.hostname));
        const Pairing outcome = co_await pairWith(peer, connectedBefore);
        connectedBefore = true;
        if (outcome == Pairing::paired)
            break;
        if (outcome == Pairing::unreachable) {
            m_unreachablePeers.append({peer, QDeadlineTimer(kUnreachableRetry)});
            m_coordinator.transition(stateOf(Kind::awaitingPeer));
            continue;
        }
        m_rejected << peer;
        qCWarning(lcManagedModeCoordinator).noquote() << "Source rejected:" << peer.hostname;
        m_coordinator.transition(stateOf(Kind::sourceRejected, QString::fromLatin1(kRejectedText)));
    }
    cm->stopDiscovery();
    Q_EMIT paired(peer);

    autoDeriveUserMapping();
    if (!session().transferEngine())
        stop(FlowExit::transferFailed, QStringLiteral("Failed to create transfer engine"), QStringLiteral("managed.failed"),
             {{QStringLiteral("error"), QStringLiteral("Failed to create transfer engine")},
              {QStringLiteral("mismatches"), QStringLiteral("0")}});
    m_coordinator.transition(stateOf(Kind::ready, peer.hostname));
    m_coordinator.post(QStringLiteral("managed.ready"));
    m_coordinator.transition(stateOf(Kind::transferring));
    m_coordinator.post(QStringLiteral("managed.transfer_start"));
    const std::optional<FlowFailure> failure = co_await transfer();
    cm->disconnect(DisconnectionReason::transferComplete);
    if (failure)
        throw *failure;
}

// Connects and proves the organisation's secret (or, where allowed, the
// advertised code). A source that cannot prove the secret is rejected; any
// other failure, or no session in time, ends the run.
QCoro::Task<ManagedDestinationFlow::Pairing> ManagedDestinationFlow::pairWith(DiscoveredPeer peer, bool again)
{
    ConnectionManager* cm = session().connectionManager();
    const ManagedDeploymentConfig& config = m_coordinator.config();
    const std::chrono::milliseconds timeout = m_coordinator.m_options.pairingTimeout;
    const QString timedOut = QStringLiteral("Pairing did not complete in ") + wholeSeconds(timeout);

    std::optional<QString> failure;
    const QMetaObject::Connection watch =
        connect(&session(), &AppState::connectionFailed, this, [&failure](const QString& text) { failure = text; });
    cm->setActiveTransport(peer.transport);
    if (again)
        session().reconnectPeer(peer);
    else
        session().selectPeer(peer);
    co_await waitUntil([&] { return failure || (cm->transferSession() && cm->transferSession()->isConnected()); }, timeout);
    disconnect(watch);
    // A record that outlived its source (or an address we cannot reach) is not
    // the end of the wait; failing to pair with one we reached is.
    if (failure && cm->state().error && cm->state().error->kind() == ConnectionError::Kind::connectionFailed) {
        qCWarning(lcManagedModeCoordinator).noquote() << "Source unreachable:" << peer.hostname << *failure;
        m_unreachable = *failure;
        co_return Pairing::unreachable;
    }
    // A peer that cannot pair securely cannot prove the secret either: an old
    // or foreign source on the same network, not the end of the wait.
    if (failure && cm->state().error && cm->state().error->kind() == ConnectionError::Kind::insecurePeer) {
        qCWarning(lcManagedModeCoordinator).noquote() << "Source cannot pair securely:" << peer.hostname;
        co_return Pairing::rejected;
    }
    if (failure)
        stop(FlowExit::pairingFailed, QStringLiteral("Pairing failed: ") + *failure, QStringLiteral("managed.pairing_failed"),
             {{QStringLiteral("reason"), *failure}});
    if (!cm->transferSession() || !cm->transferSession()->isConnected())
        stop(FlowExit::pairingFailed, timedOut, QStringLiteral("managed.pairing_timeout"));

    if (peer.securePairing || config.pairingSecret) {
        try {
            co_await cm->pairSecurely(peer.pairingCode.value_or(QString()));
        } catch (const ConnectionError& e) {
            if (e.kind() == ConnectionError::Kind::pairingMismatch || e.kind() == ConnectionError::Kind::insecurePeer)
                co_return Pairing::rejected;
            stop(FlowExit::pairingFailed, QStringLiteral("Pairing failed: ") + e.description(),
                 QStringLiteral("managed.pairing_failed"), {{QStringLiteral("reason"), e.description()}});
        }
        session().completePairingHandshake();
    } else if (!session().submitPairingCode(*peer.pairingCode)) {
        co_return Pairing::rejected;
    }
    if (!cm->transferSession())
        stop(FlowExit::pairingFailed, timedOut, QStringLiteral("managed.pairing_timeout"));
    co_return Pairing::paired;
}

// The principal's account receives; paths that name the source's home are mapped to it.
void ManagedDestinationFlow::autoDeriveUserMapping()
{
    session().confirmProposedUserMapping();
}

// ---- the coordinator ---------------------------------------------------------------------

ManagedModeCoordinator::ManagedModeCoordinator(ManagedDeploymentConfig config, AppState& appState, Options options,
                                               QObject* parent)
    : QObject(parent), m_config(std::move(config)), m_appState(appState), m_options(std::move(options))
{
    if (!m_options.attestLocalDevice)
        m_options.attestLocalDevice = [] {
            return attestation::attestLocalDevice(managedpaths::managedPreferencesFolder(), managedpaths::profilesTool());
        };
}

ManagedModeCoordinator::~ManagedModeCoordinator() = default;

QString ManagedModeCoordinator::headline() const
{
    return m_config.brandingName ? QStringLiteral("Managed by ") + *m_config.brandingName
                                 : QStringLiteral("Managed Migration");
}

bool ManagedModeCoordinator::isEligible(const DiscoveredPeer& peer, ManagedMigrationSource source)
{
    switch (source) {
    case ManagedMigrationSource::bonjour: return peer.transport != TransportType::thunderbolt;
    case ManagedMigrationSource::thunderbolt: return peer.transport == TransportType::thunderbolt;
    case ManagedMigrationSource::automatic: break;
    }
    return true;
}

void ManagedModeCoordinator::transition(State state)
{
    qCInfo(lcManagedModeCoordinator).noquote() << "Managed state:" << state.description();
    if (m_state == state)
        return;
    m_state = std::move(state);
    Q_EMIT stateChanged();
}

void ManagedModeCoordinator::post(const QString& event, QMap<QString, QString> details)
{
    if (m_options.postEvent)
        m_options.postEvent(event, std::move(details));
}

QMap<QString, QString> ManagedModeCoordinator::preFlightTotals(const PreFlightReport& report)
{
    const auto n = [](auto v) { return QString::number(v); };
    return {{QStringLiteral("totalFiles"), n(report.totalFiles)},
            {QStringLiteral("totalBytes"), n(report.totalBytes)},
            {QStringLiteral("excludedFiles"), n(report.excludedFiles)},
            {QStringLiteral("excludedBytes"), n(report.excludedBytes)},
            {QStringLiteral("conflicts"), n(report.conflicts.size())},
            {QStringLiteral("estimatedSeconds"), n(report.estimatedSeconds)}};
}

void ManagedModeCoordinator::postPreFlightReport(const QMap<QString, QString>& totals)
{
    post(QStringLiteral("managed.preflight_scanned"), totals);
}

void ManagedModeCoordinator::cancel()
{
    m_cancelled = true;
    if (m_flow)
        m_flow->cancel();
}

void ManagedModeCoordinator::applyManagedCategories()
{
    DataCategoryManager* manager = m_appState.categoryManager();
    manager->loadCategories(m_appState.profileManager()->categoryProfile());
    QStringList selected;
    for (const DataCategory& c : QList<DataCategory>(manager->categories())) {
        if (c.isSelected != m_config.migrationCategories.contains(c.id))
            manager->toggleCategory(c.id);
        if (m_config.migrationCategories.contains(c.id))
            selected << c.id;
    }
    qCInfo(lcManagedModeCoordinator).noquote() << "Managed category set:" << selected.join(QStringLiteral(", "));
}

QCoro::Task<FlowExit> ManagedModeCoordinator::start()
{
    post(QStringLiteral("managed.start"),
         {{QStringLiteral("role"), toString(m_config.deploymentRole)},
          {QStringLiteral("source"), toString(m_config.migrationSource)},
          {QStringLiteral("requireManagedSource"), m_config.requireManagedSource ? QStringLiteral("true") : QStringLiteral("false")}});

    const QStringList missing = m_config.missingRequiredKeys();
    if (!missing.isEmpty()) {
        transition({Kind::missingKeys, missing, {}});
        post(QStringLiteral("managed.missing_keys"), {{QStringLiteral("keys"), missing.join(QStringLiteral(", "))}});
        co_return FlowExit::unusableInput;
    }
    if (auto refusal = migrationWindowRefusal(*m_appState.profileManager(), QDateTime::currentDateTime())) {
        transition(stateOf(Kind::failed, refusal->text));
        post(QStringLiteral("managed.failed"), {{QStringLiteral("error"), refusal->text}, {QStringLiteral("mismatches"), QStringLiteral("0")}});
        co_return FlowExit::refused;
    }
    if (m_config.requireManagedSource) {
        // The tool may take a while; the event loop keeps running meanwhile.
        const AttestationOutcome outcome = co_await QtConcurrent::run(m_options.attestLocalDevice);
        if (!outcome.enrolled) {
            transition(stateOf(Kind::attestationFailed, outcome.reason));
            post(QStringLiteral("managed.attestation_failed"), {{QStringLiteral("reason"), outcome.reason}});
            co_return FlowExit::refused;
        }
        qCInfo(lcManagedModeCoordinator) << "Local MDM attestation: enrolled";
    }
    if (!m_config.migrationCategories.isEmpty())
        applyManagedCategories();
    if (m_config.deploymentRole == DeploymentRole::source)
        co_return co_await runSourceFlow();
    co_return co_await runDestinationFlow();
}

QCoro::Task<FlowExit> ManagedModeCoordinator::runFlow(MigrationFlow& flow)
{
    m_flow = &flow;
    connect(&flow, &MigrationFlow::summaryReady, this, &ManagedModeCoordinator::finishTransfer);
    Q_EMIT flowStarted(&flow);
    if (m_cancelled)
        flow.cancel();
    const FlowExit exit = co_await flow.run();
    m_flow = nullptr;
    co_return exit;
}

QCoro::Task<FlowExit> ManagedModeCoordinator::runSourceFlow()
{
    ConnectionManager* cm = m_appState.connectionManager();
    cm->setPairingSecret(m_config.pairingSecret);
    SendFlow::Request request;
    if (!m_config.migrationCategories.isEmpty())
        request.categories = m_config.migrationCategories;
    request.allowUnverifiedPairing = !m_config.pairingSecret && m_config.allowUnverifiedPairing;
    request.mustBeFound = m_options.sourceMustBeFound;
    SendFlow flow(m_appState, std::move(request));
    connect(&flow, &SendFlow::advertising, this, [this] {
        if (m_state.kind != Kind::validating)
            return; // a fresh code: still the same wait
        transition(stateOf(Kind::awaitingPeer));
        post(QStringLiteral("managed.source_advertising"));
    });
    connect(&flow, &SendFlow::preflightReport, this, [this](const PreFlightReport& report) {
        postPreFlightReport(preFlightTotals(report));
    });
    connect(&flow, &MigrationFlow::paired, this, [this] {
        transition(stateOf(Kind::ready, QStringLiteral("destination")));
        post(QStringLiteral("managed.ready"));
        transition(stateOf(Kind::transferring));
        post(QStringLiteral("managed.transfer_start"));
    });
    connect(&flow, &MigrationFlow::failed, this, [this](const FlowFailure& f) {
        if (!m_state.isTerminal()) {
            transition(stateOf(Kind::failed, f.text));
            post(QStringLiteral("managed.failed"), {{QStringLiteral("error"), f.text}, {QStringLiteral("mismatches"), QStringLiteral("0")}});
        }
    });
    co_return co_await runFlow(flow);
}

QCoro::Task<FlowExit> ManagedModeCoordinator::runDestinationFlow()
{
    ManagedDestinationFlow flow(m_appState, *this);
    connect(&flow, &MigrationFlow::failed, this, [this](const FlowFailure& f) {
        // Failures the steps did not name themselves (the home folder, say).
        if (!m_state.isTerminal()) {
            transition(stateOf(Kind::failed, f.text));
            post(QStringLiteral("managed.failed"), {{QStringLiteral("error"), f.text}, {QStringLiteral("mismatches"), QStringLiteral("0")}});
        }
    });
    co_return co_await runFlow(flow);
}

void ManagedModeCoordinator::finishTransfer(const TransferSummary& summary)
{
    if (!failureOf(summary)) {
        transition(stateOf(Kind::complete));
        post(QStringLiteral("managed.complete"), {{QStringLiteral("files"), QString::number(summary.filesCompleted)},
                                                  {QStringLiteral("bytes"), QString::number(summary.bytes)}});
        return;
    }
    const QString error = summary.error.isEmpty() ? QStringLiteral("Transfer failed") : summary.error;
    transition(stateOf(Kind::failed, error));
    post(QStringLiteral("managed.failed"),
         {{QStringLiteral("error"), summary.error.isEmpty() ? QStringLiteral("unknown") : summary.error},
          {QStringLiteral("mismatches"), QString::number(summary.mismatches.size())}});
}

} // namespace kivo
