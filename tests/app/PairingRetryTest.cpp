// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "connection/ConnectionManager.h"

#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;

// The destination says why pairing takes longer while the source is busy, and stops saying it once the attempt is over.
TEST(PairingRetry, IsShownWhileRetryingAndClearedWhenTheAttemptOrTheStepEnds)
{
    QTemporaryDir home;
    SessionEnvironment environment;
    environment.homeFolder = home.path();
    AppState state(environment);
    state.setDeviceRole(DeviceRole::destination);
    state.setCurrentStep(MigrationStep::pairing);
    QSignalSpy changed(&state, &AppState::pairingRetryTextChanged);
    const QString text = QString::fromUtf8(ConnectionManager::kBusyRetryText);

    Q_EMIT state.connectionManager()->pairingRetrying(text);
    EXPECT_EQ(state.pairingRetryText(), text);
    Q_EMIT state.connectionManager()->pairingRetrying(text);
    EXPECT_EQ(changed.size(), 1) << "the same text twice notifies once";

    state.setCurrentStep(MigrationStep::userMapping);
    EXPECT_TRUE(state.pairingRetryText().isEmpty());
}
