// SPDX-License-Identifier: Apache-2.0
// kill -9 of send or receive at a step of the pairing: the survivor ends or
// carries on without waiting out a deadline, and the two pair again at once.
#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

enum class Killed { receive, send };

struct Case {
    Killed who;
    const char* event; // of the receive, after which the kill comes
    bool sourceCarriesOn;
};

QStringList sendArgs(const QString& from)
{
    return {"send", "--home", from, "--categories", "userFiles", "--json"};
}

QStringList receiveArgs(const QString& to, const QJsonObject& advertised)
{
    return receiveFrom(to, advertised) << QStringLiteral("--timeout") << QStringLiteral("30");
}

} // namespace

TEST(CliPairingKills, BothSidesPairAgainAtOnceAfterAKillAtEachStep)
{
    const Case cases[] = {
        // Before its first pairing message: the source waits on for someone else.
        {Killed::receive, "peerFound", true},
        // Paired: the source's session is gone with it; a rerun of both pairs.
        {Killed::receive, "paired", false},
        {Killed::send, "peerFound", false},
        {Killed::send, "paired", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.who == Killed::send ? "send" : "receive") << " killed after " << c.event);
        QTemporaryDir work;
        const QString from = work.path() + QStringLiteral("/from"), to = work.path() + QStringLiteral("/to");
        DemoData::buildSampleHome(from, 40, 2);

        auto send = std::make_unique<CliProcess>(kivoCli(), sendArgs(from));
        QJsonObject advertised = send->waitForEvent(QStringLiteral("advertising"));
        ASSERT_FALSE(advertised.isEmpty()) << send->errors().constData();
        auto receive = std::make_unique<CliProcess>(kivoCli(), receiveArgs(to, advertised));
        ASSERT_FALSE(receive->waitForEvent(QString::fromLatin1(c.event)).isEmpty()) << receive->errors().constData();
        CliProcess& victim = c.who == Killed::send ? *send : *receive;
        CliProcess& survivor = c.who == Killed::send ? *receive : *send;
        victim.killHard();

        if (!c.sourceCarriesOn) {
            // The survivor notices the loss and ends with a failure, well within its deadlines.
            EXPECT_NE(survivor.finish(1min), 0) << survivor.errors().constData();
            send = std::make_unique<CliProcess>(kivoCli(), sendArgs(from));
            advertised = send->waitForEvent(QStringLiteral("advertising"));
            ASSERT_FALSE(advertised.isEmpty()) << send->errors().constData();
        }
        receive = std::make_unique<CliProcess>(kivoCli(), receiveArgs(to, advertised));
        EXPECT_EQ(receive->finish(), 0) << receive->errors().constData();
        EXPECT_EQ(send->finish(), 0) << send->errors().constData();
        EXPECT_EQ(treeDifferences(from + QStringLiteral("/Documents"), to + QStringLiteral("/Documents")), QStringList());
    }
}
