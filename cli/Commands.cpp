// SPDX-License-Identifier: Apache-2.0
#include "cli/Commands.h"
#include "cli/VaultSourceSnapshot.h"

#include "app/AppState.h"
#include "postmigration/PermissionsCorrector.h"
#include "postmigration/StagedPrefService.h"
#include "postmigration/UserAccountMapper.h"
#include "platform/Accounts.h"
#include "platform/HostNames.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "cli/Invocation.h"
#include "cli/LineReader.h"
#include "connection/ConnectionManager.h"
#include "cli/LogCommand.h"
#include "cli/PreflightCommand.h"
#include "cli/Reporter.h"
#include "platform/ByteCount.h"
#include "preflight/AppCompatibilityManager.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Interrupts.h"
#include "platform/Logging.h"
#include "platform/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace kivo::cli {

int exitCodeFor(FlowExit exit)
{
    switch (exit) {
    case FlowExit::success: return exitSuccess;
    case FlowExit::transferFailed: return exitTransferFailed;
    case FlowExit::usage: return exitUsage;
    case FlowExit::pairingFailed: return exitPairingFailed;
    case FlowExit::noSource: return exitNoSource;
    case FlowExit::refused: return exitRefused;
    case FlowExit::serviceUnavailable: return exitServiceUnavailable;
    case FlowExit::unusableInput: return exitUnusableInput;
    }
    return exitTransferFailed;
}

QString failureLine(const FlowFailure& failure, const QString& command)
{
    return failure.exitClass == FlowExit::usage ? usageErrorText(command, failure.text).chopped(1) : failure.text;
}

// What every flow shows once paired: the transfer's events, the summary and the failure.
void renderTransfer(MigrationFlow& flow, Reporter& out, const QString& command)
{
    // A failed import is said as it happens; when it is also why the run failed, not again at the end.
    auto importFailures = std::make_shared<QStringList>();
    QObject::connect(&flow, &MigrationFlow::categoryStarted, &flow, [&out](const CategoryReport& c) {
        out.event(QStringLiteral("categoryStart"), {{QStringLiteral("category"), c.categoryID}, {QStringLiteral("name"), c.name}},
                  QStringLiteral("▸ %1").arg(c.name));
    });
    QObject::connect(&flow, &MigrationFlow::categoryCompleted, &flow, [&out](const CategoryReport& c) {
        QJsonObject fields{{QStringLiteral("category"), c.categoryID},
                           {QStringLiteral("files"), c.filesCompleted},
                           {QStringLiteral("bytes"), double(c.bytes)}};
        if (c.failure)
            fields.insert(QStringLiteral("failed"), *c.failure);
        out.event(QStringLiteral("categoryComplete"), fields,
                  c.failure ? QStringLiteral("✗ %1: arrived but not imported").arg(c.name)
                            : QStringLiteral("✓ %1: %2 files, %3").arg(c.name).arg(c.filesCompleted).arg(formatFileSize(c.bytes)));
    });
    QObject::connect(&flow, &MigrationFlow::progressChanged, &flow, [&out](const ProgressSnapshot& p) { out.progress(p); });
    QObject::connect(&flow, &MigrationFlow::fileFailed, &flow, [&out](const FileError& e) {
        out.event(QStringLiteral("fileError"),
                  {{QStringLiteral("path"), e.filePath}, {QStringLiteral("category"), e.categoryID},
                   {QStringLiteral("error"), e.error}},
                  QStringLiteral("  ! %1: %2").arg(e.filePath, e.error));
    });
    QObject::connect(&flow, &MigrationFlow::categoryImported, &flow, [&out, importFailures](const ImportReport& r) {
        if (r.error) {
            importFailures->append(*r.error);
            out.error(*r.error);
            return;
        }
        out.event(QStringLiteral("categoryImported"),
                  {{QStringLiteral("category"), r.categoryID},
                   {QStringLiteral("imported"), r.imported},
                   {QStringLiteral("updated"), r.updated},
                   {QStringLiteral("failed"), r.failed}},
                  QStringLiteral("  %1: %2 imported, %3 updated, %4 failed")
                      .arg(r.categoryID).arg(r.imported).arg(r.updated).arg(r.failed));
    });
    QObject::connect(&flow, &MigrationFlow::verificationFinished, &flow, [&out](const VerificationReport& v) {
        QString line = QStringLiteral("Verified %1 files, %2 mismatches").arg(v.checked).arg(v.mismatches.size());
        for (const CategoryFailure& f : v.categoryFailures)
            line += QStringLiteral(", %1 not imported").arg(f.name);
        out.event(QStringLiteral("verification"),
                  {{QStringLiteral("checked"), v.checked},
                   {QStringLiteral("skipped"), v.skipped},
                   {QStringLiteral("mismatches"), QJsonArray::fromStringList(v.mismatches)},
                   {QStringLiteral("failedCategories"), failedCategoriesJson(v.categoryFailures)}},
                  line);
    });
    QObject::connect(&flow, &MigrationFlow::summaryReady, &flow, [&out](const TransferSummary& s) { out.summary(s); });
    // Every failure is also an event with --json: a script reading only stdout learns why.
    QObject::connect(&flow, &MigrationFlow::failed, &flow, [&out, command, importFailures](const FlowFailure& f) {
        const QString line = failureLine(f, command);
        if (out.isJson())
            out.event(QStringLiteral("error"), {{QStringLiteral("text"), line}, {QStringLiteral("exitCode"), exitCodeFor(f.exitClass)}});
        if (!importFailures->contains(line))
            out.error(line);
    });
}

