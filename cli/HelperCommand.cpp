// SPDX-License-Identifier: Apache-2.0
#include "cli/HelperCommand.h"

#include "cli/Reporter.h"
#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/FileSystem.h"
#include "postmigration/HelperInstaller.h"
#include "postmigration/HelperServiceUnit.h"

#include <QCoreApplication>
#include <QEventLoop>

namespace kivo::cli {
namespace {

int status(const HelperOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    HelperInstaller& helper = HelperInstaller::shared();
    std::optional<bool> available;
    QEventLoop loop;
    auto probe = [&]() -> QCoro::Task<void> {
        available = co_await helper.isAvailable();
        loop.quit();
    };
    auto running = probe();
    if (!available)
        loop.exec();
    if (!*available) {
        if (o.json)
            out.event(QStringLiteral("helper"), {{QStringLiteral("available"), false}, {QStringLiteral("socket"), helper.socketPath()}});
        out.error(QStringLiteral("Privileged helper is not installed (nothing answers on %1)").arg(helper.socketPath()));
        return exitServiceUnavailable;
    }
    out.event(QStringLiteral("helper"),
              {{QStringLiteral("available"), true}, {QStringLiteral("version"), helper.version()},
               {QStringLiteral("socket"), helper.socketPath()}},
              QStringLiteral("kivo-helper %1 answers on %2").arg(helper.version(), helper.socketPath()));
    return exitSuccess;
}

int install(const HelperOptions& o)
{
    Reporter out(Reporter::Mode::plain);
    HelperServiceUnit::Request request;
    request.helperExecutable = HelperServiceUnit::findHelper(QCoreApplication::applicationDirPath());
    request.socketPath = o.socket.isEmpty() ? HelperInstaller::defaultSocketPath() : o.socket;
    request.unitDir = o.unitDir;
    request.start = o.start;
    request.packagedUnit = HelperServiceUnit::packagedUnit();
    request.systemdRunning = systemdIsRunning();
    const HelperServiceUnit::Plan plan = HelperServiceUnit::plan(request);
    if (!plan.problem.isEmpty()) {
        out.error(plan.problem);
        return exitBadInput;
    }
    if (!plan.writes)
        out.event(QStringLiteral("helperInstalled"), {{QStringLiteral("unit"), plan.unitPath}, {QStringLiteral("written"), false}},
                  QStringLiteral("%1 comes with the package: nothing written").arg(plan.unitPath));
    CommandOptions options;
    options.timeout = std::chrono::seconds(60);
    for (const HelperServiceUnit::Step& step : plan.steps) {
        if (step.kind == HelperServiceUnit::Step::Kind::writeUnit) {
            try {
                fs::writeFileAtomically(step.path, step.contents.toUtf8());
            } catch (const SystemError& e) {
                out.error(e.description());
                return exitTransferFailed;
            }
            out.event(QStringLiteral("helperInstalled"), {{QStringLiteral("unit"), step.path}, {QStringLiteral("written"), true}},
                      QStringLiteral("Wrote %1").arg(step.path));
        } else if (!runCommand(QStringLiteral("systemctl"), step.arguments, options)) {
            out.error(QStringLiteral("systemctl %1 failed").arg(step.arguments.join(u' ')));
            return exitServiceUnavailable;
        }
    }
    if (!request.systemdRunning && o.start)
        out.event(QStringLiteral("helperNotStarted"), {{QStringLiteral("reason"), QStringLiteral("systemd is not running")}},
                  QStringLiteral("systemd is not running here: start the helper as root yourself"));
    return exitSuccess;
}

} // namespace

int runHelper(const HelperOptions& options)
{
    return options.action == QLatin1String("status") ? status(options) : install(options);
}

} // namespace kivo::cli
