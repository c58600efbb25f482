// SPDX-License-Identifier: Apache-2.0
// kivo-cli send and receive on two hosts of the test network (two network
// namespaces, each with its own system bus and avahi-daemon): the destination
// finds the source by DNS-SD, pairs with the code and receives the selection.
#include "app/DemoData.h"
#include "support/TestNet.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

const QString kExec = QStringLiteral(KIVO_TESTNET_DIR "/exec");
const QString kCli = QStringLiteral(KIVO_CLI);

QString runIn(const QString& host, const QStringList& command)
{
    return QString::fromUtf8(runProcess(kExec, QStringList{host} + command).out);
}

// kivo-cli in one host of the test network.
struct HostProcess : CliProcess {
    HostProcess(const QString& host, const QStringList& args) : CliProcess(kExec, QStringList{host, kCli} + args) {}
};

class CliTwoHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string missing = test::testNetMissing(kExec); !missing.empty())
            KIVO_SKIP_OR_FAIL(missing);
        m_source = m_work.path() + QStringLiteral("/source");
        m_destination = m_work.path() + QStringLiteral("/destination");
        DemoData::buildSampleHome(m_source, 80, 11);
    }

    QTemporaryDir m_work;
    QString m_source;
    QString m_destination;
};

} // namespace

// Reached by address over the direct cable, whose ends are named as the
// thunderbolt-net driver names its devices: the destination says Thunderbolt.
TEST_F(CliTwoHost, ADirectConnectionOverAThunderboltLinkIsThunderbolt)
{
    HostProcess send(QStringLiteral("a"), {"send", "--home", m_source, "--categories", "userFiles", "--folders", "Documents", "--json"});
    const QJsonObject advertised = send.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << send.errors().constData();
    const QString address = qEnvironmentVariable("KIVO_TESTNET_TB_SUBNET", QStringLiteral("10.254.77")) + QStringLiteral(".1");
    HostProcess receive(QStringLiteral("b"),
                        {"receive", "--home", m_destination, "--connect",
                         QStringLiteral("%1:%2").arg(address).arg(advertised.value(QStringLiteral("port")).toInt()), "--code",
                         advertised.value(QStringLiteral("code")).toString(), "--timeout", "60", "--json"});
    const QJsonObject paired = receive.waitForEvent(QStringLiteral("paired"), std::chrono::seconds(60));
    EXPECT_EQ(paired.value(QStringLiteral("transport")).toString(), "thunderbolt") << receive.errors().constData();
    EXPECT_EQ(receive.finish(), 0) << receive.errors().constData();
    EXPECT_EQ(send.finish(), 0) << send.errors().constData();
    EXPECT_EQ(treeDifferences(m_source + QStringLiteral("/Documents"), m_destination + QStringLiteral("/Documents")), QStringList());
}

// An independent browser in the destination's host sees the instance name,
// without a code, and the secure-pairing marker. Found by DNS-SD over the
// bridge with the user it names, paired with the code; only the selected
// folders arrive.
TEST_F(CliTwoHost, DiscoveredSourcePairsAndDeliversTheSelectedFolders)
{
    const QString name = freshName("studio");
    HostProcess send(QStringLiteral("a"), {"send", "--home", m_source, "--categories", "userFiles", "--folders",
                                           "Documents,Pictures", "--hostname", name, "--username", "ann", "--json"});
    const QJsonObject advertised = send.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << send.errors().constData();
    const QString record = QStringLiteral(";IPv4;%1\\124ann\\124;_kivo._tcp;local;%2.local;169.254.77.1;%3;\"kivo-pairing=1\"")
                               .arg(name, runIn(QStringLiteral("a"), {QStringLiteral("hostname")}).trimmed())
                               .arg(advertised.value(QStringLiteral("port")).toInt());
    QString seen;
    EXPECT_TRUE(waitUntil([&] {
        seen = runIn(QStringLiteral("b"), {QStringLiteral("avahi-browse"), QStringLiteral("-rpt"), QStringLiteral("_kivo._tcp")});
        return seen.contains(record);
    }, std::chrono::seconds(20))) << seen.toStdString();

    // A code lives a minute; on a slow machine the wait above may outlast it, and the source announces a fresh one.
    const QString code = send.events(QStringLiteral("advertising")).constLast().value(QStringLiteral("code")).toString();
    HostProcess receive(QStringLiteral("b"), {"receive", "--home", m_destination, "--code", code, "--timeout", "60", "--json"});
    const QJsonObject found = receive.waitForEvent(QStringLiteral("peerFound"), std::chrono::seconds(60));
    EXPECT_EQ(found.value(QStringLiteral("username")).toString(), "ann");
    EXPECT_EQ(found.value(QStringLiteral("hostname")).toString(), name);
    EXPECT_EQ(found.value(QStringLiteral("transport")).toString(), "thunderbolt");
    EXPECT_EQ(receive.finish(), 0) << receive.errors().constData();
    EXPECT_EQ(send.finish(), 0) << send.errors().constData();

    for (const QString& folder : {QStringLiteral("/Documents"), QStringLiteral("/Pictures")})
        EXPECT_EQ(treeDifferences(m_source + folder, m_destination + folder), QStringList()) << folder.toStdString();
    EXPECT_FALSE(QDir(m_destination + QStringLiteral("/Music")).exists()) << "unselected folders stay behind";
}
