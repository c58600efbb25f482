// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo::host {

// The machine's human-facing name (PRETTY_HOSTNAME on Linux); empty when none is set.
QString localizedHostName();
// The network host name.
QString networkHostName();
// The localized name, or the network name when there is none.
QString displayHostName();
// Short login name of the user running this process.
QString loginUserName();
// The machine's hardware name as `uname -m` prints it ("x86_64", "aarch64").
QString machineArchitecture();

} // namespace kivo::host
