// SPDX-License-Identifier: Apache-2.0
#include "app/SendFlow.h"

#include "app/AppState.h"
#include "app/DeveloperToolsPolicy.h"
#include "app/MigrationWindow.h"
#include "categories/DataCategory.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "categories/KeychainHandler.h"
#include "transfer/Background.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "devtools/EngineeringMigrationPlan.h"
#include "devtools/EngineeringToolsDetector.h"
#include "managed/ConfigurationProfileManager.h"
#include "transfer/OutgoingTransfer.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

namespace {

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

SendFlow::SendFlow(AppState& session, Request request, QObject* parent)
    : MigrationFlow(session, parent), m_request(std::move(request))
{
}

std::optional<QString> SendFlow::unknownCategory(const QStringList& requested, const QStringList& known)
{
    for (const QString& id : requested)
        if (!known.contains(id))
            return QStringLiteral("unknown category \"%1\" (known: %2)").arg(id, known.join(QStringLiteral(", ")));
    return std::nullopt;
}

std::optional<QString> SendFlow::unknownFolder(const QStringList& requested, const QStringList& available,
                                               const QString& homeFolder)
{
    for (const QString& name : requested)
        if (!available.contains(name))
            return QStringLiteral("no folder \"%1\" in %2 (found: %3)")
                .arg(name, homeFolder, available.join(QStringLiteral(", ")));
    return std::nullopt;
}

QCoro::Task<void> SendFlow::runSteps()
{
    const QString home = session().environment().homeFolder;
    if (!QFileInfo(home).isDir())
        fail(FlowExit::usage, QStringLiteral("home folder \"%1\" does not exist").arg(home));

    if (auto refusal = migrationWindowRefusal(*session().profileManager(), QDateTime::currentDateTime()))
        throw *refusal;
    // The selection is checked before anyone is asked to pair.
    QStringList known;
    for (const DataCategory& c : DataCategory::allCategories(session().homeLayout()))
        known << c.id;
    const ConfigurationProfileManager& profile = *session().profileManager();
    // Left to the defaults, the profile narrows the selection without a word.
    QStringList allowed;
    for (const QString& id : std::as_const(known))
        if (profile.isCategoryAllowed(id))
            allowed << id;
    QStringList categories = m_request.categories.value_or(allowed);
    known << DataCategory::engineeringTools().id; // only when asked for
    if (const auto problem = unknownCategory(categories, known))
        fail(FlowExit::usage, *problem);
    if (m_request.categories)
        if (auto refusal = categoryPolicyRefusal(categories, profile.categoryProfile(), profile.values().engineeringToolsEnabled,
                                                   session().homeLayout()))
            throw *refusal;
    categories = co_await confirmSensitive(std::move(categories));
    if (categories.contains(DataCategory::engineeringTools().id))
        co_await planDeveloperTools();
    else if (!m_request.devInclude.isEmpty())
        fail(FlowExit::usage, QStringLiteral("--dev-include needs the engineeringTools category"));
    const QStringList folders = co_await applySelection();

    resumeOrRecord(sorted(categories), sorted(folders));
    // The plan is copied here, on its own thread; the step walks it off the event loop.
    const EngineeringItemsProvider developerItems =
        categories.contains(DataCategory::engineeringTools().id) ? session().engineeringItems() : EngineeringItemsProvider();
    if (m_request.beforeAdvertising)
        if (const auto failure = co_await runInBackground([&] {
                return m_request.beforeAdvertising(categories, folders, session().transferID(), developerItems);
            }))
            throw *failure;
    if (m_request.conflictPolicy)
        session().setConflictPolicy(*m_request.conflictPolicy);
    session().setMaxTransferMbps(m_request.maxTransferMbps);

    session().connectionManager()->setAllowUnverifiedPairing(m_request.allowUnverifiedPairing);
    connect(session().connectionManager(), &ConnectionManager::discoveryFailureChanged, this, [this] {
        if (session().connectionManager()->discoveryFailure() && !m_request.mustBeFound)
            Q_EMIT warning(unlistedWarning());
    });
    startAdvertising();
    co_await awaitPairing();
    Q_EMIT paired(std::nullopt);

    QStringList sent = categories;
    if (session().connectionManager()->pairedUnverified()) {
        Q_EMIT warning(QString::fromUtf8(kUnverifiedPairingWarning));
        if (sent.removeAll(QStringLiteral("keychain")) > 0)
            Q_EMIT warning(QString::fromUtf8(kKeychainLeftOutNotice));
    }
    co_await prepareTransfer(sent);
    co_await runPreflight();
    const std::optional<FlowFailure> failure = co_await transfer();
    if (session().transferProgress()->isComplete()) {
        OutgoingTransfer::remove(home);
        QDir(session().developerFilesFolder()).removeRecursively();
    }
    session().connectionManager()->disconnect(DisconnectionReason::transferComplete);
    if (failure)
        throw *failure;
}

// The keychain is checked before anyone is asked to pair: confirmed, and readable.
QCoro::Task<QStringList> SendFlow::confirmSensitive(QStringList categories)
{
    const QString keychain = QStringLiteral("keychain");
    if (!categories.contains(keychain))
        co_return categories;
    QString warningText;
    for (const DataCategory& c : DataCategory::allCategories(session().homeLayout()))
        if (c.id == keychain)
            warningText = c.sensitivityWarning.value_or(QString());
    bool confirmed = m_request.confirmSensitive;
    if (!confirmed && m_request.askSensitive)
        confirmed = co_await m_request.askSensitive(warningText);
    if (!confirmed) {
        if (m_request.categories)
            fail(FlowExit::usage, warningText + QStringLiteral(" Confirm with --confirm-sensitive to include the keychain."));
        categories.removeAll(keychain);
        Q_EMIT warning(QStringLiteral("The keychain is left out: it moves only once its warning is confirmed."));
        co_return categories;
    }
    const auto check = m_request.keychainProblem
        ? m_request.keychainProblem
        : [layout = session().homeLayout()] { return KeychainHandler::sourceProblem(layout); };
    const QString problem = co_await runInBackground(check);
    if (!problem.isEmpty())
        fail(FlowExit::serviceUnavailable, problem);
    co_return categories;
}

// Narrows the home folder scan to the requested folders; the names selected.
QCoro::Task<QStringList> SendFlow::applySelection()
{
    HomeFolderScanner* scanner = session().homeFolderScanner();
    // Names only: the pre-flight scan sizes the chosen folders on its one walk.
    co_await scanner->scan(/*withSizes=*/false);
    if (m_request.folders) {
        QStringList available;
        for (const HomeFolder& f : scanner->folders())
            available << f.name;
        if (const auto problem = unknownFolder(*m_request.folders, available, session().environment().homeFolder))
            fail(FlowExit::usage, *problem);
        session().selectFolders(*m_request.folders);
    }
    QStringList names;
    for (const HomeFolder& f : scanner->selectedFolders())
        names << f.name;
    co_return names;
}

// The same selection as an unfinished migration continues it, under its id.
void SendFlow::resumeOrRecord(const QStringList& categories, const QStringList& folders)
{
    const QString home = session().environment().homeFolder;
    if (const auto previous = OutgoingTransfer::loadMatching(home, categories, folders))
        session().setTransferID(previous->transferID);
    OutgoingTransfer{session().transferID(), categories, folders}.save(home);
}

// The developer environment is looked at before pairing, so a wrong toggle is
// reported before anyone waits.
QCoro::Task<void> SendFlow::planDeveloperTools()
{
    EngineeringToolsDetector* detector = session().engToolsDetector();
    co_await detector->scan(session().environment().homeFolder, session().username(), true);
    EngineeringMigrationPlan* plan = session().engToolsPlan();
    plan->buildFromInventory(detector->inventory(), false, true, true);
    const ProfileValues& profile = session().profileManager()->values();
    if (auto refusal = developerItemsRefusal(m_request.devInclude, plan->selection(),
                                             {profile.engineeringToolsEnabled, profile.engineeringToolsSensitiveOptInAllowed,
                                              profile.engineeringToolsDevDirectoriesAllowed}))
        throw *refusal;
    for (const QString& name : std::as_const(m_request.devInclude))
        if (!plan->toggleItem(name))
            fail(FlowExit::usage, QStringLiteral("no developer item \"%1\" in %2").arg(name, session().environment().homeFolder));
    session().setEngineeringToolsEnabled(true);
}

void SendFlow::startAdvertising()
{
    session().goToNext(); // the role screen
    session().chooseRole(DeviceRole::source);
    if (session().connectionManager()->listeningPort() == 0)
        fail(FlowExit::transferFailed, QStringLiteral("Connection failed: could not listen on port %1")
                                           .arg(session().environment().listenPort));
    failIfUnfindable();
    announce();
}

void SendFlow::failIfUnfindable()
{
    if (const auto& failure = session().connectionManager()->discoveryFailure(); failure && m_request.mustBeFound)
        fail(FlowExit::serviceUnavailable, QStringLiteral("This computer cannot be found on the network: %1.").arg(*failure));
}

QString SendFlow::unlistedWarning() const
{
    const ConnectionManager* cm = session().connectionManager();
    const QStringList addresses = directAddresses(netif::systemInterfaceAddresses(), cm->listeningPort());
    QString where = QStringLiteral("ADDRESS:%1").arg(cm->listeningPort());
    if (!addresses.isEmpty())
        where = addresses.first()
                + (addresses.size() > 1 ? QStringLiteral(" (or %1)").arg(addresses.mid(1).join(QStringLiteral(", "))) : QString());
    return QStringLiteral("This computer cannot be found on the network: %1. On the destination, connect by address "
                          "instead: kivo-cli receive --connect %2")
        .arg(*cm->discoveryFailure(), where);
}

void SendFlow::announce()
{
    ConnectionManager* cm = session().connectionManager();
    Q_EMIT advertising({session().pairingCode().value_or(QString()), cm->listeningPort(), session().hostname(),
                        session().username(), session().transferID(),
                        int(cm->pairingManager()->secondsRemaining())});
}

QCoro::Task<void> SendFlow::awaitPairing()
{
    ConnectionManager* cm = session().connectionManager();
    const auto needsFreshCode = [cm] { return cm->pairingManager()->isExpired() && !cm->incomingPeerReady(); };
    // A code lives one minute: until a destination pairs, a fresh one follows each expiry.
    for (;;) {
        if (!co_await waitUntil([&] {
                return session().isPairingConfirmed() || needsFreshCode() || (m_request.mustBeFound && cm->discoveryFailure());
            }))
            fail(FlowExit::transferFailed, QStringLiteral("Pairing cancelled."));
        failIfUnfindable();
        if (session().isPairingConfirmed())
            co_return;
        session().restartPairing();
        announce();
    }
}

QCoro::Task<void> SendFlow::prepareTransfer(QStringList categories)
{
    // The destination maps accounts; the source keeps its own paths.
    session().confirmProposedUserMapping();
    session().selectCategories(categories);
    while (session().currentStep() != MigrationStep::progress)
        session().goToNext();
    co_return; // sized by the pre-flight scan
}

} // namespace kivo
