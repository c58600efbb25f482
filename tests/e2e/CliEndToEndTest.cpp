// SPDX-License-Identifier: Apache-2.0
#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

// Refusals of the parser, of the command name and of the flow each reach the
// exit code; the messages themselves are the option parser's tests.
TEST(CliEndToEnd, BadUsageIsExitCode2WithTheReasonOnStderr)
{
    QTemporaryDir home;
    const std::pair<QStringList, const char*> cases[] = {
        {{"send", "--colour", "blue"}, "unknown option \"--colour\""},
        {{"fly"}, "fly"},
        {{"preflight", "--home", home.path(), "--offline", "--store-url", "http://x"}, "--store-url"},
    };
    for (const auto& [args, reason] : cases) {
        const CliRun r = runCli(args);
        EXPECT_EQ(r.exitCode, 2) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(reason)) << r.err.constData();
    }
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

TEST(CliEndToEnd, DestinationDiskFullFailsWithTheSpaceText)
{
    if (geteuid() != 0)
        KIVO_SKIP_OR_FAIL("mounting a small file system needs root");
    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/src");
    const QString destination = work.path() + QStringLiteral("/dst");
    DemoData::buildSampleHome(source, 20, 3);
    writeBytes(source + QStringLiteral("/Documents/too-big.bin"), QByteArray(12 << 20, 'x'));
    QDir().mkpath(destination);
    ASSERT_EQ(::mount("tmpfs", destination.toLocal8Bit().constData(), "tmpfs", 0, "size=4m"), 0);
    struct Unmount {
        QString path;
        ~Unmount() { ::umount2(path.toLocal8Bit().constData(), MNT_DETACH); }
    } unmount{destination};

    CliProcess sender(kivoCli(), {"send", "--home", source, "--categories", "userFiles", "--json"});
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
    const CliRun r = runCli({"demo", "--workdir", work.path(), "--files", "80"});
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("0 missing, 0 different")) << r.out.constData();
    EXPECT_EQ(treeDifferences(work.path() + QStringLiteral("/source-home"), work.path() + QStringLiteral("/destination-home")),
              QStringList());
}
