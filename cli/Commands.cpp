#include "cli/Commands.h"

#include "app/AppState.h"
#include "categories/DataCategory.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "cli/OutgoingTransfer.h"
#include "cli/Reporter.h"
#include "platform/FileSystem.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "platform/ByteCount.h"
#include "platform/HostNames.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferError.h"
#include "transfer/TransferProgress.h"

#include <QCoroTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

using namespace std::chrono_literals;

namespace kivo::cli {

namespace {

std::atomic<bool> g_interrupted{false};

void onInterrupt(int) { g_interrupted = true; }

// A failure that ends the command with its exit code; the text goes to stderr.
struct CommandFailure {
    int exitCode;
    QString text;
};

// Runs a command's flow in the event loop and returns its exit code.
int runFlow(QCoro::Task<int> flow)
{
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::optional<int> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await std::move(flow);
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    return result.value_or(exitTransferFailed);
}

// Waits, a few times a second, until `done` holds or `deadline` passes (nullopt: no deadline).
template <typename Predicate>
QCoro::Task<bool> waitFor(Predicate done, std::optional<std::chrono::milliseconds> deadline = std::nullopt)
{
    const auto start = std::chrono::steady_clock::now();
    while (!done()) {
        if (g_interrupted)
            co_return false;
        if (deadline && std::chrono::steady_clock::now() - start > *deadline)
            co_return false;
        co_await QCoro::sleepFor(50ms);
    }
    co_return true;
}

ProgressSnapshot snapshotOf(const TransferProgress& p)
{
    ProgressSnapshot s;
    s.bytes = p.bytesTransferred();
    s.totalBytes = p.totalBytes();
    s.files = int(p.filesCompleted());
    s.totalFiles = int(p.totalFiles());
    s.bytesPerSecond = p.speedBytesPerSecond();
    s.secondsRemaining = p.estimatedTimeRemaining();
    s.currentFile = p.currentFilePath();
    s.verifying = p.isVerifying();
    return s;
}

// Shows the engine's progress and events while the transfer runs.
void attachReporter(TransferEngine* engine, Reporter& out)
{
    TransferProgress* progress = engine->progress();
    QObject::connect(progress, &TransferProgress::changed, engine, [progress, &out] { out.progress(snapshotOf(*progress)); });
    QObject::connect(engine, &TransferEngine::categoryStarted, engine, [&out](const QString& id) {
        out.event(QStringLiteral("categoryStart"),
                  {{QStringLiteral("category"), id}, {QStringLiteral("name"), DataCategory::displayNameFor(id)}},
                  QStringLiteral("▸ %1").arg(DataCategory::displayNameFor(id)));
    });
    QObject::connect(engine, &TransferEngine::categoryCompleted, engine, [progress, &out](const QString& id) {
        const CategoryProgress c = progress->categoryProgress().value(id);
        out.event(QStringLiteral("categoryComplete"),
                  {{QStringLiteral("category"), id},
                   {QStringLiteral("files"), int(c.filesCompleted)},
                   {QStringLiteral("bytes"), double(c.bytesTransferred)}},
                  QStringLiteral("✓ %1: %2 files, %3")
                      .arg(DataCategory::displayNameFor(id))
                      .arg(c.filesCompleted)
                      .arg(formatFileSize(c.bytesTransferred)));
    });
    QObject::connect(engine, &TransferEngine::fileFailed, engine, [&out](const FileError& e) {
        out.event(QStringLiteral("fileError"),
                  {{QStringLiteral("path"), e.filePath}, {QStringLiteral("category"), e.categoryID},
                   {QStringLiteral("error"), e.error}},
                  QStringLiteral("  ! %1: %2").arg(e.filePath, e.error));
    });
    QObject::connect(engine, &TransferEngine::verificationFinished, engine, [progress, &out] {
        out.event(QStringLiteral("verification"),
                  {{QStringLiteral("checked"), int(progress->verificationFilesChecked())},
                   {QStringLiteral("skipped"), int(progress->verificationFilesSkipped())},
                   {QStringLiteral("mismatches"), QJsonArray::fromStringList(progress->verificationMismatches())}},
                  QStringLiteral("Verified %1 files, %2 mismatches")
                      .arg(progress->verificationFilesChecked())
                      .arg(progress->verificationMismatches().size()));
    });
}

Summary summaryOf(const TransferEngine& engine)
{
    const TransferProgress& p = *engine.progress();
    Summary s;
    s.filesCompleted = int(p.filesCompleted());
    s.totalFiles = int(p.totalFiles());
    s.bytes = p.bytesTransferred();
    s.durationSeconds = p.duration().value_or(0);
    if (engine.manifest()) {
        for (const auto& item : engine.manifest()->items) {
            s.skipped += item.transferStatus == FileTransferStatus::skipped;
            s.failed += item.transferStatus == FileTransferStatus::failed;
        }
    }
    s.verified = int(p.verificationFilesChecked());
    s.mismatches = p.verificationMismatches();
    s.conflictsResolved = int(p.conflictsResolved().size());
    s.error = p.error().value_or(QString());
    s.cancelled = p.isCancelled();
    return s;
}

// Runs the transfer with progress shown; Ctrl-C cancels it. Returns the exit code.
QCoro::Task<int> transferAndReport(AppState* state, Reporter* out, QString role)
{
    TransferEngine* engine = state->transferEngine();
    attachReporter(engine, *out);
    QTimer interruptWatch;
    QObject::connect(&interruptWatch, &QTimer::timeout, engine, [engine] {
        if (g_interrupted && !engine->isCancelled())
            engine->cancel();
    });
    interruptWatch.start(100);
    co_await state->runTransfer();
    interruptWatch.stop();
    out->progress(snapshotOf(*engine->progress()), true);

    const Summary summary = summaryOf(*engine);
    out->summary(summary, role);
    if (summary.cancelled) {
        out->error(QStringLiteral("The migration was cancelled. You can start over at any time."));
        co_return exitTransferFailed;
    }
    if (!summary.error.isEmpty()) {
        out->error(summary.error);
        co_return exitTransferFailed;
    }
    if (!summary.mismatches.isEmpty()) {
        out->error(TransferError::verificationFailed(summary.mismatches).description());
        co_return exitTransferFailed;
    }
    co_return exitSuccess;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QCoro::Task<int> sendFlow(SendOptions o, Reporter* out)
{
    if (!QFileInfo(o.home).isDir())
        throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: home folder \"%1\" does not exist").arg(o.home)};

