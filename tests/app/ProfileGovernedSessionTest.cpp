// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "app/FlowEvents.h"
#include "app/ManagedModeCoordinator.h"
#include "categories/DataCategory.h"
#include "categories/DataCategoryManager.h"
#include "log/MigrationLogger.h"
#include "managed/ConfigurationProfileManager.h"
#include "platform/PropertyList.h"
#include "postmigration/StagedPrefService.h"
#include "support/CoroTest.h"
#include "transfer/SourceTransfer.h"
#include "support/FileBytes.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

QString writeProfile(const QTemporaryDir& dir, const QVariantMap& keys)
{
    const QString path = dir.filePath(QStringLiteral("profile.plist"));
    test::writeBytes(path, plist::serialize(keys, plist::Format::binary));
    return path;
}

// What a destination builds its category handlers with once the manifest is in.
struct HandlerFactoryOf : TransferEngine {
    using TransferEngine::handlerFactory;
};

} // namespace

// The organisation's choices win over the user's on the engine, and the
// session shows them; without a profile the user's choices stand. The cap
// picked on the pre-flight screen, after the engine was made, is the one the
// engine runs at and the log records.
TEST(ProfileGovernedSession, PolicyCapAndCategoriesComeFromTheProfileIfThereIsOne)
{
    for (const bool governed : {true, false}) {
        SCOPED_TRACE(governed);
        QTemporaryDir dir;
        const QString profile = governed ? writeProfile(dir, {{QStringLiteral("kivo.allowedDataCategories"), QVariantList{QStringLiteral("userFiles")}},
                                                              {QStringLiteral("kivo.allowUserOverride"), false},
                                                              {QStringLiteral("kivo.conflictPolicy"), QStringLiteral("KEEPNEWER")},
                                                              {QStringLiteral("kivo.maxTransferMbps"), qint64(8)}})
                                         : dir.filePath(QStringLiteral("absent.plist"));
        AppState state({dir.path(), {}, {}, 0, nullptr, profile});
        state.setDeviceRole(DeviceRole::source);
        state.setConflictPolicy(ConflictPolicy::overwrite);
        state.setMaxTransferMbps(100); // a cap chosen before pairing
        state.createTransferEngine(nullptr);
        EXPECT_EQ(state.conflictPolicy(), governed ? ConflictPolicy::keepNewer : ConflictPolicy::overwrite);
        const auto throttle = [&] { return static_cast<SourceTransfer*>(state.transferEngine())->throttle(); };
        ASSERT_TRUE(throttle());
        EXPECT_DOUBLE_EQ(throttle()->bytesPerSecond, (governed ? 8 : 100) * ThrottleBudget::kBytesPerMegabit);
        state.setBandwidthMbps(50); // the pre-flight screen
        state.applyBandwidthCap();  // the transfer starts
        EXPECT_EQ(state.maxTransferMbps(), governed ? 8 : 50);
        ASSERT_TRUE(throttle());
        EXPECT_DOUBLE_EQ(throttle()->bytesPerSecond, (governed ? 8 : 50) * ThrottleBudget::kBytesPerMegabit);
        state.setBandwidthMbps(0); // no limit, unless the profile says otherwise
        state.applyBandwidthCap();
        EXPECT_EQ(throttle().has_value(), governed);
        state.startMigrationLog();
        state.completeMigrationLog();
        ASSERT_TRUE(state.migrationLogger()->currentLog());
        EXPECT_EQ(state.migrationLogger()->currentLog()->maxTransferMbps, governed ? std::optional<int>(8) : std::nullopt);

        state.confirmUserMapping(UserMapping::make(QStringLiteral("ann"), dir.path(), QStringLiteral("ann"), dir.path()));
        // Without override a disallowed category is not even offered.
        EXPECT_EQ(state.categoryManager()->categories().size(), governed ? 1 : DataCategory::allCategories().size());
    }
}

