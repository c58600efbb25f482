// SPDX-License-Identifier: Apache-2.0
#include "categories/KeychainHandler.h"
#include "platform/DiskEncryption.h"
#include "platform/PowerSources.h"
#include "preflight/MDMSafetyCheck.h"
#include "preflight/PreflightChecker.h"
#include "preflight/SpaceValidator.h"
#include "../categories/TreeFixture.h"
#include "support/ProfileWriter.h"

#include <QProcess>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

constexpr std::uint64_t GB = 1'000'000'000;

} // namespace

// A machine of our own making: sysfs, process table, profile and tools live in the fixture.
class ChecksTest : public TreeFixture {
protected:
    void SetUp() override
    {
        TreeFixture::SetUp();
        makeDir("home");
        env.sysfsRoot = at("sys");
        env.procRoot = at("proc");
        env.profilePath = at("etc/com.kivo.config.plist");
        env.systemRoot = at("root");
        makeDir("sys/class/power_supply");
        makeDir("proc");
    }
    void supply(const QString& name, const QMap<QString, QString>& attributes)
    {
        for (auto it = attributes.begin(); it != attributes.end(); ++it)
            makeText("sys/class/power_supply/" + name + "/" + it.key(), it.value() + "\n");
    }
    void makeText(const QString& relative, const QString& text)
    {
        writeBytes(at(relative), text.toUtf8());
    }
    // A property list written by an independent writer.
    void writeProfile(const char* format)
    {
        test::writeProfile(env.profilePath, {{"kivo.conflictPolicy", "skip"}}, QByteArrayView(format) == "FMT_BINARY");
    }
    PreflightResult check(std::uint64_t manifest = 0, std::optional<std::uint64_t> free = 100 * GB)
    {
        PreflightInputs in;
        in.manifestSize = manifest;
        in.sourceHome = at("home");
        in.destinationFreeBytes = free;
        in.destinationIsLocal = false;
        return runPreflightChecks(in, env);
    }

    CheckEnvironment env;
};

TEST(SpaceValidation, SeveritiesAndAnUnreadableVolume)
{
    EXPECT_EQ(SpaceValidationResult::classify(10 * GB, 15 * GB, 100 * GB).severity, SpaceValidationResult::Severity::tight);
    EXPECT_EQ(SpaceValidationResult::classify(10 * GB, 25 * GB, 0).severity, SpaceValidationResult::Severity::plenty);
    const auto short_ = SpaceValidationResult::classify(10 * GB, 10'500'000'000, 0);
    EXPECT_EQ(short_.severity, SpaceValidationResult::Severity::insufficient);
    EXPECT_EQ(short_.shortfallBytes, 500'000'000u);

    SpaceValidator validator;
    validator.validate(1, QStringLiteral("/nonexistent/volume"));
    EXPECT_TRUE(validator.queryFailed());
    EXPECT_FALSE(validator.result());
    validator.validate(1, {}, 5);
    EXPECT_FALSE(validator.queryFailed());
    EXPECT_EQ(validator.result()->availableBytes, 5u);
}

TEST_F(ChecksTest, FreeSpaceNeedsTheManifestAndTenPercent)
{
    EXPECT_TRUE(check(100 * GB, 110 * GB).blockers.isEmpty());
    const PreflightResult blocked = check(100 * GB, 110 * GB - 1);
    EXPECT_FALSE(blocked.destinationSpaceAvailable);
    EXPECT_EQ(blocked.blockers, QStringList{"Destination has 110 GB free; 110 GB needed (with 10% buffer)."});
    // A destination whose disk cannot be read here never blocks.
    const PreflightResult unknown = check(100 * GB, std::nullopt);
    EXPECT_TRUE(unknown.destinationSpaceAvailable);
    EXPECT_EQ(unknown.destinationFreeBytes, 0u);
}

TEST_F(ChecksTest, PowerFromTheSupplyClass)
{
    EXPECT_TRUE(check().sourcePowerConnected); // no supply at all: mains
    supply("hidpp_battery_0", {{"type", "Battery"}, {"scope", "Device"}, {"status", "Discharging"}});
    EXPECT_TRUE(check().sourcePowerConnected) << "a mouse's battery is not the machine's";
    supply("BAT0", {{"type", "Battery"}, {"status", "Discharging"}});
    const PreflightResult onBattery = check();
    EXPECT_FALSE(onBattery.sourcePowerConnected);
    supply("AC", {{"type", "Mains"}, {"online", "1"}});
    EXPECT_TRUE(check().sourcePowerConnected);
}

TEST_F(ChecksTest, EnrolmentFromTheProfileAndTheDestinationsPlace)
{
    const QString notEnrolled = "Destination Mac is not MDM-enrolled. Migration will continue but admin policy won't apply.";
    EXPECT_TRUE(check().warnings.contains(notEnrolled));
    makeDir("etc");
    writeProfile("FMT_BINARY");
    EXPECT_FALSE(check().warnings.contains(notEnrolled));
    EXPECT_TRUE(checkDestination(at("home"), env).isEnrollmentIntact);
    writeBytes(env.profilePath, "bplist00\x01garbage");
    EXPECT_TRUE(check().warnings.contains(notEnrolled));

    const MDMSafetyResult odd = checkDestination(at("root/var/db/MDM/ann"), env);
    EXPECT_EQ(odd.warnings.size(), 3) << odd.warnings.join(u'|').toStdString();
}

TEST_F(ChecksTest, EncryptedVolumesThroughTheirDeviceMapping)
{
    // LVM on LUKS: the home's device is a plain mapping whose slave is the crypt one.
    makeText("sys/dev/block/254:1/dm/uuid", "LVM-abc\n");
    makeDir("sys/dev/block/254:1/slaves");
    makeText("sys/dev/block/254:0/dm/uuid", "CRYPT-LUKS2-0123-root\n");
    makeLink(at("sys/dev/block/254:0"), "sys/dev/block/254:1/slaves/dm-0");
    makeText("sys/dev/block/8:1/uevent", "DEVNAME=sda1\n");
    EXPECT_TRUE(isEncryptedBlockDevice("254:1", env.sysfsRoot));
    EXPECT_FALSE(isEncryptedBlockDevice("8:1", env.sysfsRoot));
    EXPECT_FALSE(isEncryptedBlockDevice("9:9", env.sysfsRoot));
}

TEST_F(ChecksTest, PlaceholdersInTheUserFoldersAndAnUnreadableHome)
{
    makeFile("home/Documents/.Notes.pages.icloud", 3 << 20);
    makeFile("home/Desktop/deep/.a.icloud", 1 << 19);
    makeFile("home/Library/.elsewhere.icloud", 10);
    const PreflightResult r = check();
    EXPECT_EQ(r.iCloudStubCount, 2);

    // Root reads every folder; the end-to-end run as nobody covers it there.
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(at("home")).constData(), 0), 0);
        const PreflightResult unreadable = check();
        ::chmod(QFile::encodeName(at("home")).constData(), 0755);
        EXPECT_EQ(unreadable.blockers, QStringList{"Cannot read source home folder — grant Full Disk Access to kivo."});
    }
}

