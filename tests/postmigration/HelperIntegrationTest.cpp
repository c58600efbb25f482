// SPDX-License-Identifier: Apache-2.0
// The privileged helper as it runs: a root daemon process, a throwaway
// account, and requests both honest and hostile.
#include "postmigration/HelperInstaller.h"
#include "postmigration/PermissionsCorrector.h"
#include "support/CoroTest.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

void removeAccount(const QString& name) { test::runProcess(u"userdel"_s, {u"-f"_s, name}); }

struct Stat {
    unsigned uid = 0, gid = 0, mode = 0;
};

Stat statOf(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return {~0u, ~0u, 0};
    return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

void writeFile(const QString& path) { test::writeBytes(path, "x"); }

// A helper daemon process on a private socket, stopped with the test.
class Daemon {
public:
    Daemon(const QString& socket, const QStringList& allowExe) : m_socket(socket)
    {
        QStringList args{u"--socket"_s, socket};
        for (const QString& exe : allowExe)
            args << u"--allow-exe"_s << exe;
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/helper/kivo-helper"_s, args);
        m_process.waitForStarted(10000);
        const QDeadlineTimer deadline(10000);
        while (!QFileInfo::exists(socket) && !deadline.hasExpired())
            QThread::msleep(10);
    }
    ~Daemon()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(10000);
    }
    bool running() const { return m_process.state() == QProcess::Running && QFileInfo::exists(m_socket); }

private:
    QString m_socket;
    QProcess m_process;
};

