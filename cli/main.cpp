#include "cli/CliOptions.h"
#include "platform/Logging.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

const char* const kUsage = R"(kivo-cli — move one person's data from an old computer to a new one.

Usage:
  kivo-cli send    [--home DIR] [--categories ID,ID,...] [--folders NAME,NAME,...]
                   [--hostname NAME] [--username NAME] [--port N]
                   [--conflict-policy skip|overwrite|keepNewer|ask] [--max-mbps N] [--json]
  kivo-cli receive [--home DIR] [--code NNNNNN] [--source HOSTNAME] [--connect HOST:PORT]
                   [--timeout SECONDS] [--json]
  kivo-cli demo    [--workdir DIR] [--files N]
  kivo-cli --version
  kivo-cli --help
)";

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kivo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KIVO_VERSION));
    kivo::installLogging();

    QTextStream out(stdout);
    QTextStream err(stderr);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
        out << kUsage;
        return args.isEmpty() ? 2 : 0;
    }
    if (args.first() == QLatin1String("--version")) {
        out << "kivo-cli " << KIVO_VERSION << "\n";
        return 0;
    }
    const QString& command = args.first();
    if (command == QLatin1String("send") || command == QLatin1String("receive") || command == QLatin1String("demo")) {
        err << "kivo-cli " << command << ": not available in this build yet\n";
        return 1;
    }
    err << "kivo-cli: unknown command \"" << command << "\"\n\n" << kUsage;
    return 2;
}
