// SPDX-License-Identifier: Apache-2.0
#include "preflight/CheckEnvironment.h"

#include "categories/KeychainHandler.h"
#include "platform/PowerSources.h"

namespace kivo {

CheckEnvironment CheckEnvironment::fromProcess()
{
    CheckEnvironment e;
    e.sysfsRoot = kivo::sysfsRoot();
    e.procRoot = QStringLiteral("/proc");
    e.profilePath = qEnvironmentVariable("KIVO_CONFIG_PROFILE");
    if (e.profilePath.isEmpty())
        e.profilePath = QStringLiteral("/etc/kivo/com.kivo.config.plist");
    e.systemRoot = QStringLiteral("/");
    e.keychainProblem = [](HomeLayoutKind layout) { return KeychainHandler::sourceProblem(layout); };
#ifdef Q_OS_MACOS
    e.profilesTool = QStringLiteral("/usr/bin/profiles");
    e.fdesetupTool = QStringLiteral("/usr/bin/fdesetup");
#endif
    return e;
}

} // namespace kivo
