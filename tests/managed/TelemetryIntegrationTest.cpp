// SPDX-License-Identifier: Apache-2.0
#include "managed/TelemetryClient.h"
#include "support/CoroTest.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace kivo;
using namespace std::chrono_literals;

namespace {

// Answers each request with `reply` (or never), keeping the bodies it was sent.
class Endpoint : public QObject {
public:
    explicit Endpoint(QByteArray reply) : m_reply(std::move(reply))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                s->setParent(this);
                auto* buffer = new QByteArray;
                connect(s, &QObject::destroyed, this, [buffer] { delete buffer; });
                connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    *buffer += s->readAll();
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    const qsizetype length = end < 0 ? -1 : buffer->mid(buffer->toLower().indexOf("content-length:") + 15).split('\r').first().trimmed().toInt();
                    if (end < 0 || buffer->size() < end + 4 + length)
                        return;
                    bodies << buffer->mid(end + 4, length);
                    buffer->clear();
                    if (!m_reply.isEmpty()) {
                        s->write(m_reply);
                        s->disconnectFromHost();
                    }
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/events").arg(m_server.serverPort())); }

    QList<QByteArray> bodies;

private:
    QTcpServer m_server;
    QByteArray m_reply;
};

QByteArray reply(const char* status)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// The Telemetry lines logged while it lives.
struct TelemetryLines {
    TelemetryLines()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& text) {
            if (QByteArray(context.category) == "com.kivo.app.Telemetry")
                s_lines << text;
        });
    }
    ~TelemetryLines() { qInstallMessageHandler(m_previous); }
    static inline QStringList s_lines;
    QtMessageHandler m_previous;
};

} // namespace

// Every post goes out in event order without being awaited, and a refusal is
// logged once per post (how each status and a redirect end: HttpClient's tests).
TEST(Telemetry, PostsArriveInEventOrderAndFailedStatusesAreLoggedPerPost)
{
    const QStringList events{QStringLiteral("managed.start"), QStringLiteral("managed.ready"), QStringLiteral("managed.complete")};
    TelemetryLines lines;
    Endpoint endpoint(reply("500 Internal Server Error"));
    TelemetryClient client(endpoint.url(), QStringLiteral("mac-1"), QStringLiteral("0.1.0"));
    for (const QString& e : events)
        client.post(e, QStringLiteral("ann"));
    EXPECT_TRUE(endpoint.bodies.isEmpty()) << "nothing goes out before the caller returns to the event loop";
    test::runTask(client.drain());
    QStringList received;
    for (const QByteArray& body : endpoint.bodies)
        received << QJsonDocument::fromJson(body).object().value(QStringLiteral("event")).toString();
    EXPECT_EQ(received, events);
    EXPECT_TRUE(client.isIdle());
    EXPECT_EQ(lines.s_lines.size(), events.size()) << lines.s_lines.join(u'|').toStdString();
}

TEST(Telemetry, ASilentEndpointCostsTheExitOneTimeoutForEverythingStillQueued)
{
    TelemetryLines lines;
    Endpoint silent({});
    TelemetryClient client(silent.url(), std::nullopt, QStringLiteral("0.1.0"));
    client.setTimeout(300ms);
    for (const char* e : {"managed.start", "managed.awaiting_peer", "managed.ready"})
        client.post(QString::fromLatin1(e), std::nullopt);
    test::runTask(client.drain());
    EXPECT_TRUE(client.isIdle());
    // The first post timed out or was given up; the ones behind it never went.
    EXPECT_EQ(lines.s_lines.size(), 3) << lines.s_lines.join(u'|').toStdString();
    EXPECT_LE(silent.bodies.size(), 2);
    client.post(QStringLiteral("managed.complete"), std::nullopt);
    EXPECT_TRUE(client.isIdle()) << "nothing is sent after the exit gave up";
}
