// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "app/ManagedModeCoordinator.h"
#include "connection/ConnectionManager.h"
#include "support/CoroTest.h"
#include "support/NoDiscoveryDaemon.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using Kind = ManagedModeCoordinator::State::Kind;
using namespace Qt::Literals::StringLiterals;

namespace {

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
        : state({home.path(), {}, {}, 0, nullptr, home.filePath(QStringLiteral("no-profile.plist"))})
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
    ASSERT_EQ(h.names(), (QStringList{QStringLiteral("managed.start"), QStringLiteral("managed.missing_keys")}));
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
    EXPECT_FALSE(h.state.deviceRole());
}

TEST(ManagedModeCoordinator, PeerEligibilityBySourceKind)
{
    using S = ManagedMigrationSource;
    using T = TransportType;
    const std::tuple<T, S, bool> cases[] = {{T::thunderbolt, S::automatic, true}, {T::ethernet, S::bonjour, true},
                                            {T::thunderbolt, S::bonjour, false}, {T::thunderbolt, S::thunderbolt, true},
                                            {T::ethernet, S::thunderbolt, false}, {T::wifi, S::thunderbolt, false}};
    for (const auto& [transport, source, eligible] : cases) {
        DiscoveredPeer peer;
        peer.transport = transport;
        EXPECT_EQ(ManagedModeCoordinator::isEligible(peer, source), eligible) << int(transport) << " " << int(source);
    }
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

// Managed destinations only find sources: without service discovery neither
// end can meet the other, and each says so at once instead of waiting.
TEST(ManagedModeCoordinator, WithoutServiceDiscoveryEitherEndStopsAtOnceSayingWhy)
{
    const std::pair<DeploymentRole, QString> cases[] = {
        {DeploymentRole::source, u"This computer cannot be found on the network: "_s},
        {DeploymentRole::destination, u"Cannot look for the source on the network: "_s},
    };
    for (const auto& [role, consequence] : cases) {
        ManagedDeploymentConfig config = managedConfig();
        config.deploymentRole = role;
        config.migrationCategories = {u"userFiles"_s};
        Harness h(config);
        NoDiscoveryDaemon noDaemon;
        EXPECT_EQ(runTask(h.coordinator->start()), FlowExit::serviceUnavailable);
        const QString text = consequence + QString::fromLatin1(NoDiscoveryDaemon::kReason) + u'.';
        EXPECT_EQ(h.coordinator->state(), (ManagedModeCoordinator::State{Kind::failed, {}, text}));
        ASSERT_EQ(h.names(), (QStringList{u"managed.start"_s, u"managed.failed"_s}));
        EXPECT_EQ(h.events[1].details, (QMap<QString, QString>{{u"error"_s, text}, {u"mismatches"_s, u"0"_s}}));
    }
}
