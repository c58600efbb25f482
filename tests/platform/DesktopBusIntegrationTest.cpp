// SPDX-License-Identifier: Apache-2.0
#include "platform/DesktopNotifications.h"
#include "platform/LauncherEntry.h"
#include "platform/SleepInhibitor.h"
#include "support/CoroTest.h"
#include "support/PrivateBus.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class DesktopBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!bus.isRunning())
            GTEST_SKIP() << "dbus-daemon could not be started";
    }
    PrivateBus bus;
};

TEST_F(DesktopBus, SleepIsHeldOffUntilReleasedAndAnAbsentLoginManagerIsReported)
{
    SleepInhibitor inhibitor(bus.connect(u"client"_s));
    QSignalSpy failures(&inhibitor, &SleepInhibitor::failed);
    inhibitor.acquire(u"kivo"_s, u"Files are being transferred"_s);
    ASSERT_TRUE(waitUntil([&] { return !failures.isEmpty(); })) << "no answer from a bus without a login manager";
    EXPECT_FALSE(inhibitor.isHeld());

    StandInLogin login;
    ASSERT_TRUE(login.serve(bus.connect(u"login"_s)));
    inhibitor.acquire(u"kivo"_s, u"Files are being transferred"_s);
    inhibitor.acquire(u"kivo"_s, u"asked twice while the first is out"_s);
    ASSERT_TRUE(waitUntil([&] { return inhibitor.isHeld(); }));
    EXPECT_EQ(login.locksHandedOut(), 1);
    EXPECT_EQ(login.lastRequest, (QStringList{u"sleep:idle"_s, u"kivo"_s, u"Files are being transferred"_s, u"block"_s}));
    EXPECT_FALSE(login.allReleased());

    inhibitor.release();
    EXPECT_FALSE(inhibitor.isHeld());
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }));

    // Released before the answer came: the lock arriving later is dropped at once.
    inhibitor.acquire(u"kivo"_s, u"again"_s);
    inhibitor.release();
    ASSERT_TRUE(waitUntil([&] { return login.locksHandedOut() == 2; }));
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }));
    EXPECT_FALSE(inhibitor.isHeld());
}

// Run as a child by the test below: takes the lock through the system bus the environment names, and waits to be killed.
TEST(DesktopBusChild, DISABLED_HoldsTheLockUntilKilled)
{
    SleepInhibitor inhibitor(QDBusConnection::systemBus());
    inhibitor.acquire(u"kivo"_s, u"Files are being transferred"_s);
    ASSERT_TRUE(waitUntil([&] { return inhibitor.isHeld(); }));
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    waitUntil([] { return false; }, 60s);
}

TEST_F(DesktopBus, AKilledHolderReleasesTheLock)
{
    StandInLogin login;
    ASSERT_TRUE(login.serve(bus.connect(u"login"_s)));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, bus.address());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {u"--gtest_also_run_disabled_tests"_s, u"--gtest_filter=DesktopBusChild.DISABLED_HoldsTheLockUntilKilled"_s});
    QByteArray said;
    ASSERT_TRUE(waitUntil([&] {
        said += child.readAllStandardOutput();
        return said.contains("held\n") || child.state() == QProcess::NotRunning;
    }));
    ASSERT_EQ(child.state(), QProcess::Running);
    EXPECT_EQ(login.locksHandedOut(), 1);
    EXPECT_FALSE(login.allReleased());

    child.kill(); // SIGKILL: no chance to clean up
    child.waitForFinished(10000);
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }));
}

TEST_F(DesktopBus, ANoticeReachesTheServiceAndNoServiceMeansNone)
{
    DesktopNotifications notifications(bus.connect(u"client"_s));
    QSignalSpy failed(&notifications, &DesktopNotifications::failed);
    QSignalSpy posted(&notifications, &DesktopNotifications::posted);
    notifications.post({u"Migration Complete"_s, u"Done."_s, u"com.kivo.Kivo"_s, {}});
    ASSERT_TRUE(waitUntil([&] { return !failed.isEmpty(); }));
    EXPECT_TRUE(posted.isEmpty());

    StandInNotifications service;
    ASSERT_TRUE(service.serve(bus.connect(u"notifications"_s)));
    notifications.post({u"Migration Complete"_s, u"Done."_s, u"com.kivo.Kivo"_s, u"com.kivo.Kivo"_s});
    ASSERT_TRUE(waitUntil([&] { return !posted.isEmpty(); }));
    // Summary and desktop entry as the session shows them: DesktopSession in the GUI's tests.
    ASSERT_EQ(service.received.size(), 1);
    EXPECT_EQ(service.received.first().body, u"Done."_s);
}

TEST_F(DesktopBus, TheLauncherEntryNamesTheDesktopEntryAndClampsProgress)
{
    LauncherWatcher watcher;
    ASSERT_TRUE(watcher.watch(bus.connect(u"dock"_s)));
    LauncherEntry entry(bus.connect(u"client"_s), u"com.kivo.Kivo"_s);
    // The match rule reaches the daemon before the first signal does only after a round trip.
    ASSERT_TRUE(waitUntil([&] {
        entry.update(0.25, true);
        return !watcher.updates.isEmpty();
    }));
    EXPECT_TRUE(entry.update(1.5, false));
    ASSERT_TRUE(waitUntil([&] { return watcher.updates.last().second.value(u"progress-visible"_s) == false; }));
    EXPECT_EQ(watcher.updates.first().first, u"application://com.kivo.Kivo.desktop"_s);
    EXPECT_DOUBLE_EQ(watcher.updates.first().second.value(u"progress"_s).toDouble(), 0.25);
    EXPECT_DOUBLE_EQ(watcher.updates.last().second.value(u"progress"_s).toDouble(), 1.0);
}
