// SPDX-License-Identifier: Apache-2.0
// send and receive hold sleep off through the login manager while files move,
// on a private system bus whose login manager is a stand-in: the locks are
// given back at the end, and the kernel gives them back on kill -9.
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/PrivateBus.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

class CliSleep : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!system.isRunning() || !login.serve(system.connect(QStringLiteral("login"))))
            GTEST_SKIP() << "dbus-daemon could not be started";
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), system.address());
        // Big enough to take seconds under the cap below.
        writeBytes(work.filePath(QStringLiteral("from/Documents/big.bin")), QByteArray(3 << 20, 'k'));
    }

    // Both ends; the test's own event loop runs meanwhile, so the stand-in answers.
    std::pair<std::unique_ptr<CliProcess>, std::unique_ptr<CliProcess>> start(const QStringList& sendExtra = {})
    {
        auto send = std::make_unique<CliProcess>(
            kivoCli(), QStringList{"send", "--home", work.filePath("from"), "--categories", "userFiles", "--json"} + sendExtra,
            environment);
        const QJsonObject advertised = send->waitForEvent(QStringLiteral("advertising"));
        EXPECT_FALSE(advertised.isEmpty()) << send->errors().constData();
        auto receive = std::make_unique<CliProcess>(kivoCli(), receiveFrom(work.filePath("to"), advertised), environment);
        return {std::move(send), std::move(receive)};
    }

    PrivateBus system;
    StandInLogin login;
    QTemporaryDir work;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
};

// Runs until the process ends while this one's event loop turns.
static int runOut(CliProcess& p)
{
    p.waitForEvent(QStringLiteral("no such event"), 3min);
    return p.finish(1s);
}

TEST_F(CliSleep, EachEndHoldsSleepOffWhileFilesMoveAndGivesItBack)
{
    auto [send, receive] = start();
    EXPECT_EQ(runOut(*receive), 0) << receive->errors().constData();
    EXPECT_EQ(runOut(*send), 0) << send->errors().constData();
    EXPECT_EQ(login.locksHandedOut(), 2);
    EXPECT_EQ(login.lastRequest, QStringList({"sleep:idle", "kivo-cli", "Files are being transferred", "block"}));
    EXPECT_TRUE(login.allReleased());
}

TEST_F(CliSleep, KilledEndsGiveTheirLocksBack)
{
    // 3 MiB at 4 Mbps: some six seconds of transfer to be killed in.
    auto [send, receive] = start({"--max-mbps", "4"});
    ASSERT_TRUE(waitUntil([&] { return login.locksHandedOut() == 2; }, 60s)) << receive->errors().constData();
    EXPECT_FALSE(login.allReleased()) << "held while the files move";
    receive->killHard();
    send->killHard();
    EXPECT_TRUE(waitUntil([&] { return login.allReleased(); }, 10s));
}
