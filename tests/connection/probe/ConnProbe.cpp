// Drives one side of a connection inside a test host and reports what it sees,
// one line per event on stdout, so a test in another process can follow it.
//   kivo-conn-probe browse
// Exits when stdin closes.
#include "connection/ConnectionManager.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <unistd.h>

using namespace kivo;

namespace {

void say(const QString& line)
{
    QTextStream out(stdout);
    out << line << Qt::endl;
}

QString describePeer(const DiscoveredPeer& p)
{
    return QStringList{p.hostname, p.username, p.pairingCode.value_or(QString()), toString(p.transport),
                       p.securePairing ? QStringLiteral("secure") : QStringLiteral("unverified")}
        .join(u'|');
}

} // namespace

int main(int argc, char** argv)
{
    kivo::prepareProcess();
    QCoreApplication app(argc, argv);
    installLogging();
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);
    ConnectionManager manager;

    QObject::connect(&manager, &ConnectionManager::stateChanged, [&] { say(QStringLiteral("state ") + manager.state().toString()); });
    QObject::connect(manager.thunderboltDetector(), &ThunderboltDetector::peerDetected,
                     [](const ThunderboltPeer& p) { say(QStringLiteral("thunderbolt %1 %2").arg(p.interfaceName, p.peerIP)); });

    if (mode != QLatin1String("browse")) {
        say(QStringLiteral("usage: kivo-conn-probe browse"));
        return 2;
    }
    QObject::connect(&manager, &ConnectionManager::discoveredPeersChanged, [&] {
        say(QStringLiteral("peers %1").arg(manager.discoveredPeers().size()));
        for (const auto& p : manager.discoveredPeers())
            say(QStringLiteral("peer ") + describePeer(p));
    });
    manager.startDiscovery();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    return app.exec();
}