// Warnings go to stderr in every mode, and as events with --json.
void renderWarnings(MigrationFlow& flow, Reporter& out, bool json)
{
    QObject::connect(&flow, &MigrationFlow::warning, &flow, [&out, json](const QString& text) {
        if (json)
            out.event(QStringLiteral("warning"), {{QStringLiteral("text"), text}});
        out.error(text);
    });
}

int runUntilDone(const std::function<QCoro::Task<FlowExit>()>& work, const std::function<void()>& cancel, Reporter& out)
{
    std::optional<InterruptNotifier> interrupts;
    try {
        interrupts.emplace();
        QObject::connect(&*interrupts, &InterruptNotifier::interrupted, &*interrupts, cancel);
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitTransferFailed;
    }
    std::optional<FlowExit> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await work();
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    return exitCodeFor(result.value_or(FlowExit::transferFailed));
}

int runFlow(MigrationFlow& flow, Reporter& out)
{
    // Sleep is held off while files move. The lock is a descriptor: it goes
    // with this process however it ends.
    SleepInhibitor inhibitor(QDBusConnection::systemBus());
    AppState& state = flow.session();
    QObject::connect(&state, &AppState::currentStepChanged, &inhibitor, [&state, &inhibitor] {
        if (state.currentStep() == MigrationStep::progress)
            inhibitor.acquire(QStringLiteral("kivo-cli"), QStringLiteral("Files are being transferred"));
        else
            inhibitor.release();
    });
    QObject::connect(&inhibitor, &SleepInhibitor::failed, &inhibitor, [](const QString& reason) {
        qCInfo(lcApp).noquote() << "Sleep is not held off during the transfer:" << reason;
    });
    return runUntilDone([&flow] { return flow.run(); }, [&flow] { flow.cancel(); }, out);
}

namespace {

// Asks for the code on the terminal while the connection goes on; none when there is no answer.
QCoro::Task<std::optional<QString>> askForCode(std::shared_ptr<LineReader> terminal)
{
    std::fprintf(stderr, "Enter the 6-digit code shown on the source: ");
    std::fflush(stderr);
    co_return co_await terminal->readLine();
}

} // namespace

