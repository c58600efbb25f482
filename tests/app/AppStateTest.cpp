#include "app/AppState.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"

#include <QDir>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

SessionEnvironment testEnvironment()
{
    SessionEnvironment env;
    env.homeFolder = QDir::tempPath();
    return env;
}

void walkTo(AppState& state, MigrationStep step)
{
    while (state.currentStep() != step)
        state.goToNext();
}

struct AppStateFlow : testing::Test {
    AppState state{testEnvironment()};
};

} // namespace

TEST_F(AppStateFlow, SourcePassesThroughEveryStep)
{
    state.setDeviceRole(DeviceRole::source);
    QList<MigrationStep> seen{state.currentStep()};
    for (int i = 0; i < 12; ++i) {
        state.goToNext();
        if (seen.last() != state.currentStep())
            seen.append(state.currentStep());
    }
    EXPECT_EQ(seen.size(), 10);
    EXPECT_EQ(state.currentStep(), MigrationStep::complete);
}

TEST_F(AppStateFlow, DestinationSkipsSelectionAndPreflightBothWays)
{
    state.setDeviceRole(DeviceRole::destination);
    walkTo(state, MigrationStep::userMapping);
    const UserMapping mapping = UserMapping::make("ann", "/Users/ann", "bob", "/Users/bob");
    state.setConfirmedUserMapping(mapping);

    state.goToNext();
    EXPECT_EQ(state.currentStep(), MigrationStep::progress);
    state.goBack();
    EXPECT_EQ(state.currentStep(), MigrationStep::userMapping);
    EXPECT_EQ(state.confirmedUserMapping(), mapping) << "going back from progress keeps the mapping";
}

TEST_F(AppStateFlow, GoBackClearsWhatTheStepItLeavesDerived)
{
    state.setDeviceRole(DeviceRole::source);
    walkTo(state, MigrationStep::manifest);
    state.setConfirmedUserMapping(UserMapping::make("ann", "/Users/ann", "ann", "/Users/ann"));
    state.goBack();
    EXPECT_EQ(state.currentStep(), MigrationStep::userMapping);
    EXPECT_FALSE(state.confirmedUserMapping().has_value());

    QSignalSpy cleared(&state, &AppState::preFlightResultsCleared);
    state.setConfirmedUserMapping(UserMapping::make("ann", "/Users/ann", "ann", "/Users/ann"));
    walkTo(state, MigrationStep::preflightSummary);
    state.goBack(); // to preflight: clears nothing
    EXPECT_EQ(cleared.count(), 0);
    EXPECT_TRUE(state.confirmedUserMapping().has_value());
    state.goBack(); // to manifest: the pre-flight results go
    EXPECT_EQ(state.currentStep(), MigrationStep::manifest);
    EXPECT_EQ(cleared.count(), 1);
    EXPECT_TRUE(state.confirmedUserMapping().has_value());
}

TEST_F(AppStateFlow, EndsOfTheFlowDoNothing)
{
    QSignalSpy changes(&state, &AppState::currentStepChanged);
    state.goBack();
    EXPECT_EQ(state.currentStep(), MigrationStep::welcome);
    walkTo(state, MigrationStep::complete);
    const int before = changes.count();
    state.goToNext();
    EXPECT_EQ(state.currentStep(), MigrationStep::complete);
    EXPECT_EQ(changes.count(), before);
}

TEST_F(AppStateFlow, SettersNotifyOnlyOnChange)
{
    QSignalSpy code(&state, &AppState::pairingCodeChanged);
    state.setPairingCode(QStringLiteral("012345"));
    state.setPairingCode(QStringLiteral("012345"));
    state.setPairingCode(std::nullopt);
    state.setPairingCode(std::nullopt);
    EXPECT_EQ(code.count(), 2);

    QSignalSpy mbps(&state, &AppState::maxTransferMbpsChanged);
    state.setMaxTransferMbps(50);
    state.setMaxTransferMbps(50);
    EXPECT_EQ(mbps.count(), 1);
}

TEST_F(AppStateFlow, ResetReturnsToAFreshSessionWithANewTransferID)
{
    state.setDeviceRole(DeviceRole::source);
    state.setPairingCode(QStringLiteral("123456"));
    state.setPairingConfirmed(true);
    state.setConflictPolicy(ConflictPolicy::overwrite);
    walkTo(state, MigrationStep::progress);
    const QString first = state.transferID();
    EXPECT_EQ(first.size(), 36);

    state.reset();
    const QString second = state.transferID();
    state.reset();
    const QString third = state.transferID();
    EXPECT_EQ(state.currentStep(), MigrationStep::welcome);
    EXPECT_FALSE(state.deviceRole().has_value());
    EXPECT_FALSE(state.pairingCode().has_value());
    EXPECT_FALSE(state.isPairingConfirmed());
    EXPECT_EQ(state.conflictPolicy(), ConflictPolicy::overwrite) << "reset keeps the user's policy";
    EXPECT_NE(first, second);
    EXPECT_NE(second, third);
}

TEST(AppStateSession, RoleActionsDriveTheConnectionManager)
{
    AppState source(testEnvironment());
    source.goToNext();
    source.chooseRole(DeviceRole::source);
    EXPECT_EQ(source.currentStep(), MigrationStep::discovery);
    ASSERT_TRUE(source.pairingCode().has_value());
    EXPECT_EQ(source.pairingCode(), source.connectionManager()->pairingManager()->pairingCode());
    EXPECT_EQ(source.connectionManager()->state().kind, ConnectionState::Kind::pairingInitiated);
    EXPECT_NE(source.connectionManager()->listeningPort(), 0);

    const std::optional<QString> first = source.pairingCode();
    source.restartPairing();
    EXPECT_EQ(source.pairingCode(), source.connectionManager()->pairingManager()->pairingCode());

    source.reset();
    EXPECT_EQ(source.connectionManager()->state().kind, ConnectionState::Kind::idle);
    EXPECT_FALSE(source.pairingCode().has_value());
    EXPECT_EQ(source.connectionManager()->listeningPort(), 0);

    AppState destination(testEnvironment());
    destination.goToNext();
    destination.chooseRole(DeviceRole::destination);
    EXPECT_EQ(destination.currentStep(), MigrationStep::discovery);
    EXPECT_EQ(destination.connectionManager()->state().kind, ConnectionState::Kind::discovering);
}

TEST(AppStateSession, PairingWithoutASessionAdvancesButCreatesNoEngine)
{
    AppState state(testEnvironment());
    state.createTransferEngine(nullptr);
    EXPECT_EQ(state.transferEngine(), nullptr) << "no engine without a role";

    state.setDeviceRole(DeviceRole::destination);
    walkTo(state, MigrationStep::pairing);
    state.completePairingHandshake();
    EXPECT_TRUE(state.isPairingConfirmed());
    EXPECT_EQ(state.currentStep(), MigrationStep::userMapping);
    EXPECT_EQ(state.transferEngine(), nullptr);
}

TEST(AppStateSession, TypedCodeMustEqualTheAdvertisedOne)
{
    AppState state(testEnvironment());
    state.setDeviceRole(DeviceRole::destination);
    state.setPairingCode(QStringLiteral("123456"));
    walkTo(state, MigrationStep::pairing);
    EXPECT_FALSE(state.submitPairingCode(QStringLiteral("654321")));
    EXPECT_FALSE(state.isPairingConfirmed());
    EXPECT_EQ(state.currentStep(), MigrationStep::pairing);
}
