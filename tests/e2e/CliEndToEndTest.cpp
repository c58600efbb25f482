// SPDX-License-Identifier: Apache-2.0
#include "platform/CommandRunner.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

// A source that cannot be reached is "no source", not a pairing failure; a script
// reading only the JSON lines learns why too.
TEST(CliEndToEnd, UnreachableSourceIsExitCode4)
{
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    QTemporaryDir home;
    const CliRun r = runCli({"receive", "--home", home.path(), "--connect", QStringLiteral("127.0.0.1:%1").arg(port),
                             "--code", "123456", "--timeout", "10", "--json"});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_TRUE(r.err.startsWith("Connection failed: ")) << r.err.constData();
    const QJsonObject error = r.event(QStringLiteral("error"));
    EXPECT_EQ(error.value(u"exitCode").toInt(), 4);
    EXPECT_EQ(error.value(u"text").toString() + u'\n', QString::fromUtf8(r.err));
}

// The demonstration migrates a whole Linux home between two private sessions
// and proves each category; what the proofs cannot see is checked here.
TEST(CliEndToEnd, DemoMigratesTheSampleHome)
{
    for (const char* tool : {"dconf", "dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
        if (findExecutable(QString::fromLatin1(tool)).isEmpty())
            KIVO_SKIP_OR_FAIL(std::string(tool) + " is needed for the demonstration's sessions");
    QTemporaryDir work;
    const QString destination = work.path() + QStringLiteral("/destination-home");
    const CliRun r = runCli({"demo", "--workdir", work.path(), "--files", "80"});
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    // Every proof passed (exit 0, no ✗); which shortfall fails which proof is DemoProofs'.
    for (const char* proof : {"✓ independent diff: 81 files compared, 0 missing, 0 different", "7 keys applied", "no process left"})
        EXPECT_TRUE(r.out.contains(proof)) << proof << "\n" << r.out.constData();
    EXPECT_FALSE(r.out.contains("✗")) << r.out.constData();

    // The settings went in through the destination's service, not as a file.
    EXPECT_TRUE(QFileInfo(destination + QStringLiteral("/.config/dconf/user")).isFile());
    EXPECT_FALSE(QFileInfo::exists(destination + QStringLiteral("/.config/kivo-settings/user.dconf")));
    // The secret crossed only sealed: no export is left on either side, and the profile's value is still encrypted.
    EXPECT_TRUE(QDir(destination + QStringLiteral("/.config/kivo-browser-secrets")).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(readBytes(destination + QStringLiteral("/.config/chromium/Default/Login Data")).contains("correct-horse"));
}

// The destination's volume fills while files arrive (something else wrote to it):
// both sides end with the space text, the source too, though the receiving
// process ends at once and the source still has frames on their way.
TEST(CliEndToEnd, AVolumeThatFillsMidTransferIsReportedAsFullOnBothSides)
{
    if (geteuid() != 0)
        KIVO_SKIP_OR_FAIL("mounting a small file system needs root");
    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/src");
    const QString destination = work.path() + QStringLiteral("/dst");
    for (int i = 0; i < 40; ++i)
        writeBytes(source + QStringLiteral("/Documents/f%1.bin").arg(i), QByteArray(20000, char('a' + i % 26)));
    writeBytes(source + QStringLiteral("/Documents/large.bin"), QByteArray(16 << 20, 'x'));
    QDir().mkpath(destination);
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(destination).constData(), "tmpfs", 0, "size=24m"), 0);
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(destination)};

    // A cap keeps the transfer going long enough to fill the volume under it.
    CliProcess sender(kivoCli(), {"send", "--home", source, "--categories", "userFiles", "--offline", "--json", "--max-mbps", "40"});
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty());
    CliProcess receiver(kivoCli(), receiveFrom(destination, advertised) << "--json");
    for (QJsonObject p; (p = receiver.waitForEvent(QStringLiteral("progress"))).value(u"bytes").toDouble() < 1;)
        ASSERT_FALSE(p.isEmpty()) << "no byte arrived";
    QFile filler(destination + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(1 << 20, 'f')) > 0 && filler.flush()) {
    }
    EXPECT_EQ(receiver.finish(), 1);
    EXPECT_TRUE(receiver.errors().contains("Not enough disk space")) << receiver.errors().constData();
    EXPECT_EQ(sender.finish(), 1);
    EXPECT_TRUE(sender.errors().contains("Not enough disk space")) << sender.errors().constData();
}
