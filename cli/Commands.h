// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "cli/CliOptions.h"

#include <QCoroTask>

#include <functional>

namespace kivo {
class AppState;
class MigrationFlow;
struct AdaptationOptions;
}

namespace kivo::cli {

// The source: advertise, show the code, wait for a destination, send the selection.
int runSend(const SendOptions& options);
// The destination: find or reach the source, confirm the code, receive into the home folder.
int runReceive(const ReceiveOptions& options);

// The destination fed from a vault's snapshot: no source, no code.
int runReceiveFromVault(const ReceiveOptions& options);

class Reporter;
// What every flow shows once paired: the transfer's events, the summary and the
// failure; `command` ("send") names the help a usage failure points to.
void renderTransfer(MigrationFlow& flow, Reporter& out, const QString& command);
// Warnings on stderr in every mode, and as events with --json.
void renderWarnings(MigrationFlow& flow, Reporter& out, bool json);

// Runs `work` in the event loop until it ends; Ctrl-C or a termination request calls `cancel`.
int runUntilDone(const std::function<QCoro::Task<FlowExit>()>& work, const std::function<void()>& cancel, Reporter& out);

// Runs a flow to its end, holding off sleep while files move.
int runFlow(MigrationFlow& flow, Reporter& out);
// The destination account: --user, else the one whose home is --home, else the
// obvious one; its home becomes the default --home. An exit code when there is none.
int chooseDestinationAccount(ReceiveOptions& o, Reporter& out, AdaptationOptions& options);
// A receive's adaptation events: rewritten paths, ownership, held-back settings.
void renderAdaptation(AppState& state, Reporter& out);

// The command line's exit code for how a flow ended.
int exitCodeFor(FlowExit exit);
// What stderr shows for a failure: usage problems name the command and its help.
QString failureLine(const FlowFailure& failure, const QString& command);

} // namespace kivo::cli
