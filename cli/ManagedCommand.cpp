#include "cli/ManagedCommand.h"

#include "app/AppState.h"
#include "app/ManagedModeCoordinator.h"
#include "app/MigrationFlow.h"
#include "cli/Commands.h"
#include "cli/Reporter.h"
#include "managed/ConfigurationProfileManager.h"
#include "managed/TelemetryClient.h"
#include "platform/AccountHome.h"
#include "platform/Error.h"
#include "platform/HostNames.h"
#include "platform/Interrupts.h"

#include <QEventLoop>
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
        out.error(QStringLiteral("kivo-cli: %1: not a managed deployment%2")
                      .arg(path, profile.loadError().isEmpty() ? QString() : QStringLiteral(" (") + profile.loadError() + u')'));
        return exitRefused;
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
    std::unique_ptr<TelemetryClient> telemetry;
    ManagedModeCoordinator::Options options;
    options.discoveryTimeout = std::chrono::seconds(o.discoveryTimeoutSeconds);
    options.pairingTimeout = std::chrono::seconds(o.pairingTimeoutSeconds);
    if (config.telemetryEndpoint) {
        telemetry = std::make_unique<TelemetryClient>(*config.telemetryEndpoint, host::networkHostName(),
                                                      QStringLiteral(KIVO_VERSION));
        telemetry->setTimeout(telemetryTimeout());
        options.postEvent = [client = telemetry.get(), principal = config.userPrincipal](QString event,
                                                                                          QMap<QString, QString> details) {
            client->post(std::move(event), principal, std::move(details));
        };
    }
    ManagedModeCoordinator coordinator(config, state, std::move(options));
    state.setManagedCoordinator(&coordinator);

    QObject::connect(&coordinator, &ManagedModeCoordinator::stateChanged, &coordinator, [&out, &coordinator] {
        const QString description = coordinator.state().description();
        out.event(QStringLiteral("state"), {{QStringLiteral("state"), description}},
                  QStringLiteral("Managed state: ") + description);
    });
    bool flowShown = false;
    QObject::connect(&coordinator, &ManagedModeCoordinator::flowStarted, &coordinator,
                     [&out, &flowShown, json = o.json](MigrationFlow* flow) {
                         flowShown = true;
                         renderWarnings(*flow, out, json);
                         renderTransfer(*flow, out);
                     });

    std::optional<InterruptNotifier> interrupts;
    try {
        interrupts.emplace();
        QObject::connect(&*interrupts, &InterruptNotifier::interrupted, &coordinator, &ManagedModeCoordinator::cancel);
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitTransferFailed;
    }

    std::optional<FlowExit> result;
    QEventLoop loop;
    auto drive = [&]() -> QCoro::Task<void> {
        result = co_await coordinator.start();
        // What is still on its way to the endpoint gets one timeout, no more.
        if (telemetry)
            co_await telemetry->drain();
        loop.quit();
    };
    auto running = drive();
    if (!result || (telemetry && !telemetry->isIdle()))
        loop.exec();

    const auto& s = coordinator.state();
    if (!flowShown && s.isTerminal() && s.kind != ManagedModeCoordinator::State::Kind::complete)
        out.error(QStringLiteral("kivo-cli: ") + s.title() + QStringLiteral(": ") + QString(s.detail()).replace(u'\n', u' '));
    return exitCodeFor(result.value_or(FlowExit::transferFailed));
}

} // namespace kivo::cli
