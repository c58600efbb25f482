// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "gui/DesktopIntegration.h"
#include "gui/ProgressFeed.h"
#include "support/CoroTest.h"
#include "support/PrivateBus.h"
#include "transfer/TransferProgress.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QTemporaryDir>
#include <QWindow>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// A destination session whose desktop is two private buses: the session one
// with a dock and a notification service, the system one with a login manager.
class DesktopSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!session.isRunning() || !system.isRunning())
            GTEST_SKIP() << "dbus-daemon could not be started";
        ASSERT_TRUE(login.serve(system.connect(u"login"_s)));
        ASSERT_TRUE(notices.serve(session.connect(u"notifications"_s)));
        ASSERT_TRUE(dock.watch(session.connect(u"dock"_s)));
        // The dock's match rule is in place once one of our own signals reaches it.
        {
            LauncherEntry probe(session.connect(u"kivo"_s), u"probe"_s);
            ASSERT_TRUE(waitUntil([&] { return probe.update(0, false) && !dock.updates.isEmpty(); }));
            dock.updates.clear();
        } // its object path is the session's own entry's
        environment.homeFolder = home.path();
        state = std::make_unique<AppState>(environment);
        feed = std::make_unique<gui::ProgressFeed>(state.get(), Clock::system());
        desktop = std::make_unique<gui::DesktopIntegration>(state.get(), feed.get(), &window, session.connect(u"kivo"_s),
                                                            system.connect(u"kivo"_s), Clock::system());
        state->setDeviceRole(DeviceRole::destination);
    }
    bool lastUpdateHidden() const
    {
        return !dock.updates.isEmpty() && dock.updates.last().second.value(u"progress-visible"_s) == false;
    }
    // Our own notice, sent after anything the session sent on the same connection, arrives after it.
    void flushNotices()
    {
        DesktopNotifications sentinel(session.connect(u"kivo"_s));
        sentinel.post({u"sentinel"_s, {}, {}, {}});
        ASSERT_TRUE(waitUntil([&] { return !notices.received.isEmpty() && notices.received.last().summary == u"sentinel"_s; }));
        notices.received.removeLast();
    }

    PrivateBus session, system;
    StandInLogin login;
    StandInNotifications notices;
    LauncherWatcher dock;
    QTemporaryDir home;
    SessionEnvironment environment;
    QWindow window; // never shown: the user is elsewhere
    std::unique_ptr<AppState> state;
    std::unique_ptr<gui::ProgressFeed> feed;
    std::unique_ptr<gui::DesktopIntegration> desktop;
};

TEST_F(DesktopSession, ATransferHoldsSleepOffShowsProgressAndEndsWithOneNotice)
{
    state->setCurrentStep(MigrationStep::progress);
    ASSERT_TRUE(waitUntil([&] { return desktop->sleepInhibited(); }));
    EXPECT_EQ(login.lastRequest.value(3), u"block"_s);

    TransferProgress& p = *state->transferProgress();
    p.setTotalFiles(10);
    p.setTotalBytes(1000);
    p.setBytesTransferred(500);
    ASSERT_TRUE(waitUntil([&] {
        return !dock.updates.isEmpty() && dock.updates.last().second.value(u"progress"_s).toDouble() == p.overallProgress();
    }));
    EXPECT_EQ(dock.updates.last().first, u"application://com.kivo.Kivo.desktop"_s);
    EXPECT_EQ(dock.updates.last().second.value(u"progress-visible"_s), true);
    EXPECT_TRUE(notices.received.isEmpty());

    // A dock that starts only now asks for what it missed, and gets what the others saw.
    QDBusPendingCall asked = session.connect(u"dock"_s).asyncCall(
        QDBusMessage::createMethodCall(session.connect(u"kivo"_s).baseService(), u"/com/kivo/Kivo/LauncherEntry"_s,
                                       u"com.canonical.Unity.LauncherEntry"_s, u"Query"_s));
    ASSERT_TRUE(waitUntil([&] { return asked.isFinished(); }));
    const QDBusMessage answer = asked.reply();
    ASSERT_EQ(answer.type(), QDBusMessage::ReplyMessage) << answer.errorMessage().toStdString();
    EXPECT_EQ(answer.signature(), u"sa{sv}"_s);
    EXPECT_EQ(answer.arguments().value(0).toString(), u"application://com.kivo.Kivo.desktop"_s);
    EXPECT_EQ(qdbus_cast<QVariantMap>(answer.arguments().value(1)), dock.updates.last().second);

    p.setBytesTransferred(1000);
    p.setFilesCompleted(10);
    p.setIsComplete(true);
    state->setCurrentStep(MigrationStep::complete);
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }));
    EXPECT_FALSE(desktop->sleepInhibited());
    EXPECT_TRUE(waitUntil([&] { return lastUpdateHidden(); }));

    p.setFilesCompleted(10); // later publications on the complete screen post nothing more
    flushNotices();
    ASSERT_EQ(notices.received.size(), 1);
    EXPECT_EQ(notices.received.first().summary, u"Migration Complete"_s);
    EXPECT_EQ(notices.received.first().hints.value(u"desktop-entry"_s).toString(), u"com.kivo.Kivo"_s);
}

TEST_F(DesktopSession, AMigrationEndingInFrontOfTheUserPostsNothingAndQuittingReleasesTheLock)
{
    window.show();
    window.requestActivate();
    if (!waitUntil([&] { return window.isActive(); }))
        GTEST_SKIP() << "this platform does not activate windows";
    state->setCurrentStep(MigrationStep::progress);
    ASSERT_TRUE(waitUntil([&] { return desktop->sleepInhibited(); }));
    state->setCurrentStep(MigrationStep::complete);
    flushNotices();
    EXPECT_TRUE(notices.received.isEmpty());

    state->setCurrentStep(MigrationStep::progress); // a second run, then the window closes mid-way
    ASSERT_TRUE(waitUntil([&] { return desktop->sleepInhibited(); }));
    desktop.reset();
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }));
}
