#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QString cliPath() { return qEnvironmentVariable("KIVO_BUILD_DIR") + QStringLiteral("/cli/kivo-cli"); }

struct CliRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CliRun runCli(const QStringList& args, int timeoutMs = 60000)
{
    QProcess p;
    p.start(cliPath(), args);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(), p.readAllStandardError()};
}

// A sender started in the background; its advertising event gives port and code.
struct Sender : CliProcess {
    explicit Sender(const QStringList& args) : CliProcess(cliPath(), QStringList{"send"} + args + QStringList{"--json"}) {}
};

// `receive` arguments that reach the sender which announced itself with `advertised`.
QStringList receiveFrom(const QString& home, const QJsonObject& advertised)
{
    const int port = advertised.value(QStringLiteral("port")).toInt();
    return {"receive", "--home", home, "--connect", QStringLiteral("127.0.0.1:%1").arg(port),
            "--code", advertised.value(QStringLiteral("code")).toString()};
}

} // namespace

TEST(CliEndToEnd, BadUsageAnswersWithAMessageAndExitCode2)
{
    const CliRun unknown = runCli({"send", "--colour", "blue"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.contains("unknown option \"--colour\"")) << unknown.err.constData();

    const CliRun badCode = runCli({"receive", "--code", "12ab56"});
    EXPECT_EQ(badCode.exitCode, 2);
    EXPECT_TRUE(badCode.err.contains("six digits")) << badCode.err.constData();

    EXPECT_EQ(runCli({"fly"}).exitCode, 2);

    QTemporaryDir home;
    const CliRun badCategory = runCli({"send", "--home", home.path(), "--categories", "photos"});
    EXPECT_EQ(badCategory.exitCode, 2);
    EXPECT_TRUE(badCategory.err.contains("unknown category \"photos\"")) << badCategory.err.constData();
}

TEST(CliEndToEnd, UnreachableSourceIsExitCode4)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QTemporaryDir home;
    const CliRun r = runCli({"receive", "--home", home.path(), "--connect", QStringLiteral("127.0.0.1:%1").arg(port),
                          "--code", "123456", "--timeout", "10"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(r.err.startsWith("Connection failed: ")) << r.err.constData();
}

TEST(CliEndToEnd, SendAndReceiveOverLoopbackThenResumeAfterAKilledDestination)
{
    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/src");
    const QString destination = work.path() + QStringLiteral("/dst");
    DemoData::buildSampleHome(source, 60, 7);
    // A large file that takes long enough to kill the destination half-way.
    {
        QFile big(source + QStringLiteral("/Documents/large.bin"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        QByteArray block(1 << 20, '\0');
        for (int i = 0; i < 96; ++i) {
            block.fill(char(i));
            big.write(block);
        }
    }

    Sender first({"--home", source, "--categories", "userFiles", "--max-mbps", "200"});
    const QJsonObject advertised = first.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << first.errors().constData();
    const QString transferID = advertised.value(QStringLiteral("transferID")).toString();

    QProcess victim;
    victim.start(cliPath(), receiveFrom(destination, advertised) << QStringLiteral("--json"));
    // Kill it once part of the large file has landed.
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(destination + QStringLiteral("/Documents/large.bin")).size() > (20 << 20); },
                          std::chrono::seconds(60)));
    ::kill(pid_t(victim.processId()), SIGKILL);
    victim.waitForFinished();
    EXPECT_NE(first.finish(), 0) << "the source notices the lost destination";
    const QString checkpoint = destination + QStringLiteral("/.local/share/kivo/transfers/") + transferID + QStringLiteral(".json");
    EXPECT_TRUE(QFile::exists(checkpoint));

    // The same pair again: same transferID, the checkpoint is honoured.
    Sender second({"--home", source, "--categories", "userFiles"});
    const QJsonObject again = second.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(again.isEmpty());
    EXPECT_EQ(again.value(QStringLiteral("transferID")).toString(), transferID);
    const CliRun resumed = runCli(receiveFrom(destination, again) << QStringLiteral("--json"), 120000);
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err.constData();
    EXPECT_EQ(second.finish(), 0) << second.errors().constData();

    EXPECT_EQ(treeDifferences(source, destination), QStringList());
    EXPECT_FALSE(QFile::exists(checkpoint));
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/.local/share/kivo/outgoing-transfer.json")));
}

TEST(CliEndToEnd, DestinationDiskFullFailsWithTheSpaceText)
{
    if (geteuid() != 0)
        KIVO_SKIP_OR_FAIL("mounting a small file system needs root");
    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/src");
    const QString destination = work.path() + QStringLiteral("/dst");
    DemoData::buildSampleHome(source, 20, 3);
    {
        QFile big(source + QStringLiteral("/Documents/too-big.bin"));
        ASSERT_TRUE(big.open(QIODevice::WriteOnly));
        big.write(QByteArray(12 << 20, 'x'));
    }
    QDir().mkpath(destination);
    ASSERT_EQ(::mount("tmpfs", destination.toLocal8Bit().constData(), "tmpfs", 0, "size=4m"), 0);
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(path.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount{destination};

    Sender sender({"--home", source, "--categories", "userFiles"});
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty());
    const CliRun r = runCli(receiveFrom(destination, advertised));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Not enough disk space")) << r.err.constData();
    EXPECT_EQ(sender.finish(), 1);
}

TEST(CliEndToEnd, DemoMigratesTheSampleHome)
{
    QTemporaryDir work;
    const CliRun r = runCli({"demo", "--workdir", work.path(), "--files", "80"}, 120000);
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("0 missing, 0 different")) << r.out.constData();
    EXPECT_EQ(treeDifferences(work.path() + QStringLiteral("/source-home"), work.path() + QStringLiteral("/destination-home")),
              QStringList());
    // Each side of the demo leaves its migration log.
    for (const char* home : {"/source-home", "/destination-home"})
        EXPECT_EQ(QDir(work.path() + home + QStringLiteral("/.local/share/kivo/logs")).entryList({"migration_*.json"}).size(), 1)
            << home;
}
