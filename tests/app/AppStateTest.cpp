// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "categories/DataCategoryManager.h"
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

// The destination's typed address: what the source shows is taken, anything
// else is refused with what to write instead.
TEST(AppStateSession, ATypedAddressIsHostAndPortOrRefusedWithWhy)
{
    const struct {
        const char* typed;
        const char* host; // null: refused
        quint16 port;
        const char* refusal;
    } cases[] = {
        {" 192.168.1.20:47011 ", "192.168.1.20", 47011, nullptr},
        {"old-computer.local:1", "old-computer.local", 1, nullptr},
        {"[2001:db8::20]:47011", "2001:db8::20", 47011, nullptr},
        {"", nullptr, 0, "Enter the address and port the source Mac shows, like 192.168.1.20:47011."},
        {"192.168.1.20", nullptr, 0, "Add the port after the address, like 192.168.1.20:47011."},
        {"[2001:db8::20]", nullptr, 0, "Add the port after the address, like [2001:db8::20]:47011."},
        {"2001:db8::20:47011", nullptr, 0,
         "\"2001:db8::20:47011\" is not an address: write an IPv6 address in brackets, like [2001:db8::20]:47011."},
        {"[old-computer]:47011", nullptr, 0,
         "\"[old-computer]:47011\" is not an address: write an IPv6 address in brackets, like [2001:db8::20]:47011."},
        {"192.168.1.20:0", nullptr, 0, "The port is a number from 1 to 65535, not \"0\"."},
        {"192.168.1.20:65536", nullptr, 0, "The port is a number from 1 to 65535, not \"65536\"."},
        {"192.168.1.20:port", nullptr, 0, "The port is a number from 1 to 65535, not \"port\"."},
        {":47011", nullptr, 0, "\":47011\" is not an address or a computer name, like 192.168.1.20:47011."},
        {"old computer:47011", nullptr, 0, "\"old computer\" is not an address or a computer name, like 192.168.1.20:47011."},
        {"-old:47011", nullptr, 0, "\"-old\" is not an address or a computer name, like 192.168.1.20:47011."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        const std::variant<PeerEndpoint, QString> got = AppState::endpointFromText(QString::fromUtf8(c.typed));
        if (c.host) {
            ASSERT_TRUE(std::holds_alternative<PeerEndpoint>(got)) << std::get<QString>(got).toStdString();
            EXPECT_EQ(std::get<PeerEndpoint>(got).host, QString::fromLatin1(c.host));
            EXPECT_EQ(std::get<PeerEndpoint>(got).port, c.port);
        } else {
            ASSERT_TRUE(std::holds_alternative<QString>(got));
            EXPECT_EQ(std::get<QString>(got), QString::fromUtf8(c.refusal));
        }
    }
}

// The demonstration moves only the sample's user folders: the other categories
// would read this machine's own keyring and settings, so they are not offered.
TEST(AppStateSession, TheDemoOffersOnlyTheUserFolders)
{
    for (const bool demo : {false, true}) {
        SCOPED_TRACE(demo ? "demo" : "own home");
        QTemporaryDir home;
        AppState state(SessionEnvironment{home.path(), {}, {}, 0, nullptr});
        state.setDemoMode(demo);
        state.setDeviceRole(DeviceRole::source);
        state.setCurrentStep(Step::userMapping);
        state.confirmUserMapping(kMapping);
        QStringList unselected, selected;
        for (const DataCategory& c : state.categoryManager()->categories())
            (c.isSelected ? selected : unselected) << c.id;
        if (demo) {
            EXPECT_EQ(selected.join(u','), QStringLiteral("userFiles"));
            EXPECT_EQ(unselected.join(u','), QString()) << "nothing else is listed";
        } else {
            EXPECT_TRUE(selected.contains("keychain")) << selected.join(u',').toStdString();
        }
    }
}
