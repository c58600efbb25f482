#pragma once

#include "app/FlowEvents.h"
#include "cli/CliOptions.h"

namespace kivo::cli {

// The source: advertise, show the code, wait for a destination, send the selection.
int runSend(const SendOptions& options);
// The destination: find or reach the source, confirm the code, receive into the home folder.
int runReceive(const ReceiveOptions& options);

// The command line's exit code for how a flow ended.
int exitCodeFor(FlowExit exit);
// The line printed on stderr for a failure: usage problems name the program.
QString failureLine(const FlowFailure& failure);

} // namespace kivo::cli