// A keychain that cannot be read blocks only a selection that holds it, in the
// service's words and under the name the home gives it; the result says which
// blocker is the keychain's, beside one that is not.
TEST_F(ChecksTest, AnUnreadableKeychainBlocksASelectionWithIt)
{
    QString reason;
    env.keychainProblem = [&reason](HomeLayoutKind layout) {
        return reason.isEmpty() ? QString() : KeychainHandler::unreadableText(reason, layout);
    };
    const auto run = [this](bool includesKeychain, HomeLayoutKind layout) {
        PreflightInputs in;
        in.manifestSize = GB;
        in.sourceHome = at("home");
        in.destinationFreeBytes = 0;
        in.destinationIsLocal = false;
        in.includesKeychain = includesKeychain;
        in.layout = layout;
        return runPreflightChecks(in, env);
    };
    const PreflightResult readable = run(true, HomeLayoutKind::Linux);
    EXPECT_TRUE(readable.keychainChecked);
    EXPECT_EQ(readable.keychainBlocker, QString());
    ASSERT_EQ(readable.blockers.size(), 1);
    const QString noSpace = readable.blockers.constFirst();
    EXPECT_TRUE(noSpace.startsWith(QStringLiteral("Destination has "))) << noSpace.toStdString();

    reason = "No Secret Service is available.";
    struct Case {
        HomeLayoutKind layout;
        QString blocker;
    };
    for (const Case& c : {
             Case{HomeLayoutKind::Linux,
                  "Passwords and Keys cannot be read on this computer: no Secret Service is available. Run kivo-cli "
                  "inside your desktop session with the keyring unlocked, or leave Passwords and Keys out by naming "
                  "the other categories with --categories."},
             Case{HomeLayoutKind::MacOS,
                  "Keychain cannot be read on this computer: no Secret Service is available. Run kivo-cli inside your "
                  "desktop session with the keyring unlocked, or leave Keychain out by naming the other categories "
                  "with --categories."},
         }) {
        const PreflightResult r = run(true, c.layout);
        EXPECT_EQ(r.keychainBlocker, c.blocker);
        EXPECT_EQ(r.blockers, (QStringList{noSpace, c.blocker}));
    }
    const PreflightResult notSelected = run(false, HomeLayoutKind::Linux);
    EXPECT_FALSE(notSelected.keychainChecked);
    EXPECT_EQ(notSelected.blockers, QStringList{noSpace});
}