// One raw connection to the daemon.
class Client {
public:
    explicit Client(const QString& socket)
    {
        m_socket.connectToServer(socket);
        m_socket.waitForConnected(5000);
    }
    void send(const QByteArray& bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    // The next reply line; nothing when the connection ends or stays silent.
    std::optional<QJsonObject> reply(int ms = 10000)
    {
        const QDeadlineTimer deadline(ms);
        while (!m_socket.canReadLine()) {
            if (m_socket.state() != QLocalSocket::ConnectedState || deadline.hasExpired())
                return std::nullopt;
            m_socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        return QJsonDocument::fromJson(m_socket.readLine()).object();
    }
    std::optional<QJsonObject> call(const QJsonObject& request)
    {
        send(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
        return reply();
    }
    bool closedByPeer(int ms = 10000)
    {
        const QDeadlineTimer deadline(ms);
        while (m_socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired())
            m_socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        return m_socket.state() != QLocalSocket::ConnectedState && m_socket.bytesAvailable() == 0;
    }

private:
    QLocalSocket m_socket;
};

class HelperDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            KIVO_SKIP_OR_FAIL("the helper tests need root");
        ASSERT_TRUE(m_dir.isValid());
        m_user = u"kivot%1"_s.arg(QCoreApplication::applicationPid() % 100000);
        m_home = m_dir.path() + u"/home"_s;
        removeAccount(m_user);
        ASSERT_EQ(QProcess::execute(u"useradd"_s, {u"-M"_s, u"-d"_s, m_home, u"-s"_s, u"/bin/false"_s, m_user}), 0);
        m_created = true;
        const struct passwd* pw = ::getpwnam(m_user.toUtf8().constData());
        ASSERT_NE(pw, nullptr);
        m_uid = pw->pw_uid;
        m_gid = pw->pw_gid;
        ASSERT_TRUE(QDir().mkpath(m_home));
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        ASSERT_EQ(::chown(QFile::encodeName(m_home).constData(), m_uid, m_gid), 0);
        m_socketPath = m_dir.path() + u"/helper.sock"_s;
        m_daemon = std::make_unique<Daemon>(m_socketPath, QStringList{QCoreApplication::applicationFilePath()});
        ASSERT_TRUE(m_daemon->running());
    }
    void TearDown() override
    {
        m_daemon.reset();
        if (m_created)
            removeAccount(m_user);
    }
    QJsonObject call(const QJsonObject& request)
    {
        Client c(m_socketPath);
        return c.call(request).value_or(QJsonObject{{u"noReply"_s, true}});
    }
    // Whether the daemon did what was asked; the reply when it did not.
    ::testing::AssertionResult succeeds(const QJsonObject& request)
    {
        const QJsonObject reply = call(request);
        if (reply.value(u"success"_s).toBool())
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << QJsonDocument(reply).toJson().constData();
    }
    bool answersVersion()
    {
        return !call({{u"method"_s, u"getVersion"_s}}).value(u"version"_s).toString().isEmpty();
    }

    QTemporaryDir m_dir;
    QString m_user, m_home, m_socketPath;
    unsigned m_uid = 0, m_gid = 0;
    bool m_created = false;
    std::unique_ptr<Daemon> m_daemon;
};

TEST_F(HelperDaemonTest, HandsFilesToThePersonAndRepairsTheSshFolder)
{
    writeFile(m_home + u"/Documents/a.txt"_s);
    writeFile(m_home + u"/.ssh/id_ed25519"_s);
    writeFile(m_home + u"/.ssh/id_ed25519.pub"_s);
    ::chmod(QFile::encodeName(m_home + u"/.ssh/id_ed25519"_s).constData(), 0644);
    // A link among the keys (a managed config, say) is left alone, and so is what it points to.
    writeFile(m_dir.path() + u"/dotfiles/config"_s);
    ::chmod(QFile::encodeName(m_dir.path() + u"/dotfiles/config"_s).constData(), 0644);
    ASSERT_EQ(::symlink(QFile::encodeName(m_dir.path() + u"/dotfiles/config"_s).constData(),
                        QFile::encodeName(m_home + u"/.ssh/config"_s).constData()),
              0);

    EXPECT_TRUE(succeeds({{u"method"_s, u"correctOwnership"_s},
                          {u"paths"_s, QJsonArray{m_home + u"/Documents"_s, m_home + u"/Documents/a.txt"_s}},
                          {u"username"_s, m_user}}));
    EXPECT_EQ(statOf(m_home + u"/Documents/a.txt"_s).gid, m_gid);
    EXPECT_EQ(statOf(m_home + u"/Documents"_s).uid, m_uid);

    EXPECT_TRUE(succeeds({{u"method"_s, u"fixSSHPermissions"_s}, {u"homeFolder"_s, m_home}, {u"ownerUsername"_s, m_user}}));
    EXPECT_EQ(statOf(m_home + u"/.ssh"_s).mode, 0700u);
    EXPECT_EQ(statOf(m_home + u"/.ssh/id_ed25519"_s).mode, 0600u);
    EXPECT_EQ(statOf(m_home + u"/.ssh/id_ed25519.pub"_s).mode, 0644u);
    EXPECT_EQ(statOf(m_dir.path() + u"/dotfiles/config"_s).uid, 0u);
    EXPECT_EQ(statOf(m_dir.path() + u"/dotfiles/config"_s).mode, 0644u);

    EXPECT_TRUE(succeeds({{u"method"_s, u"writeFileData"_s}, {u"path"_s, m_home + u"/Documents/b.txt"_s},
                          {u"data"_s, QString::fromLatin1(QByteArray("hello").toBase64())}, {u"ownerUsername"_s, m_user}}));
    EXPECT_EQ(readBytes(m_home + u"/Documents/b.txt"_s), "hello");
    EXPECT_EQ(statOf(m_home + u"/Documents/b.txt"_s).uid, m_uid);

    EXPECT_TRUE(succeeds({{u"method"_s, u"setFileMode"_s}, {u"path"_s, m_home + u"/Documents/a.txt"_s}, {u"mode"_s, 0640}}));
    EXPECT_EQ(statOf(m_home + u"/Documents/a.txt"_s).mode, 0640u);
}

TEST_F(HelperDaemonTest, HostileRequestsChangeNothingAndTheDaemonKeepsAnswering)
{
    const QString victim = m_dir.path() + u"/outside/secret"_s; // root's, outside every home
    writeFile(victim);
    ::chmod(QFile::encodeName(victim).constData(), 0600);
    writeFile(m_home + u"/ok.txt"_s);
    ASSERT_EQ(::symlink(QFile::encodeName(m_dir.path() + u"/outside"_s).constData(),
                        QFile::encodeName(m_home + u"/etc"_s).constData()),
              0);
    QJsonArray tooMany;
    for (int i = 0; i <= 1000; ++i)
        tooMany.append(m_home + u"/ok.txt"_s);

    const QList<QJsonObject> requests = {
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{m_home + u"/../outside/secret"_s}}, {u"username"_s, m_user}},
        // A link on the way spoils the whole request, the honest path in it included.
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{m_home + u"/ok.txt"_s, m_home + u"/etc/secret"_s}}, {u"username"_s, m_user}},
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{victim}}, {u"username"_s, m_user}},
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{m_home + u"/ok.txt"_s}}, {u"username"_s, u"root"_s}},
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{m_home + u"/ok.txt"_s}}, {u"username"_s, u"daemon"_s}},
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, tooMany}, {u"username"_s, m_user}},
        {{u"method"_s, u"correctOwnership"_s}, {u"paths"_s, QJsonArray{m_home + u"/ok.txt\u0000x"_s}}, {u"username"_s, m_user}},
        {{u"method"_s, u"setFileMode"_s}, {u"path"_s, m_home + u"/ok.txt"_s}, {u"mode"_s, 04755}},
        {{u"method"_s, u"setFileMode"_s}, {u"path"_s, m_home + u"/etc/secret"_s}, {u"mode"_s, 0666}},
        {{u"method"_s, u"setFileMode"_s}, {u"path"_s, victim}, {u"mode"_s, 0666}},
        {{u"method"_s, u"writeFileData"_s}, {u"path"_s, m_home + u"/etc/planted"_s}, {u"data"_s, u"eA=="_s}, {u"ownerUsername"_s, m_user}},
        {{u"method"_s, u"writeFileData"_s}, {u"path"_s, m_home + u"/x"_s}, {u"data"_s, u"eA=="_s}, {u"ownerUsername"_s, u"root"_s}},
        {{u"method"_s, u"fixSSHPermissions"_s}, {u"homeFolder"_s, m_dir.path() + u"/outside"_s}, {u"ownerUsername"_s, m_user}},
    };
    for (const QJsonObject& request : requests) // refused in words, not by silence
        EXPECT_EQ(call(request).value(u"success"_s), QJsonValue(false)) << QJsonDocument(request).toJson().constData();
    EXPECT_EQ(statOf(victim).uid, 0u);
    EXPECT_EQ(statOf(victim).mode, 0600u);
    EXPECT_EQ(statOf(m_home + u"/ok.txt"_s).uid, 0u);
    EXPECT_EQ(statOf(m_home + u"/ok.txt"_s).mode & 06000, 0u);
    EXPECT_FALSE(QFileInfo::exists(m_dir.path() + u"/outside/planted"_s));
    EXPECT_FALSE(QFileInfo::exists(m_home + u"/x"_s));

    {
        Client c(m_socketPath);
        c.send("{not json\n");
        const auto bad = c.reply();
        ASSERT_TRUE(bad.has_value());
        EXPECT_FALSE(bad->value(u"success"_s).toBool(true));
        EXPECT_TRUE(c.call({{u"method"_s, u"getVersion"_s}}).has_value()) << "the connection goes on after bad JSON";
    }
    {
        Client c(m_socketPath);
        c.send(QByteArray(5 * 1024 * 1024, 'a'));
        EXPECT_TRUE(c.closedByPeer()) << "a line past 4 MiB ends the connection";
    }
    {
        // A started line must end within the daemon's deadline.
        Client c(m_socketPath);
        c.send("{\"method\":");
        EXPECT_TRUE(c.closedByPeer());
    }
    {
        // A client whose kept connection the crowd pushes out reconnects on its next call.
        HelperInstaller kept(m_socketPath);
        ASSERT_TRUE(test::runTask(kept.isAvailable()));
        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < 1000; ++i)
            idle.push_back(std::make_unique<Client>(m_socketPath));
        EXPECT_TRUE(answersVersion()) << "idle connections do not lock callers out";
        QJsonObject request{{u"method"_s, u"getVersion"_s}};
        EXPECT_FALSE(test::runTask(kept.call(request)).value(u"version"_s).toString().isEmpty());
    }
    EXPECT_TRUE(answersVersion());
}

