// SPDX-License-Identifier: Apache-2.0
#include "cli/ManagedCommand.h"

#include "app/AppState.h"
#include "app/ManagedModeCoordinator.h"
#include "app/MigrationFlow.h"
#include "cli/Commands.h"
#include "cli/Reporter.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/AccountHome.h"
#include "platform/HostNames.h"

#include <QCoroSignal>
#include <QLoggingCategory>

#include <memory>

namespace kivo::cli {

namespace {

// The coordinator's and the telemetry's lines are part of what this command reports.
void showManagedLogLines()
{
    if (!qEnvironmentVariableIsEmpty("KIVO_LOG_RULES"))
        return;
    QLoggingCategory::setFilterRules(QStringLiteral(
        "com.kivo.app.*.debug=false\ncom.kivo.app.*.info=false\ncom.kivo.app.*.warning=false\nqt.*.warning=false\n"
        "com.kivo.app.ManagedModeCoordinator.info=true\ncom.kivo.app.ManagedModeCoordinator.warning=true\n"
        "com.kivo.app.Telemetry.info=true\ncom.kivo.app.Telemetry.warning=true"));
}

// Tests shorten the wait for a silent telemetry endpoint; seconds.
std::chrono::milliseconds telemetryTimeout()
{
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("KIVO_TELEMETRY_TIMEOUT", &ok);
    return std::chrono::seconds(ok && seconds > 0 ? seconds : 60);
}

} // namespace

int runManaged(const ManagedOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    showManagedLogLines();
    const QString path = o.profile.value_or(effectiveProfilePath());
    const ConfigurationProfileManager profile(path);
    const ManagedDeploymentConfig config = profile.resolvedManagedDeployment();
    if (config.deploymentMode != DeploymentMode::managed) {
        // A profile that cannot be read is a bad input, as `profile check` says; a readable one that
        // does not ask for this is a refusal.
        const bool unusable = !profile.loadError().isEmpty();
        const int code = unusable ? exitUnusableInput : exitRefused;
        const QString line = QStringLiteral("kivo-cli: %1: not a managed deployment%2")
                                 .arg(path, unusable ? QStringLiteral(" (") + profile.loadError() + u')' : QString());
        if (out.isJson())
            out.event(QStringLiteral("error"), {{QStringLiteral("text"), line}, {QStringLiteral("exitCode"), code}});
        out.error(line);
        return code;
    }

    // The principal's account receives, unless a folder is named.
    const std::optional<QString> user = config.shortUsername();
    QString home = o.home.value_or(QString());
    if (home.isEmpty() && user) {
        const auto found = host::homeFolderOf(*user);
        if (!found) {
            out.error(QStringLiteral("kivo-cli: no account \"%1\" on this machine; name the folder with --home").arg(*user));
            return exitUnusableInput;
        }
        home = *found;
    }

    SessionEnvironment environment{home, {}, user.value_or(QString()), 0, nullptr};
    environment.profilePath = path;
    AppState state(std::move(environment));
    out.speakFor(state.homeLayout());
    state.setManagedLaunch({std::chrono::seconds(o.discoveryTimeoutSeconds), std::chrono::seconds(o.pairingTimeoutSeconds),
                            telemetryTimeout()});
    bool flowShown = false;
    QObject::connect(&state, &AppState::managedCoordinatorChanged, &state, [&] {
        ManagedModeCoordinator* coordinator = state.managedCoordinator();
        if (!coordinator)
            return;
        QObject::connect(coordinator, &ManagedModeCoordinator::stateChanged, coordinator, [&out, coordinator] {
            const QString description = coordinator->state().description();
            out.event(QStringLiteral("state"), {{QStringLiteral("state"), description}},
                      QStringLiteral("Managed state: ") + description);
        });
        QObject::connect(coordinator, &ManagedModeCoordinator::flowStarted, coordinator,
                         [&out, &flowShown, json = o.json](MigrationFlow* flow) {
                             flowShown = true;
                             renderWarnings(*flow, out, json);
                             renderTransfer(*flow, out, QStringLiteral("managed"));
                         });
    });
    if (!state.bootstrapManagedModeIfNeeded())
        return exitRefused;

    const auto untilFinished = [&state]() -> QCoro::Task<FlowExit> {
        if (!state.managedExit())
            co_await qCoro(&state, &AppState::managedRunFinished);
        co_return state.managedExit().value_or(FlowExit::transferFailed);
    };
    const int exit = runUntilDone(untilFinished, [&state] { state.managedCoordinator()->cancel(); }, out);

    const auto& s = state.managedCoordinator()->state();
    if (!flowShown && s.isTerminal() && s.kind != ManagedModeCoordinator::State::Kind::complete)
        out.error(QStringLiteral("kivo-cli: ") + s.title() + QStringLiteral(": ") + QString(s.detail()).replace(u'\n', u' '));
    return exit;
}

} // namespace kivo::cli
