// SPDX-License-Identifier: Apache-2.0
// The complete screen closes the migration log and posts it where it is told,
// once; a refusing endpoint leaves it pending for a later delivery.
#include "app/AppState.h"
#include "log/MigrationLogger.h"
#include "support/CoroTest.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// Answers every whole request (headers and Content-Length body) with `reply`.
class Endpoint : public QObject {
public:
    explicit Endpoint(QByteArray reply) : m_reply(std::move(reply))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                s->setParent(this);
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    QByteArray& buffer = m_buffers[s];
                    buffer += s->readAll();
                    const qsizetype end = buffer.indexOf("\r\n\r\n");
                    const QByteArray head = buffer.left(end).toLower();
                    const qsizetype at = head.indexOf("content-length:");
                    if (end < 0 || at < 0)
                        return;
                    const qsizetype length = head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                    if (buffer.size() < end + 4 + length)
                        return;
                    bodies << buffer.mid(end + 4, length);
                    buffer.clear();
                    s->write(m_reply);
                    s->disconnectFromHost();
                });
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/logs").arg(m_server.serverPort())); }
    QList<QByteArray> bodies;

private:
    QTcpServer m_server;
    QByteArray m_reply;
    QHash<QTcpSocket*, QByteArray> m_buffers;
};

QByteArray reply(const char* status)
{
    return QByteArray("HTTP/1.1 ") + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

} // namespace

TEST(CompleteLog, ClosedSavedAndPostedOnceAndARefusalStaysPending)
{
    struct Case {
        const char* status;
        bool delivered;
    };
    for (const Case& c : {Case{"200 OK", true}, Case{"500 Internal Server Error", false}}) {
        SCOPED_TRACE(c.status);
        QTemporaryDir home;
        Endpoint endpoint(reply(c.status));
        AppState state({home.path(), {}, {}, 0, nullptr, home.filePath(QStringLiteral("no-profile.plist"))});
        state.setLogEndpoint(endpoint.url());
        state.setDeviceRole(DeviceRole::destination);
        state.startMigrationLog();
        state.transferProgress()->setIsComplete(true);
        runTask(state.completeAndPostMigrationLog());
        runTask(state.completeAndPostMigrationLog()); // the screen shown again: nothing more

        const auto& log = state.migrationLogger()->currentLog();
        ASSERT_TRUE(log);
        EXPECT_EQ(log->overallStatus, MigrationLog::Status::completed);
        ASSERT_EQ(endpoint.bodies.size(), 1);
        EXPECT_EQ(QJsonDocument::fromJson(endpoint.bodies.first()).object().value(QStringLiteral("id")).toString(), log->id);
        EXPECT_EQ(state.migrationLogger()->pendingPosts().contains(log->id), !c.delivered);
        EXPECT_TRUE(state.migrationLogger()->find(log->id)) << "saved where View Log and later runs find it";
    }
}