TEST_F(HelperDaemonTest, StrangersAreClosedUnread)
{
    // Another program than the ones allowed.
    const QString otherSocket = m_dir.path() + u"/other.sock"_s;
    // A copy another user can reach whatever the build folder's permissions.
    const QString cli = m_dir.path() + u"/kivo-cli"_s;
    ASSERT_TRUE(QFile::copy(test::kivoCli(), cli));
    ::chmod(QFile::encodeName(cli).constData(), 0755);
    Daemon strict(otherSocket, {cli});
    ASSERT_TRUE(strict.running());
    Client c(otherSocket);
    c.send("{\"method\":\"getVersion\"}\n");
    EXPECT_FALSE(c.reply().has_value());

    // An allowed program run by another user.
    QProcess asNobody;
    asNobody.setProcessEnvironment([&] {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"KIVO_HELPER_SOCKET"_s, otherSocket);
        return env;
    }());
    ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
    asNobody.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, cli, u"helper"_s,
                                   u"status"_s});
    ASSERT_TRUE(asNobody.waitForFinished(30000));
    EXPECT_EQ(asNobody.exitCode(), 7);
    // Root running the same program is answered.
    QProcess asRoot;
    asRoot.setProcessEnvironment(asNobody.processEnvironment());
    asRoot.start(cli, {u"helper"_s, u"status"_s});
    ASSERT_TRUE(asRoot.waitForFinished(30000));
    EXPECT_EQ(asRoot.exitCode(), 0);
}

