// SPDX-License-Identifier: Apache-2.0
#include "platform/CommandRunner.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

// A source that cannot be reached is "no source", not a pairing failure.
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