// The destination account: --user, else the one whose home is --home, else
// the obvious one; its home is the default --home.
int chooseDestinationAccount(ReceiveOptions& o, Reporter& out, AdaptationOptions& options)
{
    std::optional<SystemAccount> account;
    if (o.user) {
        account = accountNamed(*o.user);
        if (!account) {
            out.error(QStringLiteral("kivo-cli: no account named \"%1\"").arg(*o.user));
            return exitBadInput;
        }
        if (!o.homeGiven)
            o.home = QDir::cleanPath(account->home);
    }
    QString username;
    if (account) {
        username = account->name;
    } else {
        UserAccountMapper mapper;
        mapper.setAccounts(mapper.performScan());
        for (const UserAccount& a : mapper.destinationAccounts()) {
            if (QDir::cleanPath(a.homeFolder) == o.home)
                username = a.username;
        }
        if (username.isEmpty() && mapper.autoSelectIfObvious() && mapper.selectedDestinationAccount()
            && QDir::cleanPath(mapper.selectedDestinationAccount()->homeFolder) == o.home)
            username = mapper.selectedDestinationAccount()->username;
    }
    options.destinationUsername = username.isEmpty() ? host::loginUserName() : username;
    options.sourceHome = o.sourceHome;
    if (o.prefRestore)
        options.restoreMode = prefRestoreModeFromString(*o.prefRestore);
    options.restoreWindowDays = o.restoreWindowDays;
    return exitSuccess;
}

void renderAdaptation(AppState& state, Reporter& out)
{
    QObject::connect(state.userMapper(), &UserAccountMapper::rewritten, &state, [&out](const PathRewriteLog& log) {
        out.event(QStringLiteral("pathRewrite"), log.toJson(), QStringLiteral("  ~ %1").arg(log.filePath));
    });
    QObject::connect(state.permissionsCorrector(), &PermissionsCorrector::finished, &state, [&out](const OwnershipReport& r) {
        QJsonArray errors;
        for (const auto& [path, error] : r.errors)
            errors.append(QJsonObject{{QStringLiteral("path"), path}, {QStringLiteral("error"), error}});
        out.event(QStringLiteral("ownership"),
                  {{QStringLiteral("via"), r.via},
                   {QStringLiteral("filesProcessed"), r.filesProcessed},
                   {QStringLiteral("totalFiles"), r.totalFiles},
                   {QStringLiteral("errors"), errors}},
                  QStringLiteral("Ownership: %1 of %2 files handed over (%3), %4 errors")
                      .arg(r.filesProcessed)
                      .arg(r.totalFiles)
                      .arg(r.via)
                      .arg(r.errors.size()));
    });
    StagedPrefService* prefs = state.stagedPrefService();
    QObject::connect(prefs, &StagedPrefService::bundleStaged, &state, [&out](const StagedPrefBundle& b) {
        out.event(QStringLiteral("staged"),
                  {{QStringLiteral("key"), b.id}, {QStringLiteral("displayName"), b.displayName},
                   {QStringLiteral("files"), b.entries.size()}, {QStringLiteral("triggers"), QJsonArray::fromStringList(b.triggers)}},
                  QStringLiteral("Held back %1 (%2 files) until it is installed").arg(b.displayName).arg(b.entries.size()));
    });
    QObject::connect(prefs, &StagedPrefService::bundleApplied, &state, [&out](const QString& key, const QStringList& paths) {
        out.event(QStringLiteral("prefApplied"), {{QStringLiteral("key"), key}, {QStringLiteral("paths"), QJsonArray::fromStringList(paths)}},
                  QStringLiteral("Restored settings of %1 (%2 files)").arg(key).arg(paths.size()));
    });
    QObject::connect(prefs, &StagedPrefService::warning, &state, [&out](const QString& text) { out.error(text); });
}

namespace {

// Shows the warning and asks for "y" on the terminal.
bool promptYes(const QString& warning)
{
    std::fprintf(stderr, "%s\nInclude the keychain? [y/N] ", warning.toUtf8().constData());
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        return false;
    const QString answer = QString::fromStdString(line).trimmed();
    return answer.compare(QLatin1String("y"), Qt::CaseInsensitive) == 0;
}

} // namespace

