#pragma once

#include "cli/CliOptions.h"

namespace kivo::cli {

// The source: advertise, show the code, wait for a destination, send the selection.
int runSend(const SendOptions& options);
// The destination: find or reach the source, confirm the code, receive into the home folder.
int runReceive(const ReceiveOptions& options);

} // namespace kivo::cli
