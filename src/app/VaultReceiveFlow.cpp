// SPDX-License-Identifier: Apache-2.0
#include "app/VaultReceiveFlow.h"

#include "app/AppState.h"
#include "app/MigrationWindow.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "categories/LinuxBrowserDataHandler.h"
#include "platform/Error.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/MemoryConnection.h"
#include "transfer/TransferEngine.h"
#include "vault/SnapshotStaging.h"
#include "vault/VaultLocation.h"

#include <QDir>
#include <QFileInfo>

namespace kivo {

namespace {

// The snapshot's paths as the home it was taken of names them ("Documents").
QStringList homeRelative(const CategorySnapshot& category, const QString& home)
{
    QStringList out;
    const QString root = QDir::cleanPath(home) + u'/';
    for (const QString& path : category.paths) {
        const QString clean = QDir::cleanPath(path);
        if (clean.startsWith(root))
            out << clean.mid(root.size());
        else if (!QDir::isAbsolutePath(clean) && !clean.startsWith(QLatin1String("..")))
            out << clean;
    }
    return out;
}

// Paths naming the old home become the new one's, as the snapshot knew it.
// Kept out of the coroutine: a local declared in an if of a coroutine body is not safe with every compiler.
void useSourceHome(AppState& session, const QString& home)
{
    AdaptationOptions adaptation = session.adaptationOptions();
    if (adaptation.sourceHome || home.isEmpty())
        return;
    adaptation.sourceHome = home;
    session.setAdaptationOptions(std::move(adaptation));
}

QCoro::Task<void> sendFrom(AppState& source)
{
    try {
        co_await source.runTransfer();
    } catch (const std::exception& e) {
        qCWarning(lcApp).noquote() << "The vault's side of the migration ended:" << describe(e);
    }
}

} // namespace

VaultReceiveFlow::VaultReceiveFlow(AppState& session, Request request, QObject* parent)
    : MigrationFlow(session, parent), m_request(std::move(request))
{
}

VaultReceiveFlow::~VaultReceiveFlow() = default;

FlowExit VaultReceiveFlow::exitFor(VaultErrorKind kind)
{
    switch (kind) {
    case VaultErrorKind::unknownSnapshot:
    case VaultErrorKind::noVault:
    case VaultErrorKind::wrongPassword:
    case VaultErrorKind::missingKey: return FlowExit::unusableInput;
    case VaultErrorKind::noEngine:
    case VaultErrorKind::unreachable:
    case VaultErrorKind::locked: return FlowExit::serviceUnavailable;
    case VaultErrorKind::failed:
    case VaultErrorKind::damaged:
    case VaultErrorKind::full:
    case VaultErrorKind::snapshotGone:
    case VaultErrorKind::changedSince: return FlowExit::transferFailed;
    }
    return FlowExit::transferFailed;
}

QCoro::Task<void> VaultReceiveFlow::runSteps()
{
    const QString home = session().environment().homeFolder;
    if (!QDir().mkpath(home))
        fail(FlowExit::usage, QStringLiteral("cannot create home folder \"%1\"").arg(home));
    if (auto refusal = migrationWindowRefusal(*session().profileManager(), QDateTime::currentDateTime()))
        throw *refusal;
    const std::pair<VaultSnapshot, QString> staged = co_await stage();
    co_await migrateFrom(staged.first, staged.second);
}

QCoro::Task<std::pair<VaultSnapshot, QString>> VaultReceiveFlow::stage()
{
    // The work answers with its failure instead of throwing it: a coroutine's
    // locals are then never touched from a handler, which not every compiler gets right.
    struct Staged {
        VaultSnapshot snapshot;
        QString folder;
        QString vault;
        std::optional<VaultError> error;
    };
    const QString home = QDir::cleanPath(session().environment().homeFolder);
    // Named and moved: a temporary holding values inside a co_await is destroyed twice by some compilers.
    auto work = [this, request = m_request, home]() -> Staged {
        // Restic runs on a pool thread; what it reports reaches the signals on ours.
        const auto post = [this](auto emitting) { QMetaObject::invokeMethod(this, emitting, Qt::QueuedConnection); };
        QString repository = request.vault.value_or(QString());
        try {
            const VaultLocation where = chooseLocation(request.vault, request.profile, home);
            repository = where.repository();
            // A store's keys and the role are checked before restic is even looked for.
            VaultAccess access = openAccess(where, request.profile, {request.passwordFile, false});
            SnapshotVault vault(ResticEngine::locate(), std::move(access));
            const VaultSnapshot snapshot = pickMigrationSnapshot(vault.list(), request.snapshot);
            post([this, snapshot] { Q_EMIT snapshotChosen(snapshot); });
            const SnapshotStaging staging(vaultStagingFolder(home, snapshot.id));
            try {
                staging.stage(vault, snapshot, [this, post](const VaultProgress& p) {
                    post([this, p] { Q_EMIT vaultProgress(p); });
                });
            } catch (const VaultError& e) {
                // Nothing of it can be finished any more, and nothing in the home was touched.
                if (e.kind() == VaultErrorKind::snapshotGone)
                    staging.remove();
                throw;
            }
            return Staged{snapshot, staging.folder(), repository, std::nullopt};
        } catch (const VaultError& e) {
            return Staged{{}, {}, repository, e};
        }
    };
    Staged staged = co_await runInBackground(std::move(work));
    if (staged.error) {
        const QString vault = staged.vault.isEmpty() ? QStringLiteral("the vault") : QStringLiteral("the vault at ") + staged.vault;
        fail(exitFor(staged.error->kind()),
             QStringLiteral("Nothing was received from %1: %2").arg(vault, staged.error->message()));
    }
    co_return std::pair{staged.snapshot, staged.folder};
}

QCoro::Task<void> VaultReceiveFlow::migrateFrom(const VaultSnapshot& snapshot, const QString& stagingFolder)
{
    const SnapshotStaging staging(stagingFolder);
    QStringList categories, folders, developerPaths;
    bool macShaped = false;
    for (const CategorySnapshot& c : snapshot.categories) {
        categories << c.category;
        for (const QString& path : homeRelative(c, snapshot.home)) {
            macShaped = macShaped || path.startsWith(QLatin1String("Library/"));
            if (c.category == QLatin1String("userFiles"))
                folders << path.section(u'/', 0, 0);
            if (c.category == DataCategory::engineeringTools().id)
                developerPaths << QStringLiteral("~/") + path;
        }
    }
    folders.removeDuplicates();

    // The connection outlives both engines: the source's goes with `source`, the destination's with the session.
    auto [sourceEnd, destinationEnd] = MemoryConnection::makePair();
    SessionEnvironment environment{staging.tree(), snapshot.host, snapshot.username, 0};
    environment.layout = macShaped ? QStringLiteral("macos") : QStringLiteral("linux");
    AppState source(environment);
    const QString transferID = staging.transferID(session().transferID());
    source.setTransferID(transferID);
    session().setTransferID(transferID);

    // The source chooses as a send would: the snapshot's categories and folders.
    source.setDeviceRole(DeviceRole::source);
    if (m_request.conflictPolicy)
        source.setConflictPolicy(*m_request.conflictPolicy);
    co_await source.homeFolderScanner()->scan(/*withSizes=*/false);
    if (!folders.isEmpty())
        source.selectFolders(folders);
    source.confirmProposedUserMapping();
    source.selectCategories(categories);
    // Developer tools have no fixed folders: they are the paths the snapshot holds.
    if (!developerPaths.isEmpty()) {
        source.useEngineeringPaths(developerPaths);
        source.setEngineeringToolsEnabled(true);
    }
    // The snapshot holds the browsers' files, never their Safe Storage secrets.
    if (auto* browsers = dynamic_cast<LinuxBrowserDataHandler*>(
            source.categoryManager()->handlers().value(QStringLiteral("browserData")).get()))
        browsers->leaveSecretsOut();
    source.setCurrentStep(MigrationStep::progress);
    source.createTransferEngine(sourceEnd.get());

    useSourceHome(session(), snapshot.home);
    session().setDeviceRole(DeviceRole::destination);
    session().confirmProposedUserMapping();
    session().setCurrentStep(MigrationStep::progress);
    session().createTransferEngine(destinationEnd.get());
    m_destinationEnd = std::move(destinationEnd);

    auto sending = sendFrom(source);
    const std::optional<FlowFailure> failure = co_await transfer();
    // A source still waiting hears the end.
    m_destinationEnd->close();
    co_await std::move(sending);
    if (failure)
        throw *failure; // the staging stays: the same command again resumes
    staging.remove();
    QDir().rmdir(QFileInfo(stagingFolder).path()); // when no other snapshot waits there
}

} // namespace kivo
