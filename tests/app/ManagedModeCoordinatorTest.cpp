#include "app/AppState.h"
#include "app/ManagedModeCoordinator.h"
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using Kind = ManagedModeCoordinator::State::Kind;

namespace {

kivo::SessionEnvironment environmentFor(const QString& home, const QString& profile)
{
    kivo::SessionEnvironment e{home, {}, {}, 0, nullptr};
    e.profilePath = profile;
    return e;
}


struct Event {
    QString name;
    QMap<QString, QString> details;
};

ManagedDeploymentConfig managedConfig()
{
    ManagedDeploymentConfig c;
    c.deploymentMode = DeploymentMode::managed;
    c.userPrincipal = QStringLiteral("ann@acme.example");
    c.pairingSecret = QStringLiteral("0123456789abcdef");
    return c;
}

// A coordinator over a fresh session, its telemetry recorded.
struct Harness {
    explicit Harness(ManagedDeploymentConfig config, ManagedModeCoordinator::Options options = {})
        : state(environmentFor(home.path(), home.filePath(QStringLiteral("no-profile.plist"))))
    {
        options.postEvent = [this](QString name, QMap<QString, QString> details) {
            events.append({std::move(name), std::move(details)});
        };
        coordinator = std::make_unique<ManagedModeCoordinator>(std::move(config), state, std::move(options));
    }
    QStringList names() const
    {
        QStringList out;
        for (const Event& e : events)
            out << e.name;
        return out;
    }

    QTemporaryDir home;
    AppState state;
    QList<Event> events;
    std::unique_ptr<ManagedModeCoordinator> coordinator;
};

} // namespace

TEST(ManagedModeCoordinator, MissingPrincipalStopsBeforeAnyNetworkActivity)
{
    ManagedDeploymentConfig config = managedConfig();
    config.userPrincipal = QStringLiteral("   ");
    config.migrationSource = ManagedMigrationSource::bonjour;
    Harness h(config);
    EXPECT_EQ(runTask(h.coordinator->start()), FlowExit::unusableInput);
    EXPECT_EQ(h.coordinator->state().kind, Kind::missingKeys);
    EXPECT_TRUE(h.coordinator->detail().endsWith(QStringLiteral("kivo.userPrincipal")));
    ASSERT_EQ(h.names(), (QStringList{QStringLiteral("managed.start"), QStringLiteral("managed.missing_keys")}));
    EXPECT_EQ(h.events[0].details, (QMap<QString, QString>{{QStringLiteral("role"), QStringLiteral("destination")},
                                                           {QStringLiteral("source"), QStringLiteral("bonjour")},
                                                           {QStringLiteral("requireManagedSource"), QStringLiteral("false")}}));
    EXPECT_EQ(h.events[1].details.value(QStringLiteral("keys")), QStringLiteral("kivo.userPrincipal"));
    EXPECT_FALSE(h.state.deviceRole());
    EXPECT_EQ(h.state.connectionManager()->listeningPort(), 0);
    EXPECT_EQ(h.state.connectionManager()->state().kind, ConnectionState::Kind::idle);
}

TEST(ManagedModeCoordinator, AnUnenrolledDeviceStopsWithTheReason)
{
    ManagedDeploymentConfig config = managedConfig();
    config.requireManagedSource = true;
    ManagedModeCoordinator::Options options;
    options.attestLocalDevice = [] { return AttestationOutcome::no(QStringLiteral("MDM enrollment: No")); };
    Harness h(config, options);
    EXPECT_EQ(runTask(h.coordinator->start()), FlowExit::refused);
    EXPECT_EQ(h.coordinator->state(), (ManagedModeCoordinator::State{Kind::attestationFailed, {}, QStringLiteral("MDM enrollment: No")}));
    ASSERT_EQ(h.names(), (QStringList{QStringLiteral("managed.start"), QStringLiteral("managed.attestation_failed")}));
    EXPECT_EQ(h.events[0].details.value(QStringLiteral("requireManagedSource")), QStringLiteral("true"));
    EXPECT_EQ(h.events[1].details.value(QStringLiteral("reason")), QStringLiteral("MDM enrollment: No"));
    EXPECT_FALSE(h.state.deviceRole());
}

TEST(ManagedModeCoordinator, PeerEligibilityBySourceKind)
{
    DiscoveredPeer wifi, bridge;
    wifi.transport = TransportType::wifi;
    bridge.transport = TransportType::thunderbolt;
    DiscoveredPeer wired = wifi;
    wired.transport = TransportType::ethernet;
    using S = ManagedMigrationSource;
    EXPECT_TRUE(ManagedModeCoordinator::isEligible(wifi, S::automatic));
    EXPECT_TRUE(ManagedModeCoordinator::isEligible(bridge, S::automatic));
    EXPECT_TRUE(ManagedModeCoordinator::isEligible(wired, S::bonjour));
    EXPECT_FALSE(ManagedModeCoordinator::isEligible(bridge, S::bonjour));
    EXPECT_TRUE(ManagedModeCoordinator::isEligible(bridge, S::thunderbolt));
    EXPECT_FALSE(ManagedModeCoordinator::isEligible(wired, S::thunderbolt));
    EXPECT_FALSE(ManagedModeCoordinator::isEligible(wifi, S::thunderbolt));
}

TEST(ManagedModeCoordinator, TheTransfersEndDecidesCompleteOrFailed)
{
    Harness h(managedConfig());
    TransferSummary mismatch;
    mismatch.role = DeviceRole::destination;
    mismatch.filesCompleted = 3;
    mismatch.mismatches = {QStringLiteral("~/Documents/a.txt")};
    h.coordinator->finishTransfer(mismatch);
    EXPECT_EQ(h.coordinator->state(), (ManagedModeCoordinator::State{Kind::failed, {}, QStringLiteral("Transfer failed")}));
    ASSERT_EQ(h.names(), QStringList{QStringLiteral("managed.failed")});
    EXPECT_EQ(h.events[0].details, (QMap<QString, QString>{{QStringLiteral("error"), QStringLiteral("unknown")},
                                                           {QStringLiteral("mismatches"), QStringLiteral("1")}}));

    Harness ok(managedConfig());
    TransferSummary done;
    done.filesCompleted = 12;
    done.totalFiles = 12;
    done.bytes = 5000000000ULL;
    ok.coordinator->finishTransfer(done);
    EXPECT_EQ(ok.coordinator->state().kind, Kind::complete);
    ASSERT_EQ(ok.names(), QStringList{QStringLiteral("managed.complete")});
    EXPECT_EQ(ok.events[0].details, (QMap<QString, QString>{{QStringLiteral("files"), QStringLiteral("12")},
                                                            {QStringLiteral("bytes"), QStringLiteral("5000000000")}}));
}