// A destination's staging runs under the profile's restore settings, else the
// front end's, else staged for 7 days.
TEST(ProfileGovernedSession, StagingTakesTheProfilesRestoreSettingsOverTheFrontEnds)
{
    struct Case {
        QVariantMap profile; // beside a presence key, unless empty
        std::optional<PrefRestoreMode> mode;
        std::optional<int> days;
        PrefRestoreMode expectedMode;
        int expectedDays;
    };
    const QString mode = QStringLiteral("kivo.prefRestoreMode"), days = QStringLiteral("kivo.prefRestoreWindowDays");
    using M = PrefRestoreMode;
    const QList<Case> cases = {
        {{}, std::nullopt, std::nullopt, M::staged, 7},
        {{}, M::manual, 3, M::manual, 3},
        {{{mode, QStringLiteral("immediate")}, {days, qint64(0)}}, M::manual, 3, M::immediate, 3}, // the reader takes 0 for no value
        {{{mode, QStringLiteral("later")}}, M::manual, std::nullopt, M::staged, 7},
        {{{days, qint64(14)}}, M::manual, 3, M::manual, 14},
    };
    for (qsizetype i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        QTemporaryDir dir;
        QVariantMap keys = c.profile;
        keys.insert(QStringLiteral("kivo.brandingName"), QStringLiteral("Example Org"));
        const QString profile = c.profile.isEmpty() ? dir.filePath(QStringLiteral("absent.plist")) : writeProfile(dir, keys);
        AppState state({dir.path(), {}, {}, 0, nullptr, profile});
        AdaptationOptions options;
        options.restoreMode = c.mode;
        options.restoreWindowDays = c.days;
        state.setAdaptationOptions(options);
        state.setDeviceRole(DeviceRole::destination);
        state.createTransferEngine(nullptr);
        EXPECT_EQ(state.stagedPrefService()->restoreMode(), c.expectedMode) << "case " << i;
        EXPECT_EQ(state.stagedPrefService()->restoreWindowDays(), c.expectedDays) << "case " << i;
        // Whatever the mode, settings of an app not installed here are written, not refused.
        const auto factory = &HandlerFactoryOf::handlerFactory;
        const auto appData = (state.transferEngine()->*factory)()(QStringLiteral("applicationData"), {});
        CategoryTransferHandler::Item gimp;
        gimp.relativePath = QStringLiteral("~/.config/GIMP/2.10/gimprc");
        EXPECT_TRUE(test::runTask(appData->preflightDestination({gimp})).isEmpty()) << "case " << i;
    }
}

// Managed mode starts once, only when the profile asks for it.
TEST(ProfileGovernedSession, OnlyAManagedProfileBootstrapsACoordinatorAndOnlyOnce)
{
    QTemporaryDir dir;
    AppState interactive({dir.path(), {}, {}, 0, nullptr, dir.filePath(QStringLiteral("absent.plist"))});
    EXPECT_FALSE(interactive.bootstrapManagedModeIfNeeded());
    EXPECT_EQ(interactive.managedCoordinator(), nullptr);

    // No principal: the run stops before any network activity.
    const QString profile = writeProfile(dir, {{QStringLiteral("kivo.brandingName"), QStringLiteral("Example Org")},
                                               {QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
                                               {QStringLiteral("kivo.deploymentRole"), QStringLiteral("destination")}});
    AppState managed({dir.path(), {}, {}, 0, nullptr, profile});
    EXPECT_TRUE(managed.bootstrapManagedModeIfNeeded());
    ManagedModeCoordinator* coordinator = managed.managedCoordinator();
    ASSERT_NE(coordinator, nullptr);
    EXPECT_FALSE(managed.bootstrapManagedModeIfNeeded());
    EXPECT_EQ(managed.managedCoordinator(), coordinator);
    ASSERT_TRUE(test::waitUntil([&] { return managed.managedExit().has_value(); }, std::chrono::seconds(10)));
    EXPECT_EQ(*managed.managedExit(), FlowExit::unusableInput);
}