int runSend(const SendOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    SessionEnvironment environment{o.home, o.hostname, o.username, o.port};
    environment.layout = o.layout;
    AppState state(environment);
    out.speakFor(state.homeLayout());
    SendFlow::Request request{o.categories, o.folders, std::nullopt, o.maxMbps, o.allowUnverifiedPairing};
    request.devInclude = o.devInclude;
    request.confirmSensitive = o.confirmSensitive;
    request.beforeAdvertising = sourceSnapshotStep(o, state.profileManager()->values());
    if (fs::isTerminal(stdin))
        request.askSensitive = [](QString warning) -> QCoro::Task<bool> { co_return promptYes(warning); };
    if (o.conflictPolicy)
        request.conflictPolicy = conflictPolicyFromString(*o.conflictPolicy);
    if (o.conflictPolicy == QLatin1String("ask")) {
        const QString notice = QStringLiteral("--conflict-policy ask: nobody is asked at the command line, so files the "
                                              "destination already has are skipped.");
        if (out.isJson())
            out.event(QStringLiteral("warning"), {{QStringLiteral("text"), notice}});
        out.error(notice);
    }
    state.setLogEndpoint(logEndpointFromEnvironment());
    // The destination's disk is another machine's, unless a folder of this one was named for it.
    request.preflight = preflightSettingsFrom(o.preflight, o.preflight.destinationHome.has_value());
    state.appCompatibility()->setStore(StoreSettings::resolve(o.preflight.storeUrl, o.preflight.offline));
    SendFlow flow(state, std::move(request));
    QObject::connect(&flow, &SendFlow::preflightChecks, &flow, [&out](const PreflightResult& checks) {
        out.event(QStringLiteral("preflightChecks"), {{QStringLiteral("checks"), checks.toJson()}});
        if (!out.isJson())
            showChecks(checks, out);
    });
    std::optional<QString> exportFailure;
    QObject::connect(&flow, &SendFlow::preflightReport, &flow, [&out, &o, &exportFailure, &state](const PreFlightReport& report) {
        out.event(QStringLiteral("preflightReport"), {{QStringLiteral("report"), report.toJson()}});
        if (!out.isJson())
            showReport(report, HomeLayout::of(state.homeLayout()), out);
        if (o.preflight.exportPath)
            exportFailure = exportReport(report, *o.preflight.exportPath, out);
    });

    QObject::connect(&flow, &SendFlow::advertising, &flow, [&out](const Advertisement& a) {
        out.event(QStringLiteral("advertising"),
                  {{QStringLiteral("code"), a.code},
                   {QStringLiteral("port"), a.port},
                   {QStringLiteral("hostname"), a.hostname},
                   {QStringLiteral("username"), a.username},
                   {QStringLiteral("transferID"), a.transferID},
                   {QStringLiteral("secondsRemaining"), a.secondsRemaining}},
                  QStringLiteral("Pairing code: %1  (valid for %2 s; waiting for the destination as \"%3\" on port %4)")
                      .arg(a.code)
                      .arg(a.secondsRemaining)
                      .arg(a.hostname)
                      .arg(a.port));
    });
    QObject::connect(&flow, &SendFlow::paired, &flow, [&out](const std::optional<DiscoveredPeer>&) {
        out.event(QStringLiteral("paired"), {{QStringLiteral("transport"), QStringLiteral("network")}},
                  QStringLiteral("Paired with the destination."));
    });
    renderWarnings(flow, out, o.json);
    renderTransfer(flow, out, QStringLiteral("send"));
    const int code = runFlow(flow, out);
    // The migration went on without the report, but the report asked for was not made.
    if (code == exitSuccess && exportFailure) {
        if (out.isJson())
            out.event(QStringLiteral("error"), {{QStringLiteral("text"), *exportFailure}, {QStringLiteral("exitCode"), exitTransferFailed}});
        return exitTransferFailed;
    }
    return code;
}

