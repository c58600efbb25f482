// SPDX-License-Identifier: Apache-2.0
// kivo-cli managed on the hosts of the test network, with nobody at either
// end: profiles written by an independent plist writer, telemetry received by
// a local HTTP endpoint in the destination's host.
#include "app/DemoData.h"
#include "support/CliProcess.h"
#include "support/TestNet.h"
#include "support/ProfileWriter.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

const QString kExec = QStringLiteral(KIVO_TESTNET_DIR "/exec");
const QString kCli = QStringLiteral(KIVO_CLI);
const QString kEndpoint = QStringLiteral(KIVO_TESTNET_DIR "/../../tests/e2e/twohost/telemetry-endpoint.py");
const QString kSecret = QStringLiteral("correct horse battery staple");

// kivo-cli managed in one host. It never reads stdin; stdin is closed to prove it.
struct ManagedProcess : CliProcess {
    ManagedProcess(const QString& host, const QStringList& args)
        : CliProcess(kExec, QStringList{host, QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" </dev/null"),
                                              kCli, QStringLiteral("managed")}
                                + args + QStringList{QStringLiteral("--json")})
    {
    }
    QStringList states()
    {
        QStringList out;
        for (const QJsonObject& e : events(QStringLiteral("state")))
            out << e.value(QStringLiteral("state")).toString();
        return out;
    }
};

// A telemetry endpoint on 127.0.0.1 inside a host; every body it got, in order.
class Endpoint {
public:
    Endpoint(const QString& host, const QString& folder) : m_file(folder + u'/' + host + QStringLiteral(".events"))
    {
        m_process.start(kExec, {host, QStringLiteral("python3"), kEndpoint, m_file});
        m_process.waitForStarted();
        waitUntil([this] { return m_process.canReadLine() || (m_process.waitForReadyRead(100) && m_process.canReadLine()); },
                  std::chrono::seconds(20));
        m_port = QString::fromUtf8(m_process.readLine()).split(u' ').value(1).trimmed().toInt();
    }
    ~Endpoint()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/events").arg(m_port); }
    QList<QByteArray> bodies() const
    {
        QFile f(m_file);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        QList<QByteArray> out = f.readAll().split('\n');
        out.removeAll(QByteArray());
        return out;
    }
    QStringList events() const
    {
        QStringList out;
        for (const QByteArray& body : bodies())
            out << QJsonDocument::fromJson(body).object().value(QStringLiteral("event")).toString();
        return out;
    }

private:
    QProcess m_process;
    QString m_file;
    int m_port = 0;
};

class ManagedTwoHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string missing = test::testNetMissing(kExec); !missing.empty())
            KIVO_SKIP_OR_FAIL(missing);
        m_source = m_work.filePath(QStringLiteral("source"));
        m_destination = m_work.filePath(QStringLiteral("destination"));
        DemoData::buildSampleHome(m_source, 40, 7);
    }

    // A profile written by Python's plistlib, XML or binary.
    QString profile(const QString& name, QJsonObject keys, bool binary = false)
    {
        keys.insert(QStringLiteral("kivo.brandingName"), QStringLiteral("Acme"));
        keys.insert(QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed"));
        if (!keys.contains(QStringLiteral("kivo.userPrincipal")))
            keys.insert(QStringLiteral("kivo.userPrincipal"), QStringLiteral("ann@acme.example"));
        if (!keys.contains(QStringLiteral("kivo.pairingSecret")))
            keys.insert(QStringLiteral("kivo.pairingSecret"), kSecret);
        keys.insert(QStringLiteral("kivo.migrationCategories"), QJsonArray{QStringLiteral("userFiles")});
        return test::writeProfile(m_work.filePath(name + QStringLiteral(".plist")), keys, binary);
    }

    QString sourceProfile(const QString& secret = kSecret)
    {
        return profile(QStringLiteral("source-") + QString::number(qHash(secret)),
                       {{QStringLiteral("kivo.deploymentRole"), QStringLiteral("source")}, {QStringLiteral("kivo.pairingSecret"), secret}},
                       true);
    }

    QString destinationProfile(const QString& telemetry, QJsonObject extra = {})
    {
        extra.insert(QStringLiteral("kivo.telemetryEndpoint"), telemetry);
        return profile(QStringLiteral("destination"), extra);
    }

    QTemporaryDir m_work;
    QString m_source;
    QString m_destination;
};

} // namespace

