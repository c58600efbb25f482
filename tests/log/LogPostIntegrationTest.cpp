// SPDX-License-Identifier: Apache-2.0
// kivo-cli log against HTTP endpoints started here: what is posted, what a
// failure says, and that a failed log is delivered later exactly once.
#include "log/MigrationLogger.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"

#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// kivo-cli, while this thread's servers keep answering.
CliRun runServed(const QStringList& args, const QMap<QString, QString>& env = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    p.start(kivoCli(), args);
    if (!waitUntil([&] { return p.state() == QProcess::NotRunning; }, std::chrono::seconds(90)))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// Reads each whole request (headers and Content-Length body), then answers as told.
class Endpoint : public QObject {
public:
    // An empty reply: never answers.
    explicit Endpoint(QByteArray reply = {}) : m_reply(std::move(reply))
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server.nextPendingConnection()) {
                s->setParent(this);
                auto* buffer = new QByteArray;
                connect(s, &QObject::destroyed, [buffer] { delete buffer; });
                connect(s, &QTcpSocket::readyRead, s, [this, s, buffer] {
                    *buffer += s->readAll();
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    const QByteArray head = buffer->left(end).toLower();
                    const qsizetype at = head.indexOf("content-length:");
                    const qsizetype length = at < 0 ? 0 : head.mid(at + 15, head.indexOf('\r', at) - at - 15).trimmed().toLongLong();
                    if (buffer->size() < end + 4 + length)
                        return;
                    requests << *buffer;
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
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/logs").arg(m_server.serverPort()); }

    QList<QByteArray> requests;
    QList<QByteArray> bodies;

private:
    QTcpServer m_server;
    QByteArray m_reply;
};

QByteArray reply(const char* status)
{
    return QByteArray(status) + "\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TEST(LogPost, FailuresSayWhyKeepTheLogAndAreDeliveredLaterOnce)
{
    QTemporaryDir home;
    QString id, file;
    {
        MigrationLogger logger(MigrationLogger::logsDirectoryFor(home.path()));
        logger.startLog({"SER", "old", "—", "new", "Wi-Fi", false, std::nullopt});
        logger.completeLog(MigrationLog::Status::completed);
        id = logger.currentLog()->id;
        file = logger.pathOf(id);
    }
    const QByteArray saved = readAll(file);
    ASSERT_FALSE(saved.isEmpty());
    const QString pending = MigrationLogger::logsDirectoryFor(home.path()) + "/pending-posts";

    Endpoint broken(reply("HTTP/1.1 500 Internal Server Error"));
    Endpoint silent;

    // A redirect, an endless reply and an untrusted certificate end as these do: HttpClient's tests hold them.
    struct Case {
        const char* name;
        QString url;
        const char* line;
    } cases[] = {
        {"server error", broken.url(), "Failed to post log, status: 500\n"},
        {"never answers", silent.url(), "Failed to post migration log: No answer within 0.5 s\n"},
    };
    for (const Case& c : cases) {
        const CliRun r = runServed({"log", "post", "latest", c.url, "--home", home.path()}, {{"KIVO_LOG_POST_TIMEOUT_MS", "500"}});
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_TRUE(r.err.startsWith(c.line)) << c.name << ": " << r.err.constData();
        EXPECT_EQ(readAll(file), saved) << c.name;
        EXPECT_EQ(readAll(pending), id.toUtf8() + "\n") << c.name;
    }
    EXPECT_EQ(broken.bodies.value(0), saved);

    Endpoint accepting(reply("HTTP/1.1 201 Created"));
    const CliRun delivered = runServed({"log", "post", "--pending", accepting.url(), "--home", home.path()});
    EXPECT_EQ(delivered.exitCode, 0) << delivered.err.constData();
    ASSERT_EQ(accepting.bodies.size(), 1);
    EXPECT_EQ(accepting.bodies[0], saved);
    EXPECT_TRUE(accepting.requests[0].startsWith("POST /logs HTTP/1.1\r\n"));
    EXPECT_TRUE(accepting.requests[0].toLower().contains("\r\ncontent-type: application/json\r\n"));
    EXPECT_EQ(readAll(pending), "");
    EXPECT_EQ(runServed({"log", "post", "--pending", accepting.url(), "--home", home.path()}).exitCode, 0);
    EXPECT_EQ(accepting.bodies.size(), 1) << "delivered twice";
}

// A saved log is shown byte for byte; an unknown id is exit 6, a missing one a usage error.
TEST(LogPost, ShowReadsTheSavedLog)
{
    QTemporaryDir home;
    MigrationLogger logger(MigrationLogger::logsDirectoryFor(home.path()));
    logger.startLog({"SER", "old", "—", "new", "Ethernet", false, std::nullopt});
    logger.completeLog(MigrationLog::Status::completed);
    const QString id = logger.currentLog()->id;

    EXPECT_EQ(runServed({"log", "show", id, "--home", home.path()}).out, readAll(logger.pathOf(id)));
    EXPECT_EQ(runServed({"log", "show", "0000-nope", "--home", home.path()}).exitCode, 6);
    EXPECT_EQ(runServed({"log", "post", "0000-nope", "http://127.0.0.1:9/", "--home", home.path()}).exitCode, 6);
    EXPECT_EQ(runServed({"log", "show", "--home", home.path()}).exitCode, 2);
}
