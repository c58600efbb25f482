// SPDX-License-Identifier: Apache-2.0
// kivo-helper: the privileged helper. Runs as root and changes ownership and
// modes inside people's home folders for the kivo processes that ask.
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "platform/ResourceLimits.h"
#include "postmigration/HelperDaemon.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

const char* const kUsage =
    "Usage: kivo-helper [--socket PATH] [--allow-uid N]... [--allow-exe FILE]...\n"
    "       kivo-helper --version\n"
    "Serves kivo's privileged requests on a local socket (default /run/kivo/helper.sock).\n"
    "Callers must be root or an allowed uid, running an allowed executable (by default\n"
    "kivo-cli and kivo in the bin folder beside this program's sbin, else beside it).\n"
    "Makes the socket's folder (0755) and refuses one that others own or may write.\n";

} // namespace

int main(int argc, char** argv)
{
    kivo::prepareProcess();
    QCoreApplication app(argc, argv);
    kivo::installLogging(/*quiet=*/false);

    QString socketPath = QStringLiteral("/run/kivo/helper.sock");
    kivo::HelperDaemon::Callers callers;
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == QLatin1String("--version")) {
            std::printf("kivo-helper %s\n", KIVO_VERSION);
            return 0;
        }
        if (a == QLatin1String("--socket") && hasValue) {
            socketPath = args[++i];
        } else if (a == QLatin1String("--allow-uid") && hasValue) {
            bool ok = false;
            callers.uids.append(args[++i].toUInt(&ok));
            if (!ok) {
                std::fprintf(stderr, "kivo-helper: --allow-uid needs a number\n%s", kUsage);
                return 2;
            }
        } else if (a == QLatin1String("--allow-exe") && hasValue) {
            callers.executables.append(QDir(args[++i]).absolutePath());
        } else {
            std::fprintf(stderr, "kivo-helper: unknown argument \"%s\"\n%s", qUtf8Printable(a), kUsage);
            return 2;
        }
    }
    if (callers.executables.isEmpty())
        callers.executables = kivo::HelperDaemon::defaultCallers(QCoreApplication::applicationDirPath());
    // A request's paths are held open together while it is checked: room for the largest one.
    kivo::raiseOpenFileLimit(4096);
    kivo::HelperDaemon daemon(kivo::HelperService{}, callers);
    QString error;
    if (!daemon.listen(socketPath, &error)) {
        std::fprintf(stderr, "kivo-helper: cannot listen on %s: %s\n", qUtf8Printable(socketPath), qUtf8Printable(error));
        return 1;
    }
    return app.exec();
}