// A source of another organisation is met first and refused; the right one then
// arrives and the migration completes, reported in order to the endpoint.
TEST_F(ManagedTwoHost, EndsOfOneOrganisationMigrateUnattendedAndAStrangerIsNeverPairedWith)
{
    Endpoint endpoint(QStringLiteral("b"), m_work.path());
    const QString strangerHome = m_work.filePath(QStringLiteral("stranger"));
    DemoData::buildSampleHome(strangerHome, 5, 3);
    ManagedProcess stranger(QStringLiteral("c"), {QStringLiteral("--profile"), sourceProfile(QStringLiteral("another organisation's secret")),
                                                  QStringLiteral("--home"), strangerHome});
    ASSERT_FALSE(stranger.waitForEvent(QStringLiteral("state")).isEmpty()) << stranger.errors().constData();

    ManagedProcess destination(QStringLiteral("b"), {QStringLiteral("--profile"), destinationProfile(endpoint.url()),
                                                     QStringLiteral("--home"), m_destination, QStringLiteral("--discovery-timeout"),
                                                     QStringLiteral("90")});
    ASSERT_TRUE(waitUntil([&] { return !destination.states().filter(QRegularExpression(QStringLiteral("^sourceRejected"))).isEmpty(); },
                          std::chrono::seconds(60)))
        << destination.states().join(u'|').toStdString() << destination.errors().constData();

    ManagedProcess source(QStringLiteral("a"), {QStringLiteral("--profile"), sourceProfile(), QStringLiteral("--home"), m_source});
    EXPECT_FALSE(destination.waitForEvent(QStringLiteral("summary"), std::chrono::seconds(90)).isEmpty());
    EXPECT_EQ(destination.finish(), 0) << destination.errors().constData();
    EXPECT_EQ(source.finish(), 0) << source.errors().constData();
    EXPECT_EQ(treeDifferences(m_source + QStringLiteral("/Documents"), m_destination + QStringLiteral("/Documents")), QStringList());

    EXPECT_EQ(endpoint.events(), (QStringList{"managed.start", "managed.awaiting_peer", "managed.ready", "managed.transfer_start",
                                              "managed.complete"}));
    // The envelope's form is Telemetry.EnvelopeKeysSortedAndAbsentOptionalsLeftOut's.
    for (const QByteArray& body : endpoint.bodies())
        EXPECT_EQ(QJsonDocument::fromJson(body).object().value(QStringLiteral("principal")).toString(), QStringLiteral("ann@acme.example"));
}

// Each stop: its state, its exit code and its events after managed.start. A
// missing principal and an unenrolled device stop the same way before any
// network: ManagedModeCoordinator.MissingPrincipalStopsBeforeAnyNetworkActivity
// and AnUnenrolledDeviceStopsWithTheReason, their codes CliExitCodes'.
TEST_F(ManagedTwoHost, StopsBeforeTheTransferCarryTheirStateExitAndEvent)
{
    Endpoint endpoint(QStringLiteral("c"), m_work.path());
    struct Case {
        const char* name;
        QJsonObject keys;
        QStringList extraArgs;
        int exit;
        QString state;
        QStringList events; // after managed.start
    };
    const Case cases[] = {
        {"secret too short to use", {{QStringLiteral("kivo.pairingSecret"), QStringLiteral("short")}}, {}, 6,
         QStringLiteral("missingKeys(kivo.pairingSecret)"), {QStringLiteral("managed.missing_keys")}},
        // Host c is wired: a source it sees is never a Thunderbolt peer.
        {"thunderbolt only", {{QStringLiteral("kivo.migrationSource"), QStringLiteral("thunderbolt")}},
         {QStringLiteral("--discovery-timeout"), QStringLiteral("3")}, 4, QStringLiteral("failed(No peer discovered within 3s)"),
         {QStringLiteral("managed.awaiting_peer"), QStringLiteral("managed.discovery_timeout")}},
    };
    ManagedProcess source(QStringLiteral("a"), {QStringLiteral("--profile"), sourceProfile(), QStringLiteral("--home"), m_source});
    ASSERT_FALSE(source.waitForEvent(QStringLiteral("state")).isEmpty()) << source.errors().constData();
    for (const Case& c : cases) {
        const qsizetype before = endpoint.events().size();
        ManagedProcess destination(QStringLiteral("c"), QStringList{QStringLiteral("--profile"), destinationProfile(endpoint.url(), c.keys),
                                                                    QStringLiteral("--home"), m_destination} + c.extraArgs);
        EXPECT_EQ(destination.finish(), c.exit) << c.name;
        const QStringList states = destination.states();
        EXPECT_EQ(states.value(states.size() - 1), c.state) << c.name << ": " << states.join(u'|').toStdString();
        EXPECT_EQ(endpoint.events().mid(before), QStringList{QStringLiteral("managed.start")} + c.events) << c.name;
    }
    EXPECT_FALSE(QDir(m_destination + QStringLiteral("/Documents")).exists());
}
