// Drives one side of a connection inside a test host and reports what it sees,
// one line per event on stdout, so a test in another process can follow it.
//   kivo-conn-probe advertise --host H --user U
//   kivo-conn-probe publish --host H --user U --code C [--no-secure-pairing]
//                                                  (the advertiser alone, code in its name as old peers had it)
//   kivo-conn-probe browse
//   kivo-conn-probe connect --host H              (stdin: typed codes)
//   kivo-conn-probe stranger --host H             (connects first, sends a bare pairingConfirm,
//                                                  reports every message it gets back)
// Exits when stdin closes.
#include "connection/BonjourAdvertiser.h"
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

QCoro::Task<void> connectTo(ConnectionManager* manager, DiscoveredPeer peer)
{
    try {
        co_await manager->connectToPeer(peer);
        say(QStringLiteral("tls-ready"));
    } catch (const std::exception& e) {
        say(QStringLiteral("error ") + describe(e));
    }
}

// What the pairing screen does with six typed digits; a failed attempt leaves
// no connection, so the next one connects again.
QCoro::Task<void> confirm(ConnectionManager* manager, DiscoveredPeer peer, QString typed)
{
    try {
        if (!manager->transferSession())
            co_await manager->connectToPeer(peer);
        co_await manager->pairSecurely(typed); // an insecure peer was refused on connecting
        say(QStringLiteral("sent"));
    } catch (const std::exception& e) {
        say(QStringLiteral("error ") + describe(e));
    }
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
    QObject::connect(&manager, &ConnectionManager::incomingPeerReadyChanged,
                     [&] { say(QStringLiteral("incoming %1").arg(int(manager.incomingPeerReady()))); });
    QObject::connect(manager.pairingManager(), &PairingManager::confirmedBoth, [] { say(QStringLiteral("paired")); });
    QObject::connect(manager.thunderboltDetector(), &ThunderboltDetector::peerDetected,
                     [](const ThunderboltPeer& p) { say(QStringLiteral("thunderbolt %1 %2").arg(p.interfaceName, p.peerIP)); });

    std::optional<DiscoveredPeer> target;
    const QString wanted = argument(args, QStringLiteral("--host"));
    BonjourAdvertiser advertiser(wanted, argument(args, QStringLiteral("--user")));
    if (mode == QLatin1String("publish")) {
        advertiser.setCodeInInstanceName(true);
        advertiser.setAnnouncesSecurePairing(!args.contains(QStringLiteral("--no-secure-pairing")));
        QObject::connect(&advertiser, &BonjourAdvertiser::published,
                         [&] { say(QStringLiteral("published ") + advertiser.serviceName()); });
        advertiser.start(argument(args, QStringLiteral("--code")), manager.certificateManager()->makeTLSParameters(true));
        say(QStringLiteral("listening %1").arg(advertiser.port()));
    } else if (mode == QLatin1String("advertise")) {
        manager.startAdvertising(wanted, argument(args, QStringLiteral("--user")));
        say(QStringLiteral("listening %1").arg(manager.listeningPort()));
        say(QStringLiteral("code ") + manager.pairingManager()->pairingCode().value_or(QString()));
    } else if (mode == QLatin1String("browse") || mode == QLatin1String("connect") || mode == QLatin1String("stranger")) {
        QObject::connect(&manager, &ConnectionManager::discoveredPeersChanged, [&] {
            say(QStringLiteral("peers %1").arg(manager.discoveredPeers().size()));
            for (const auto& p : manager.discoveredPeers()) {
                say(QStringLiteral("peer ") + describePeer(p));
                if (mode != QLatin1String("browse") && !target && p.hostname == wanted) {
                    target = p;
                    manager.stopDiscovery();
                    if (mode == QLatin1String("stranger"))
                        intrude(&manager, p);
                    else
                        connectTo(&manager, p);
                    return;
                }
            }
        });
        manager.startDiscovery();
    } else {
        say(QStringLiteral("usage: kivo-conn-probe advertise|publish|browse|connect|stranger [--host H] [--user U]"));
        return 2;
    }

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, n);
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(pending.left(nl)).trimmed();
            pending.remove(0, nl + 1);
            if (target)
                confirm(&manager, *target, line);
        }
    });
    return app.exec();
}
