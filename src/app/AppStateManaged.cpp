// SPDX-License-Identifier: Apache-2.0
// Managed deployment at launch: one coordinator, with its telemetry, for the life of the session.
#include "app/AppState.h"

#include "app/ManagedModeCoordinator.h"
#include "managed/ConfigurationProfileManager.h"
#include "managed/TelemetryClient.h"
#include "platform/HostNames.h"

namespace kivo {

bool AppState::bootstrapManagedModeIfNeeded()
{
    const ManagedDeploymentConfig config = m_profileManager->resolvedManagedDeployment();
    if (config.deploymentMode != DeploymentMode::managed || m_ownedCoordinator)
        return false;
    ManagedModeCoordinator::Options options;
    options.discoveryTimeout = m_managedLaunch.discoveryTimeout;
    options.pairingTimeout = m_managedLaunch.pairingTimeout;
    if (config.telemetryEndpoint) {
        m_telemetry = std::make_unique<TelemetryClient>(*config.telemetryEndpoint, host::networkHostName(),
                                                        QStringLiteral(KIVO_VERSION));
        m_telemetry->setTimeout(m_managedLaunch.telemetryTimeout);
        options.postEvent = [client = m_telemetry.get(), principal = config.userPrincipal](QString event,
                                                                                           QMap<QString, QString> details) {
            client->post(std::move(event), principal, std::move(details));
        };
    }
    m_ownedCoordinator = std::make_unique<ManagedModeCoordinator>(config, *this, std::move(options));
    setManagedCoordinator(m_ownedCoordinator.get());
    runManaged();
    return true;
}

QCoro::Task<void> AppState::runManaged()
{
    QPointer<AppState> self(this);
    const FlowExit exit = co_await m_ownedCoordinator->start();
    // What is still on its way to the endpoint gets one timeout, no more.
    if (self && m_telemetry)
        co_await m_telemetry->drain();
    if (!self)
        co_return;
    m_managedExit = exit;
    Q_EMIT managedRunFinished();
}

} // namespace kivo
