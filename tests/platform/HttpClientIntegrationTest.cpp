// SPDX-License-Identifier: Apache-2.0
#include "platform/HttpClient.h"
#include "platform/SslServer.h"
#include "support/CoroTest.h"
#include "support/TestTls.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

using namespace kivo;
using namespace std::chrono_literals;

namespace {

// A server that answers every request with one canned reply, or an endless body, or nothing.
class CannedServer : public QObject {
public:
    enum class Mode { reply, endless, silent };
    CannedServer(Mode mode, QByteArray reply = {}) : m_mode(mode), m_reply(std::move(reply))
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                s->setParent(this);
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    m_received += s->readAll();
                    if (!m_received.contains("\r\n\r\n") || m_answered)
                        return;
                    m_answered = true;
                    if (m_mode == Mode::reply) {
                        s->write(m_reply);
                        s->disconnectFromHost();
                    } else if (m_mode == Mode::endless) {
                        s->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n");
                        auto* pump = new QTimer(s);
                        QObject::connect(pump, &QTimer::timeout, s, [s] {
                            if (s->bytesToWrite() < (1 << 20))
                                s->write(QByteArray(256 * 1024, 'x'));
                        });
                        pump->start(0);
                    }
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }
    QUrl url(const char* path = "/x") const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(QLatin1String(path)));
    }
    QByteArray received() const { return m_received; }

private:
    QTcpServer m_server;
    Mode m_mode;
    QByteArray m_reply;
    QByteArray m_received;
    bool m_answered = false;
};

QByteArray httpReply(const char* statusLine, const QByteArray& body, const char* extra = "")
{
    return QByteArray(statusLine) + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + extra +
           "Connection: close\r\n\r\n" + body;
}

} // namespace

TEST(HttpClient, StatusBodyRedirectAndErrorsAsTheyCame)
{
    struct Case {
        const char* name;
        QByteArray reply;
        int status;
        QByteArray body;
        bool error = false;
    };
    const Case cases[] = {
        {"created", httpReply("HTTP/1.1 201 Created", "ok"), 201, "ok"},
        {"redirect is not followed", httpReply("HTTP/1.1 302 Found", "", "Location: http://127.0.0.1:9/elsewhere\r\n"), 302, ""},
        {"chunked, with an extension and a trailer",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;x=1\r\nWiki\r\na\r\npedia in\r\n\r\n0\r\nT: 1\r\n\r\n", 200,
         "Wikipedia in\r\n"},
        {"cut short: the status stands, no partial body", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nhalf", 200, ""},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n\r\n", 0, "", true},
        {"malformed chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 200, ""},
    };
    for (const Case& c : cases) {
        CannedServer server(CannedServer::Mode::reply, c.reply);
        HttpRequest request;
        request.url = server.url();
        request.method = "POST";
        request.body = "{\"a\":1}";
        request.contentType = "application/json";
        const HttpResponse r = test::runTask(sendHttpRequest(request));
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.body, c.body) << c.name;
        EXPECT_EQ(r.error.isEmpty(), !c.error) << c.name << ": " << r.error.toStdString();
        EXPECT_TRUE(server.received().startsWith("POST /x ")) << c.name;
        EXPECT_TRUE(server.received().endsWith("{\"a\":1}")) << c.name;
    }
}

TEST(HttpClient, HostilePeersCostAtMostTheDeadlineOrTheCap)
{
    {
        CannedServer endless(CannedServer::Mode::endless);
        HttpRequest request;
        request.url = endless.url();
        request.maxResponseBytes = 1 << 20;
        const HttpResponse capped = test::runTask(sendHttpRequest(request));
        EXPECT_TRUE(capped.bodyTooLarge);
        EXPECT_TRUE(capped.body.isEmpty());
        EXPECT_FALSE(capped.isSuccess());

        CannedServer endlessAgain(CannedServer::Mode::endless);
        request.url = endlessAgain.url();
        request.statusOnly = true;
        const HttpResponse status = test::runTask(sendHttpRequest(request));
        EXPECT_EQ(status.status, 200);
        EXPECT_TRUE(status.isSuccess());
    }
    {
        CannedServer silent(CannedServer::Mode::silent);
        HttpRequest request;
        request.url = silent.url();
        request.timeout = 200ms;
        const HttpResponse r = test::runTask(sendHttpRequest(request));
        EXPECT_TRUE(r.timedOut);
        EXPECT_FALSE(r.hasStatus());
        EXPECT_FALSE(r.error.isEmpty());
    }
    for (const char* bad : {"javascript:alert(1)", "file:///etc/passwd", "ftp://127.0.0.1/"}) {
        HttpRequest request;
        request.url = QUrl(QLatin1String(bad));
        const HttpResponse r = test::runTask(sendHttpRequest(request));
        EXPECT_FALSE(r.hasStatus()) << bad;
        EXPECT_TRUE(r.error.startsWith(QStringLiteral("Not an http"))) << bad;
    }
}

TEST(HttpClient, AnUntrustedCertificateIsAnErrorNeverIgnored)
{
    const test::TestIdentity identity = test::makeTestIdentity(QStringLiteral("127.0.0.1"));
    SslServer server;
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificate(identity.certificate);
    config.setPrivateKey(identity.key);
    server.setSslConfiguration(config);
    bool served = false;
    QObject::connect(&server, &SslServer::socketAccepted, &server, [&](QSslSocket* s) {
        s->setParent(&server);
        s->startServerEncryption();
        QObject::connect(s, &QSslSocket::readyRead, s, [&, s] {
            served = true;
            s->write(httpReply("HTTP/1.1 201 Created", "secret"));
        });
    });
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    HttpRequest request;
    request.url = QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(server.serverPort()));
    const HttpResponse r = test::runTask(sendHttpRequest(request));
    EXPECT_FALSE(r.hasStatus());
    EXPECT_FALSE(r.error.isEmpty());
    EXPECT_FALSE(served);
}
