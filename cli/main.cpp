// SPDX-License-Identifier: Apache-2.0
#include "cli/AppsCommand.h"
#include "cli/BashCompletion.h"
#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/DemoCommand.h"
#include "cli/DevtoolsCommand.h"
#include "cli/HelperCommand.h"
#include "cli/InspectCommand.h"
#include "cli/Invocation.h"
#include "cli/LogCommand.h"
#include "cli/ManPage.h"
#include "cli/ManagedCommand.h"
#include "cli/PreflightCommand.h"
#include "cli/ProfileCommand.h"
#include "cli/Reporter.h"
#include "cli/StagedCommand.h"
#include "cli/VaultCommand.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"

#include <QCoreApplication>
#include <cstdio>

namespace {

using namespace kivo::cli;

// The options of a command that reads a home the user names, once that home is there.
template <typename Options>
Options inExistingHome(Options options)
{
    requireExistingHome(options.home);
    return options;
}

// Parses and runs the command `first` names; `rest` are the words after it.
int runCommand(const QString& first, const QStringList& rest)
{
    if (first == QLatin1String("send"))
        return runSend(inExistingHome(parseSend(rest)));
    if (first == QLatin1String("receive"))
        return runReceive(parseReceive(rest));
    if (first == QLatin1String("helper"))
        return runHelper(parseHelper(rest));
    if (first == QLatin1String("apps"))
        return runApps(inExistingHome(parseApps(rest)));
    if (first == QLatin1String("staged"))
        return runStaged(inExistingHome(parseStaged(rest)));
    if (first == QLatin1String("preflight"))
        return runPreflight(inExistingHome(parsePreflight(rest)));
    if (first == QLatin1String("inspect"))
        return runInspect(inExistingHome(parseInspect(rest)));
    if (first == QLatin1String("demo"))
        return runDemo(parseDemo(rest));
    if (first == QLatin1String("devtools"))
        return runDevtools(inExistingHome(parseDevtools(rest)));
    if (first == QLatin1String("log"))
        return runLog(inExistingHome(parseLog(rest)));
    if (first == QLatin1String("profile"))
        return runProfileCheck(parseProfileCheck(rest));
    if (first == QLatin1String("vault"))
        return runVault(parseVault(rest));
    if (first == QLatin1String("managed"))
        return runManaged(parseManaged(rest));
    throw UsageError(QStringLiteral("unknown command \"%1\"").arg(first));
}

void print(const QString& text) { std::fputs(text.toUtf8().constData(), stdout); }

int dispatch(const QStringList& args)
{
    Invocation invocation;
    try {
        invocation = resolveInvocation(args);
        switch (invocation.kind) {
        case Invocation::Kind::help: print(invocation.text); return exitSuccess;
        case Invocation::Kind::version: print(QStringLiteral("kivo-cli %1\n").arg(QStringLiteral(KIVO_VERSION))); return exitSuccess;
        case Invocation::Kind::manPage: print(manPage(QStringLiteral(KIVO_VERSION), releaseDate())); return exitSuccess;
        case Invocation::Kind::completion: print(bashCompletion()); return exitSuccess;
        case Invocation::Kind::run: break;
        }
        return runCommand(invocation.command.section(u' ', 0, 0), invocation.args);
    } catch (const UsageError& e) {
        const QString context = e.context.isEmpty() ? invocation.command : e.context;
        printError(usageErrorText(context, QString::fromUtf8(e.what())).chopped(1));
        return exitUsage;
    }
}

} // namespace

int main(int argc, char** argv)
{
    kivo::prepareProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KIVO_VERSION));
    kivo::installLogging(/*quiet=*/true);

    const QStringList args = app.arguments().mid(1);
    const int code = dispatch(args);
    // However a --json run fails, a script reading stdout alone learns why.
    if (args.contains(QLatin1String("--json")))
        emitOwedErrorEvent(code);
    return code;
}
