#include "cli/Commands.h"

#include "app/AppState.h"
#include "app/ReceiveFlow.h"
#include "app/SendFlow.h"
#include "cli/Reporter.h"
#include "platform/ByteCount.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Interrupts.h"

#include <QEventLoop>
#include <QJsonArray>

#include <cstdio>
#include <iostream>
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
    case FlowExit::unusableInput: return exitUnusableInput;
    }
    return exitTransferFailed;
}

QString failureLine(const FlowFailure& failure)
{
    return failure.exitClass == FlowExit::usage ? QStringLiteral("kivo-cli: ") + failure.text : failure.text;
}

// What every flow shows once paired: the transfer's events, the summary and the failure.
void renderTransfer(MigrationFlow& flow, Reporter& out)
{
    QObject::connect(&flow, &MigrationFlow::categoryStarted, &flow, [&out](const CategoryReport& c) {
        out.event(QStringLiteral("categoryStart"), {{QStringLiteral("category"), c.categoryID}, {QStringLiteral("name"), c.name}},
                  QStringLiteral("▸ %1").arg(c.name));
    });
    QObject::connect(&flow, &MigrationFlow::categoryCompleted, &flow, [&out](const CategoryReport& c) {
        out.event(QStringLiteral("categoryComplete"),
                  {{QStringLiteral("category"), c.categoryID},
                   {QStringLiteral("files"), c.filesCompleted},
                   {QStringLiteral("bytes"), double(c.bytes)}},
                  QStringLiteral("✓ %1: %2 files, %3").arg(c.name).arg(c.filesCompleted).arg(formatFileSize(c.bytes)));
    });
    QObject::connect(&flow, &MigrationFlow::progressChanged, &flow, [&out](const ProgressSnapshot& p) { out.progress(p); });
    QObject::connect(&flow, &MigrationFlow::fileFailed, &flow, [&out](const FileError& e) {
        out.event(QStringLiteral("fileError"),
                  {{QStringLiteral("path"), e.filePath}, {QStringLiteral("category"), e.categoryID},
                   {QStringLiteral("error"), e.error}},
                  QStringLiteral("  ! %1: %2").arg(e.filePath, e.error));
    });
    QObject::connect(&flow, &MigrationFlow::verificationFinished, &flow, [&out](const VerificationReport& v) {
        out.event(QStringLiteral("verification"),
                  {{QStringLiteral("checked"), v.checked},
                   {QStringLiteral("skipped"), v.skipped},
                   {QStringLiteral("mismatches"), QJsonArray::fromStringList(v.mismatches)}},
                  QStringLiteral("Verified %1 files, %2 mismatches").arg(v.checked).arg(v.mismatches.size()));
    });
    QObject::connect(&flow, &MigrationFlow::summaryReady, &flow, [&out](const TransferSummary& s) { out.summary(s); });
    QObject::connect(&flow, &MigrationFlow::failed, &flow, [&out](const FlowFailure& f) { out.error(failureLine(f)); });
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

namespace {

// Runs the flow in the event loop; Ctrl-C or a termination request cancels it.
int runFlow(MigrationFlow& flow, Reporter& out)
{
    std::optional<InterruptNotifier> interrupts;
    try {
        interrupts.emplace();
        QObject::connect(&*interrupts, &InterruptNotifier::interrupted, &flow, &MigrationFlow::cancel);
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitTransferFailed;
    }
    std::optional<FlowExit> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await flow.run();
        loop.quit();
    };
    auto running = drive();
    if (!result)
        loop.exec();
    return exitCodeFor(result.value_or(FlowExit::transferFailed));
}

// Asks for the code on the terminal; none when there is no answer.
std::optional<QString> promptForCode()
{
    std::fprintf(stderr, "Enter the 6-digit code shown on the source: ");
    std::fflush(stderr);
    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    return QString::fromStdString(line).trimmed();
}

} // namespace

int runSend(const SendOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    AppState state({o.home, o.hostname, o.username, o.port});
    SendFlow::Request request{o.categories, o.folders, std::nullopt, o.maxMbps, o.allowUnverifiedPairing};
    if (o.conflictPolicy)
        request.conflictPolicy = conflictPolicyFromString(*o.conflictPolicy);
    SendFlow flow(state, std::move(request));

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
    renderTransfer(flow, out);
    return runFlow(flow, out);
}

int runReceive(const ReceiveOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    const bool interactive = fs::isTerminal(stdin);
    if (!o.code && !interactive) {
        out.error(QStringLiteral("kivo-cli: --code is needed when there is no terminal to ask on"));
        return exitUsage;
    }
    AppState state({o.home, {}, {}, 0});
    ReceiveFlow::Request request;
    request.code = o.code;
    if (interactive)
        request.askCode = []() -> QCoro::Task<std::optional<QString>> { co_return promptForCode(); };
    request.sourceHostname = o.source;
    request.directHost = o.connectHost;
    request.directPort = o.connectPort;
    request.timeout = std::chrono::seconds(o.timeoutSeconds);
    request.allowUnverifiedPairing = o.allowUnverifiedPairing;
    ReceiveFlow flow(state, std::move(request));

    QObject::connect(&flow, &ReceiveFlow::peerFound, &flow, [&out](const DiscoveredPeer& peer) {
        out.event(QStringLiteral("peerFound"),
                  {{QStringLiteral("hostname"), peer.hostname},
                   {QStringLiteral("username"), peer.username},
                   {QStringLiteral("transport"), toString(peer.transport)}},
                  QStringLiteral("Found source \"%1\" (user %2, %3)").arg(peer.hostname, peer.username, displayName(peer.transport)));
    });
    QObject::connect(&flow, &ReceiveFlow::codeRejected, &flow,
                     [&out] { out.error(QString::fromUtf8(ReceiveFlow::kCodeMismatchText)); });
    QObject::connect(&flow, &ReceiveFlow::paired, &flow, [&out](const std::optional<DiscoveredPeer>& peer) {
        out.event(QStringLiteral("paired"),
                  {{QStringLiteral("peer"), peer->hostname}, {QStringLiteral("transport"), toString(peer->transport)}},
                  QStringLiteral("Paired with %1 over %2.").arg(peer->hostname, displayName(peer->transport)));
    });
    renderWarnings(flow, out, o.json);
    renderTransfer(flow, out);
    return runFlow(flow, out);
}

} // namespace kivo::cli