    // Check the selection before anyone is asked to pair.
    QStringList known;
    for (const DataCategory& c : DataCategory::allCategories())
        known << c.id;
    const QStringList categories = o.categories.value_or(known);
    for (const QString& id : categories)
        if (!known.contains(id))
            throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: unknown category \"%1\" (known: %2)")
                                                .arg(id, known.join(QStringLiteral(", ")))};

    AppState state({o.home, o.hostname, o.username, o.port});
    HomeFolderScanner* scanner = state.homeFolderScanner();
    co_await scanner->scan();
    if (o.folders) {
        QStringList available;
        for (const HomeFolder& f : scanner->folders())
            available << f.name;
        for (const QString& name : *o.folders)
            if (!available.contains(name))
                throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: no folder \"%1\" in %2 (found: %3)")
                                                    .arg(name, o.home, available.join(QStringLiteral(", ")))};
        for (const HomeFolder& f : scanner->folders())
            if (f.isSelected != o.folders->contains(f.name))
                scanner->toggleFolder(f.name);
    }
    QStringList folderNames;
    for (const HomeFolder& f : scanner->selectedFolders())
        folderNames << f.name;

    if (const auto previous = OutgoingTransfer::loadMatching(o.home, sorted(categories), sorted(folderNames)))
        state.setTransferID(previous->transferID);
    OutgoingTransfer{state.transferID(), sorted(categories), sorted(folderNames)}.save(o.home);
    if (o.conflictPolicy)
        state.setConflictPolicy(*conflictPolicyFromString(*o.conflictPolicy));
    state.setMaxTransferMbps(o.maxMbps);

    state.goToNext(); // the role screen
    state.chooseRole(DeviceRole::source);
    ConnectionManager* cm = state.connectionManager();
    if (cm->listeningPort() == 0)
        throw CommandFailure{exitTransferFailed, QStringLiteral("Connection failed: could not listen on port %1").arg(o.port)};

    auto announce = [&] {
        const QString code = state.pairingCode().value_or(QString());
        out->event(QStringLiteral("advertising"),
                   {{QStringLiteral("code"), code},
                    {QStringLiteral("port"), cm->listeningPort()},
                    {QStringLiteral("hostname"), state.hostname()},
                    {QStringLiteral("username"), state.username()},
                    {QStringLiteral("transferID"), state.transferID()},
                    {QStringLiteral("secondsRemaining"), int(cm->pairingManager()->secondsRemaining())}},
                   QStringLiteral("Pairing code: %1  (valid for %2 s; waiting for the destination as \"%3\" on port %4)")
                       .arg(code)
                       .arg(int(cm->pairingManager()->secondsRemaining()))
                       .arg(state.hostname())
                       .arg(cm->listeningPort()));
    };
    announce();
    // A code lives one minute: until a destination pairs, a fresh one follows each expiry.
    while (!state.isPairingConfirmed()) {
        if (g_interrupted)
            throw CommandFailure{exitPairingFailed, QStringLiteral("Pairing cancelled.")};
        if (cm->pairingManager()->isExpired() && !cm->incomingPeerReady()) {
            state.restartPairing();
            announce();
        }
        co_await QCoro::sleepFor(100ms);
    }
    out->event(QStringLiteral("paired"), {{QStringLiteral("transport"), QStringLiteral("network")}},
               QStringLiteral("Paired with the destination."));

    // The destination maps accounts; the source keeps its own paths.
    state.confirmUserMapping(UserMapping::make(state.username(), o.home, state.username(), o.home));
    DataCategoryManager* categoriesManager = state.categoryManager();
    for (const DataCategory& c : QList<DataCategory>(categoriesManager->categories()))
        if (c.isSelected != categories.contains(c.id))
            categoriesManager->toggleCategory(c.id);
    co_await categoriesManager->calculateSizes();
    while (state.currentStep() != MigrationStep::progress)
        state.goToNext();

    const int code = co_await transferAndReport(&state, out, QStringLiteral("source"));
    if (state.transferProgress()->isComplete())
        OutgoingTransfer::remove(o.home);
    cm->disconnect(DisconnectionReason::transferComplete);
    co_return code;
}

