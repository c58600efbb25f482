// SPDX-License-Identifier: Apache-2.0
// receive --connect learns who the source is from the source itself, and a
// loopback connection travels over no link.
#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

TEST(CliDirectSource, IsShownByTheNamesItSentAndLoopbackIsNotWifi)
{
    QTemporaryDir work;
    const QString from = work.path() + QStringLiteral("/from"), to = work.path() + QStringLiteral("/to");
    DemoData::buildSampleHome(from, 4, 1);
    CliProcess sender(kivoCli(), {"send", "--home", from, "--categories", "userFiles", "--hostname", "studio",
                                  "--username", "ann", "--json"});
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    const CliRun r = runCli(receiveFrom(to, advertised));
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    const QList<QJsonObject> paired = r.events(QStringLiteral("paired"));
    ASSERT_EQ(paired.size(), 1) << r.out.constData();
    EXPECT_EQ(paired[0].value(QStringLiteral("peer")).toString(), "studio");
    EXPECT_EQ(paired[0].value(QStringLiteral("username")).toString(), "ann");
    EXPECT_EQ(paired[0].value(QStringLiteral("transport")).toString(), "network");
    EXPECT_FALSE(r.out.contains("Wi-Fi")) << r.out.constData();
    EXPECT_EQ(sender.finish(), 0);
}