TEST_F(HelperDaemonTest, CorrectorHandsOverEverythingWrittenInBatchesAndDirectWithoutHelper)
{
    QStringList written;
    for (int i = 0; i < 1234; ++i) {
        const QString path = m_home + u"/Library/Preferences/d%1/f%2"_s.arg(i / 300).arg(i);
        writeFile(path);
        written.append(path);
    }
    written.append(m_dir.path() + u"/outside/never"_s); // outside the home: dropped

    HelperInstaller helper(m_socketPath);
    PermissionsCorrector corrector(helper);
    test::runTask(corrector.correctOwnership(m_home, m_user, written));
    EXPECT_EQ(corrector.report().via, u"helper"_s);
    EXPECT_TRUE(corrector.report().errors.isEmpty());
    // The files, the five folders holding them, and Library/Preferences on the way.
    EXPECT_EQ(corrector.report().totalFiles, 1234 + 5 + 2);
    EXPECT_EQ(statOf(m_home + u"/Library/Preferences/d4/f1233"_s).uid, m_uid);

    writeFile(m_home + u"/later.txt"_s);
    HelperInstaller absent(m_dir.path() + u"/nobody-listens.sock"_s);
    PermissionsCorrector direct(absent);
    test::runTask(direct.correctOwnership(m_home, m_user, {m_home + u"/later.txt"_s}));
    EXPECT_EQ(direct.report().via, u"direct"_s);
    EXPECT_EQ(statOf(m_home + u"/later.txt"_s).uid, m_uid);
    test::runTask(direct.correctOwnership(m_home, u"no-such-user-here"_s, {m_home + u"/later.txt"_s}));
    ASSERT_EQ(direct.report().errors.size(), 1);
    EXPECT_TRUE(direct.report().errors.first().first.isEmpty());
}

} // namespace