// Asks for the code on the terminal; empty when there is no answer.
QString promptForCode()
{
    std::fprintf(stderr, "Enter the 6-digit code shown on the source: ");
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        return {};
    return QString::fromStdString(line).trimmed();
}

QCoro::Task<DiscoveredPeer> findSource(AppState* state, ReceiveOptions o)
{
    if (o.connectHost)
        co_return peerForAddress(*o.connectHost, o.connectPort, o.code);

    ConnectionManager* cm = state->connectionManager();
    auto matching = [&] {
        QList<DiscoveredPeer> peers;
        for (const DiscoveredPeer& p : cm->discoveredPeers())
            if (!o.source || p.hostname.compare(*o.source, Qt::CaseInsensitive) == 0)
                peers << p;
        return peers;
    };
    const bool found = co_await waitFor([&] { return !matching().isEmpty(); }, std::chrono::seconds(o.timeoutSeconds));
    if (!found)
        throw CommandFailure{exitNoSource, ConnectionError::noDevicesFound().description()};
    // Let other sources show up before deciding there is only one.
    if (!o.source)
        co_await QCoro::sleepFor(1500ms);
    const QList<DiscoveredPeer> peers = matching();
    if (peers.size() > 1) {
        QStringList names;
        for (const DiscoveredPeer& p : peers)
            names << p.hostname;
        throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: several sources found (%1); choose one with --source")
                                            .arg(names.join(QStringLiteral(", ")))};
    }
    co_return peers.first();
}