int runReceive(const ReceiveOptions& o)
{
    if (o.fromVault)
        return runReceiveFromVault(o);
    Reporter out(Reporter::detect(o.json));
    const bool interactive = fs::isTerminal(stdin);
    if (!o.code && !interactive) {
        out.error(usageErrorText(QStringLiteral("receive"), QStringLiteral("--code is needed when there is no terminal to ask on"))
                      .chopped(1));
        return exitUsage;
    }
    ReceiveOptions options = o;
    AdaptationOptions adaptation;
    if (const int refused = chooseDestinationAccount(options, out, adaptation))
        return refused;
    AppState state({options.home, {}, {}, 0});
    out.speakFor(state.homeLayout());
    state.setAdaptationOptions(std::move(adaptation));
    state.setPreChangeSnapshots(!o.noVault);
    ReceiveFlow::Request request;
    request.code = o.code;
    if (interactive) {
        // Standard input: the source is reached while the code is typed.
        auto terminal = std::make_shared<LineReader>(0);
        request.askCode = [terminal] { return askForCode(terminal); };
    }
    request.sourceHostname = o.source;
    request.directHost = o.connectHost;
    request.directPort = o.connectPort;
    request.timeout = std::chrono::seconds(o.timeoutSeconds);
    request.allowUnverifiedPairing = o.allowUnverifiedPairing;
    state.setLogEndpoint(logEndpointFromEnvironment());
    ReceiveFlow flow(state, std::move(request));
    QObject::connect(state.connectionManager(), &ConnectionManager::pairingRetrying, &flow,
                     [&out](const QString& text) { out.event(QStringLiteral("pairingRetrying"), {}, text); });

    QObject::connect(&flow, &ReceiveFlow::peerFound, &flow, [&out](const DiscoveredPeer& peer) {
        // A source reached by address has told nothing yet: it says who it is once paired.
        if (!peer.advertised) {
            out.event(QStringLiteral("peerFound"), {{QStringLiteral("hostname"), peer.hostname}},
                      QStringLiteral("Connecting to the source at %1").arg(peer.hostname));
            return;
        }
        out.event(QStringLiteral("peerFound"),
                  {{QStringLiteral("hostname"), peer.hostname},
                   {QStringLiteral("username"), peer.username},
                   {QStringLiteral("transport"), toString(peer.transport)}},
                  QStringLiteral("Found source \"%1\" (user %2, %3)").arg(peer.hostname, peer.username, displayName(peer.transport)));
    });
    QObject::connect(&flow, &ReceiveFlow::codeRejected, &flow,
                     [&out] {
                         if (out.isJson())
                             out.event(QStringLiteral("codeRejected"), {{QStringLiteral("text"), QString::fromUtf8(ReceiveFlow::kCodeMismatchText)}});
                         out.error(QString::fromUtf8(ReceiveFlow::kCodeMismatchText));
                     });
    QObject::connect(&flow, &ReceiveFlow::paired, &flow, [&out, &state](const std::optional<DiscoveredPeer>& peer) {
        // Reached by address: the link the connection left by, none over loopback.
        const std::optional<TransportType> transport =
            peer->advertised ? std::optional(peer->transport) : state.connectionManager()->activeTransport();
        const QString who = peer->advertised ? peer->hostname
                                             : QStringLiteral("%1 (user %2)").arg(peer->hostname, peer->username);
        out.event(QStringLiteral("paired"),
                  {{QStringLiteral("peer"), peer->hostname},
                   {QStringLiteral("username"), peer->username},
                   {QStringLiteral("transport"), toString(transport)}},
                  QStringLiteral("Paired with %1 over %2.").arg(who, displayName(transport)));
    });
    renderWarnings(flow, out, o.json);
    renderTransfer(flow, out, QStringLiteral("receive"));
    renderAdaptation(state, out);
    return runFlow(flow, out);
}

} // namespace kivo::cli
