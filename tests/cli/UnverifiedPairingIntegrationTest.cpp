// SPDX-License-Identifier: Apache-2.0
// receive --connect to a source that selects no pairing protocol in its
// handshake, as one that only knows the bare confirmation: the relay in front
// of a send is such a peer, a separate program that pins nothing and knows no code.
#include "app/DemoData.h"
#include "connection/PairingRig.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

// Allowed: the bare confirmation goes first and the files arrive, with the
// warning. Not allowed: the proof is asked for, fails, and receive exits 3.
TEST(CliUnverifiedPairing, ASourceThatSelectsNoProtocolGetsTheBareConfirmationOnlyWhenAllowed)
{
    for (const bool allowed : {true, false}) {
        SCOPED_TRACE(allowed ? "allowed" : "not allowed");
        QTemporaryDir work;
        const QString from = work.path() + QStringLiteral("/from"), to = work.path() + QStringLiteral("/to");
        DemoData::buildSampleHome(from, 12, 1);
        CliProcess sender(kivoCli(), {"send", "--home", from, "--categories", "userFiles", "--allow-unverified-pairing", "--json"});
        const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
        ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
        TlsRelay relay(quint16(advertised.value(QStringLiteral("port")).toInt()));
        ASSERT_NE(relay.port, 0) << relay.output.constData();

        QStringList args = receiveFrom(to, advertised);
        args[4] = QStringLiteral("127.0.0.1:%1").arg(relay.port);
        args << QStringLiteral("--timeout") << QStringLiteral("30");
        if (allowed)
            args << QStringLiteral("--allow-unverified-pairing");
        const CliRun r = runCli(args);
        if (allowed) {
            EXPECT_EQ(r.exitCode, 0) << r.err.constData();
            EXPECT_TRUE(r.err.contains("paired without verifying the code")) << r.err.constData();
            EXPECT_EQ(sender.finish(), 0) << sender.errors().constData();
            EXPECT_EQ(treeDifferences(from + QStringLiteral("/Documents"), to + QStringLiteral("/Documents")), QStringList());
        } else {
            EXPECT_EQ(r.exitCode, 3) << r.err.constData();
            EXPECT_FALSE(QDir(to + QStringLiteral("/Documents")).exists());
        }
    }
}
