// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "connection/ConnectionManager.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using Step = MigrationStep;

namespace {

SessionEnvironment testEnvironment() { return {QDir::tempPath(), {}, {}, 0, nullptr}; }

void walkTo(AppState& state, Step step)
{
    while (state.currentStep() != step)
        state.goToNext();
}

const UserMapping kMapping = UserMapping::make("ann", "/Users/ann", "bob", "/Users/bob");

} // namespace

TEST(AppStateSteps, EachRoleMovesAndGoesBackAsTheWizardDefines)
{
    struct Case {
        std::optional<DeviceRole> role;
        Step from;
        bool forward;
        Step to;
        bool keepsMapping;
        int preFlightCleared;
    };
    const DeviceRole src = DeviceRole::source, dst = DeviceRole::destination;
    const Case cases[] = {
        {src, Step::userMapping, true, Step::manifest, true, 0},
        {src, Step::preflightSummary, true, Step::progress, true, 0},
        {src, Step::complete, true, Step::complete, true, 0},
        {src, Step::manifest, false, Step::userMapping, false, 0},
        {src, Step::preflight, false, Step::manifest, true, 1},
        {src, Step::preflightSummary, false, Step::preflight, true, 0},
        {dst, Step::userMapping, true, Step::progress, true, 0},
        {dst, Step::progress, false, Step::userMapping, true, 0},
        {std::nullopt, Step::welcome, false, Step::welcome, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.from) << (c.forward ? " forward" : " back"));
        AppState state(testEnvironment());
        state.setDeviceRole(c.role);
        state.setCurrentStep(c.from);
        state.setConfirmedUserMapping(kMapping);
        QSignalSpy cleared(&state, &AppState::preFlightResultsCleared);
        c.forward ? state.goToNext() : state.goBack();
        EXPECT_EQ(state.currentStep(), c.to);
        EXPECT_EQ(state.confirmedUserMapping().has_value(), c.keepsMapping);
        EXPECT_EQ(cleared.count(), c.preFlightCleared);
    }
}

TEST(AppStateSession, ResetReturnsToAFreshSessionWithANewTransferIDAndKeepsThePolicy)
{
    AppState state(testEnvironment());
    state.goToNext();
    state.chooseRole(DeviceRole::source);
    ASSERT_TRUE(state.pairingCode().has_value());
    EXPECT_NE(state.connectionManager()->listeningPort(), 0);
    state.setConflictPolicy(ConflictPolicy::overwrite);
    walkTo(state, Step::progress);
    const QString first = state.transferID();
    EXPECT_EQ(first.size(), 36);

    state.reset();
    const QString second = state.transferID();
    state.reset();
    EXPECT_EQ(state.currentStep(), Step::welcome);
    EXPECT_FALSE(state.pairingCode().has_value() || state.isPairingConfirmed());
    EXPECT_EQ(state.connectionManager()->listeningPort(), 0);
    EXPECT_EQ(state.conflictPolicy(), ConflictPolicy::overwrite);
    EXPECT_NE(first, second);
    EXPECT_NE(second, state.transferID());

    state.goToNext();
    state.chooseRole(DeviceRole::destination);
    EXPECT_EQ(state.connectionManager()->state().kind, ConnectionState::Kind::discovering);
}


// What is made only to be sent waits outside the home served (another account's, when
// run as root), and goes with the session.
TEST(AppStateSession, FilesMadeToBeSentWaitOutsideTheHomeAndGoWithTheSession)
{
    QTemporaryDir home;
    QString scratch;
    {
        AppState state({home.path(), {}, {}, 0, nullptr});
        scratch = state.developerFilesFolder();
        EXPECT_TRUE(QFileInfo(scratch).isDir());
        EXPECT_FALSE(scratch.startsWith(home.path())) << scratch.toStdString();
        EXPECT_EQ(state.developerFilesFolder(), scratch);
    }
    EXPECT_FALSE(QFileInfo::exists(scratch));
    EXPECT_TRUE(QDir(home.path()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}
