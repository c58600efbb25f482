#include "cli/HelperCommand.h"

#include "cli/Reporter.h"
#include "platform/Accounts.h"
#include "platform/CommandRunner.h"
#include "platform/FileSystem.h"
#include "postmigration/HelperInstaller.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>

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

QString helperExecutable()
{
    const QString here = QCoreApplication::applicationDirPath();
    for (const QString& candidate : {here + QStringLiteral("/kivo-helper"), here + QStringLiteral("/../helper/kivo-helper")}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.canonicalFilePath();
    }
    return {};
}

int install(const HelperOptions& o)
{
    Reporter out(Reporter::Mode::plain);
    const QString executable = helperExecutable();
    if (executable.isEmpty()) {
        out.error(QStringLiteral("kivo-helper was not found beside kivo-cli"));
        return exitBadInput;
    }
    const QString socket = o.socket.isEmpty() ? HelperInstaller::defaultSocketPath() : o.socket;
    const QString unit = QDir(o.unitDir).filePath(QStringLiteral("kivo-helper.service"));
    try {
        fs::writeFileAtomically(unit, helperUnitText(executable, socket).toUtf8());
    } catch (const SystemError& e) {
        out.error(e.description());
        return exitTransferFailed;
    }
    out.event(QStringLiteral("helperInstalled"), {{QStringLiteral("unit"), unit}}, QStringLiteral("Wrote %1").arg(unit));
    if (!systemdIsRunning())
        return exitSuccess;
    CommandOptions options;
    options.timeout = std::chrono::seconds(60);
    if (!runCommand(QStringLiteral("systemctl"), {QStringLiteral("daemon-reload")}, options)) {
        out.error(QStringLiteral("systemctl daemon-reload failed"));
        return exitServiceUnavailable;
    }
    if (o.start
        && !runCommand(QStringLiteral("systemctl"), {QStringLiteral("enable"), QStringLiteral("--now"), QStringLiteral("kivo-helper.service")},
                       options)) {
        out.error(QStringLiteral("systemctl enable --now kivo-helper.service failed"));
        return exitServiceUnavailable;
    }
    return exitSuccess;
}

} // namespace

QString helperUnitText(const QString& helperExecutable, const QString& socketPath)
{
    return QStringLiteral("[Unit]\n"
                          "Description=kivo privileged helper\n"
                          "After=local-fs.target\n"
                          "\n"
                          "[Service]\n"
                          "Type=simple\n"
                          "ExecStart=%1 --socket %2\n"
                          "Restart=on-failure\n"
                          "\n"
                          "[Install]\n"
                          "WantedBy=multi-user.target\n")
        .arg(helperExecutable, socketPath);
}

int runHelper(const HelperOptions& options)
{
    return options.action == QLatin1String("status") ? status(options) : install(options);
}

} // namespace kivo::cli