QCoro::Task<int> receiveFlow(ReceiveOptions o, Reporter* out)
{
    const bool interactive = fs::isTerminal(stdin);
    if (!o.code && !interactive)
        throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: --code is needed when there is no terminal to ask on")};
    if (!QDir().mkpath(o.home))
        throw CommandFailure{exitUsage, QStringLiteral("kivo-cli: cannot create home folder \"%1\"").arg(o.home)};

    AppState state({o.home, {}, {}, 0});
    ConnectionManager* cm = state.connectionManager();
    state.goToNext(); // the role screen
    if (o.connectHost) {
        // A known address needs no discovery.
        state.setDeviceRole(DeviceRole::destination);
        state.goToNext();
    } else {
        state.chooseRole(DeviceRole::destination);
    }
    const DiscoveredPeer peer = co_await findSource(&state, o);
    cm->stopDiscovery();
    out->event(QStringLiteral("peerFound"),
               {{QStringLiteral("hostname"), peer.hostname},
                {QStringLiteral("username"), peer.username},
                {QStringLiteral("transport"), toString(peer.transport)}},
               QStringLiteral("Found source \"%1\" (user %2, %3)").arg(peer.hostname, peer.username, displayName(peer.transport)));

    std::optional<QString> failure;
    QObject::connect(&state, &AppState::connectionFailed, &state, [&failure](const QString& text) { failure = text; });
    state.selectPeer(peer);
    co_await waitFor([&] { return failure || (cm->transferSession() && cm->transferSession()->isConnected()); },
                     std::chrono::seconds(o.timeoutSeconds));
    if (failure) {
        const bool handshake = cm->state().error && cm->state().error->kind() != ConnectionError::Kind::connectionFailed;
        throw CommandFailure{handshake ? exitPairingFailed : exitNoSource, *failure};
    }
    if (!cm->transferSession() || !cm->transferSession()->isConnected())
        throw CommandFailure{exitNoSource, ConnectionError::connectionFailed(QStringLiteral("timed out")).description()};

    // With a direct address nothing was advertised: the code typed is the one we hold.
    for (;;) {
        const QString typed = o.code ? *o.code : promptForCode();
        if (!state.pairingCode())
            state.setPairingCode(typed);
        if (state.submitPairingCode(typed))
            break;
        if (cm->state().kind == ConnectionState::Kind::failed && cm->state().error)
            throw CommandFailure{exitPairingFailed, cm->state().error->description()};
        out->error(QStringLiteral("Code doesn't match. Check the source Mac and try again."));
        if (o.code || typed.isEmpty() || cm->pairingManager()->secondsRemaining() <= 0)
            throw CommandFailure{exitPairingFailed, ConnectionError::pairingMismatch().description()};
    }
    out->event(QStringLiteral("paired"),
               {{QStringLiteral("peer"), peer.hostname}, {QStringLiteral("transport"), toString(peer.transport)}},
               QStringLiteral("Paired with %1 over %2.").arg(peer.hostname, displayName(peer.transport)));

    // Files go to the account running this command; paths naming the source's home are mapped.
    const QString sourceUser = peer.username == QLatin1String("Unknown") ? host::loginUserName() : peer.username;
    const QString sourceHome = QStringLiteral("/home/") + sourceUser;
    state.confirmUserMapping(UserMapping::make(sourceUser, sourceHome, host::loginUserName(), o.home));

    const int code = co_await transferAndReport(&state, out, QStringLiteral("destination"));
    cm->disconnect(DisconnectionReason::transferComplete);
    co_return code;
}

int runCommand(QCoro::Task<int> (*flow)(Reporter*, const void*), const void* options, bool json)
{
    Reporter out(Reporter::detect(json));
    auto guarded = [](QCoro::Task<int> (*f)(Reporter*, const void*), const void* opts, Reporter* r) -> QCoro::Task<int> {
        try {
            co_return co_await f(r, opts);
        } catch (const CommandFailure& failure) {
            r->error(failure.text);
            co_return failure.exitCode;
        } catch (const std::exception& e) {
            r->error(describe(e));
            co_return exitTransferFailed;
        }
    };
    return runFlow(guarded(flow, options, &out));
}

} // namespace

int runSend(const SendOptions& options)
{
    return runCommand([](Reporter* r, const void* o) { return sendFlow(*static_cast<const SendOptions*>(o), r); },
                      &options, options.json);
}

int runReceive(const ReceiveOptions& options)
{
    return runCommand(
        [](Reporter* r, const void* o) { return receiveFlow(*static_cast<const ReceiveOptions*>(o), r); }, &options,
        options.json);
}

} // namespace kivo::cli
