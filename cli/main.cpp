#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "cli/DemoCommand.h"
#include "cli/DevtoolsCommand.h"
#include "cli/LogCommand.h"
#include "cli/HelperCommand.h"
#include "cli/StagedCommand.h"
#include "cli/PreflightCommand.h"
#include "cli/InspectCommand.h"
#include "cli/ManagedCommand.h"
#include "cli/ProfileCommand.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"

#include <QCoreApplication>
#include <cstdio>

namespace {

const char* const kUsage = R"(kivo-cli: move one person's data from an old computer to a new one.

Usage:
  kivo-cli send    [--home DIR] [--layout auto|linux|macos] [--categories ID,ID,...] [--folders NAME,NAME,...]
                   [--hostname NAME] [--username NAME] [--port N]
                   [--conflict-policy skip|overwrite|keepNewer|ask] [--max-mbps N]
                   [--allow-unverified-pairing] [--confirm-sensitive] [--json] [--dev-include NAME,...]
                   [--destination-home DIR] [--destination-free-bytes N] [--connection TYPE]
                   [--store-url URL | --offline] [--include-derived] [--export FILE|DIR]
  kivo-cli receive [--home DIR] [--code NNNNNN] [--source HOSTNAME] [--connect HOST:PORT]
                   [--timeout SECONDS] [--allow-unverified-pairing] [--json]
                   [--user NAME] [--source-home DIR] [--pref-restore immediate|staged|manual]
                   [--restore-window-days N]
  kivo-cli preflight --home DIR [--layout auto|linux|macos] [--categories ID,...] [--folders NAME,...]
                   [--destination-home DIR] [--destination-free-bytes N] [--connection TYPE]
                   [--store-url URL | --offline] [--include-derived] [--export FILE|DIR] [--json]
  kivo-cli helper  status [--json]
  kivo-cli helper  install [--unit-dir DIR] [--socket PATH] [--no-start]
  kivo-cli staged  list|watch [--home DIR] [--apps-dir DIR]... [--json]
  kivo-cli staged  apply|discard KEY [--home DIR]
  kivo-cli inspect [--home DIR] [--layout auto|linux|macos] [--categories ID,...] [--json]
  kivo-cli demo    [--workdir DIR] [--files N]
  kivo-cli devtools [--home DIR] [--json] [--plan] [--include NAME,...]
                   [--dest-arch arm64|x86_64] [--connection wifi|ethernet|thunderbolt] [--report PATH]
  kivo-cli log list [--home DIR] [--json]
  kivo-cli log show ID|latest [--home DIR]
  kivo-cli log export [--home DIR] [--out FILE]
  kivo-cli log post ID|latest|--pending [URL] [--home DIR]
  kivo-cli profile check [FILE] [--json]
  kivo-cli managed [--profile FILE] [--home DIR] [--json]
                   [--discovery-timeout S] [--pairing-timeout S]
  kivo-cli --version | --help

Categories: userFiles, applicationData, keychain, systemSettings, browserData, engineeringTools.
Exit codes: 0 success; 1 transfer failed, cancelled or verification mismatches,
a report not written or a log post failed; 2 usage error; 3 pairing failed, expired
or wrong code; 4 no source found in time; 5 refused: a pre-flight blocker, outside the
migration window, not managed or not enrolled; 6 unusable input: an unknown log id,
staged bundle or user, an unreadable or malformed profile, or one missing required
keys; 7 a service kivo needs is not available (the privileged helper, the Secret
Service, a locked keychain).
)";

} // namespace

int main(int argc, char** argv)
{
    kivo::prepareProcess();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KIVO_VERSION));
    kivo::installLogging(/*quiet=*/true);

    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fputs(kUsage, stderr);
        return kivo::cli::exitUsage;
    }
    const QString command = args.first();
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(kUsage, stdout);
        return kivo::cli::exitSuccess;
    }
    if (command == QLatin1String("--version")) {
        std::printf("kivo-cli %s\n", KIVO_VERSION);
        return kivo::cli::exitSuccess;
    }
    try {
        const QStringList rest = args.mid(1);
        if (command == QLatin1String("send"))
            return kivo::cli::runSend(kivo::cli::parseSend(rest));
        if (command == QLatin1String("receive"))
            return kivo::cli::runReceive(kivo::cli::parseReceive(rest));
        if (command == QLatin1String("helper"))
            return kivo::cli::runHelper(kivo::cli::parseHelper(rest));
        if (command == QLatin1String("staged"))
            return kivo::cli::runStaged(kivo::cli::parseStaged(rest));
        if (command == QLatin1String("preflight"))
            return kivo::cli::runPreflight(kivo::cli::parsePreflight(rest));
        if (command == QLatin1String("inspect"))
            return kivo::cli::runInspect(kivo::cli::parseInspect(rest));
        if (command == QLatin1String("demo"))
            return kivo::cli::runDemo(kivo::cli::parseDemo(rest));
        if (command == QLatin1String("devtools"))
            return kivo::cli::runDevtools(kivo::cli::parseDevtools(rest));
        if (command == QLatin1String("log"))
            return kivo::cli::runLog(kivo::cli::parseLog(rest));
        if (command == QLatin1String("profile"))
            return kivo::cli::runProfileCheck(kivo::cli::parseProfileCheck(rest));
        if (command == QLatin1String("managed"))
            return kivo::cli::runManaged(kivo::cli::parseManaged(rest));
        throw kivo::cli::UsageError(QStringLiteral("unknown command \"%1\"").arg(command));
    } catch (const kivo::cli::UsageError& e) {
        std::fprintf(stderr, "kivo-cli: %s\n\n%s", e.what(), kUsage);
        return kivo::cli::exitUsage;
    }
}
