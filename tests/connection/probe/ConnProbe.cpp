// Drives one side of a connection inside a test host and reports what it sees,
// one line per event on stdout, so a test in another process can follow it.
//   kivo-conn-probe browse
//   kivo-conn-probe stranger --host H             (connects first, sends a bare pairingConfirm,
//                                                  reports every message it gets back)
// Exits when stdin closes.
#include "connection/ConnectionManager.h"
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "transfer/WireFormat.h"

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

QString argument(const QStringList& args, const QString& name)
{
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
}

QString describePeer(const DiscoveredPeer& p)
{
    return QStringList{p.hostname, p.username, p.pairingCode.value_or(QString()), toString(p.transport),
                       p.securePairing ? QStringLiteral("secure") : QStringLiteral("unverified")}
        .join(u'|');
}

// Someone who knows no code: claims to have confirmed it, then listens.
QCoro::Task<void> intrude(ConnectionManager* manager, DiscoveredPeer peer)
{
    try {
        co_await manager->connectToPeer(peer);
        say(QStringLiteral("tls-ready"));
        MessageHeader confirm;
        confirm.type = MessageType::pairingConfirm;
        co_await manager->transferSession()->sendRaw(WireFormat::encodeMessage(confirm));
        say(QStringLiteral("sent"));
        for (;;) {
            const Message m = co_await manager->transferSession()->receiveMessage();
            say(QStringLiteral("received ") + toString(m.header.type) + u' ' + m.header.errorMessage.value_or(QString()));
        }
    } catch (const std::exception& e) {
        say(QStringLiteral("closed ") + describe(e));
    }
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

    std::optional<DiscoveredPeer> target;
    const QString wanted = argument(args, QStringLiteral("--host"));
    if (mode == QLatin1String("browse") || mode == QLatin1String("stranger")) {
        QObject::connect(&manager, &ConnectionManager::discoveredPeersChanged, [&] {
            say(QStringLiteral("peers %1").arg(manager.discoveredPeers().size()));
            for (const auto& p : manager.discoveredPeers()) {
                say(QStringLiteral("peer ") + describePeer(p));
                if (mode != QLatin1String("browse") && !target && p.hostname == wanted) {
                    target = p;
                    manager.stopDiscovery();
                    intrude(&manager, p);
                    return;
                }
            }
        });
        manager.startDiscovery();
    } else {
        say(QStringLiteral("usage: kivo-conn-probe browse|stranger [--host H]"));
        return 2;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    return app.exec();
}
