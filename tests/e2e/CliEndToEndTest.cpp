// SPDX-License-Identifier: Apache-2.0
#include "app/DemoData.h"
#include "platform/CommandRunner.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

// The demonstration migrates a whole Linux home between two private sessions
// and proves each category; the proofs are checked here once more on their own.
TEST(CliEndToEnd, DemoMigratesTheSampleHome)
{
    for (const char* tool : {"dconf", "dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
        if (findExecutable(QString::fromLatin1(tool)).isEmpty())
            KIVO_SKIP_OR_FAIL(std::string(tool) + " is needed for the demonstration's sessions");
    QTemporaryDir work;
    const QString source = work.path() + QStringLiteral("/source-home");
    const QString destination = work.path() + QStringLiteral("/destination-home");
    const CliRun r = runCli({"demo", "--workdir", work.path(), "--files", "80"});
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    for (const char* proof : {"✓ independent diff: 81 files compared, 0 missing, 0 different",
                              "✓ dconf read /org/gnome/desktop/background/picture-uri",
                              "destination-home/Pictures/Wallpapers/Lake%20Z%C3%BCrich.jpg' (the new home)",
                              "✓ dconf read /org/gnome/desktop/remote-desktop/rdp/enable unset",
                              "✓ GIMP's settings at ~/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc, where its Flatpak reads them: identical",
                              "✓ saved password decrypted with it: \"correct-horse-battery-staple\"",
                              "✓ secret-tool lookup server mail.example.org user ann: \"imap-pa55word\"",
                              "7 keys applied", "no process left"})
        EXPECT_TRUE(r.out.contains(proof)) << proof << "\n" << r.out.constData();
    EXPECT_FALSE(r.out.contains("✗")) << r.out.constData();

    for (const QString& folder : QDir(source).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        EXPECT_EQ(treeDifferences(source + u'/' + folder, destination + u'/' + folder), QStringList()) << folder.toStdString();
    EXPECT_EQ(readBytes(destination + QStringLiteral("/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc")),
              readBytes(source + QStringLiteral("/.config/GIMP/2.10/gimprc")));
    // The settings went in through the destination's service, not as a file.
    EXPECT_TRUE(QFileInfo(destination + QStringLiteral("/.config/dconf/user")).isFile());
    EXPECT_FALSE(QFileInfo::exists(destination + QStringLiteral("/.config/kivo-settings/user.dconf")));
    // The secret crossed only sealed: no export is left on either side, and the profile's value is still encrypted.
    EXPECT_TRUE(QDir(destination + QStringLiteral("/.config/kivo-browser-secrets")).entryList(QDir::Files).isEmpty());
    EXPECT_FALSE(readBytes(destination + QStringLiteral("/.config/chromium/Default/Login Data")).contains("correct-horse"));
}
