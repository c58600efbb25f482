// SPDX-License-Identifier: Apache-2.0
// A machine in the middle, for tests: accepts TLS with its own throwaway
// certificate, connects onward to the real source with TLS (the same
// certificate, accepting whatever the source presents) and passes the
// decrypted bytes both ways. It pins nothing and knows no code.
//   kivo-tls-relay --to HOST:PORT [--listen ADDRESS]
// Prints "listening PORT", then "relaying N" once both legs of connection N
// are encrypted and "closed N" when it ends.
#include "platform/Logging.h"
#include "platform/ProcessSetup.h"
#include "platform/SslServer.h"
#include "support/TestTls.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <chrono>
#include <memory>

using namespace kivo;

namespace {

// At most this much waits unsent on a leg before the relay stops reading the other.
constexpr qint64 kWindow = 1 << 20;
constexpr std::chrono::seconds kHandshakeDeadline{10};

void say(const QString& line)
{
    QTextStream(stdout) << line << Qt::endl;
}

QString argument(const QStringList& args, const QString& name)
{
    const qsizetype i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
}

void pump(QSslSocket* from, QSslSocket* to)
{
    if (!from->isEncrypted() || !to->isEncrypted())
        return;
    while (from->bytesAvailable() > 0 && to->bytesToWrite() < kWindow)
        to->write(from->read(kWindow));
}

// One client: its own leg, a new leg to the source, bytes passed both ways
// until either leg closes.
void relay(QSslSocket* inbound, const QSslConfiguration& tls, const QString& host, quint16 port, int id)
{
    auto* outbound = new QSslSocket(inbound);
    auto closed = std::make_shared<bool>(false);
    for (QSslSocket* s : {inbound, outbound}) {
        s->setSslConfiguration(tls);
        QSslSocket* other = s == inbound ? outbound : inbound;
        QObject::connect(s, &QSslSocket::sslErrors, s, [s] { s->ignoreSslErrors(); });
        QObject::connect(s, &QSslSocket::readyRead, s, [s, other] { pump(s, other); });
        QObject::connect(s, &QSslSocket::encryptedBytesWritten, s, [s, other] { pump(other, s); });
        QObject::connect(s, &QSslSocket::encrypted, s, [=] {
            pump(inbound, outbound);
            pump(outbound, inbound);
            if (inbound->isEncrypted() && outbound->isEncrypted())
                say(QStringLiteral("relaying %1").arg(id));
        });
        QObject::connect(s, &QAbstractSocket::stateChanged, s, [=](QAbstractSocket::SocketState state) {
            if (state != QAbstractSocket::UnconnectedState)
                return;
            pump(s, other);
            other->disconnectFromHost();
            if (other->state() == QAbstractSocket::UnconnectedState && !std::exchange(*closed, true)) {
                say(QStringLiteral("closed %1").arg(id));
                inbound->deleteLater();
            }
        });
    }
    QTimer::singleShot(kHandshakeDeadline, inbound, [inbound, outbound] {
        if (!inbound->isEncrypted() || !outbound->isEncrypted()) {
            outbound->abort();
            inbound->abort();
        }
    });
    inbound->startServerEncryption();
    outbound->connectToHostEncrypted(host, port);
}

} // namespace

int main(int argc, char** argv)
{
    kivo::prepareProcess();
    QCoreApplication app(argc, argv);
    installLogging();
    const QStringList args = app.arguments().mid(1);
    const QStringList to = argument(args, QStringLiteral("--to")).split(u':');
    if (to.size() != 2 || to[1].toUShort() == 0) {
        say(QStringLiteral("usage: kivo-tls-relay --to HOST:PORT [--listen ADDRESS]"));
        return 2;
    }
    const QSslConfiguration tls = test::testTlsConfiguration(test::makeTestIdentity(QStringLiteral("relay")));
    const QHostAddress listenAddress(argument(args, QStringLiteral("--listen")).isEmpty()
                                         ? QStringLiteral("0.0.0.0")
                                         : argument(args, QStringLiteral("--listen")));
    int connections = 0;
    SslServer server;
    QObject::connect(&server, &SslServer::socketAccepted,
                     [&](QSslSocket* socket) { relay(socket, tls, to[0], to[1].toUShort(), ++connections); });
    if (!server.listen(listenAddress, 0)) {
        say(QStringLiteral("error cannot listen"));
        return 1;
    }
    say(QStringLiteral("listening %1").arg(server.serverPort()));
    return app.exec();
}
