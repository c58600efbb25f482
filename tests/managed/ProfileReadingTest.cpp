// SPDX-License-Identifier: Apache-2.0
#include "managed/ConfigurationProfileManager.h"

#include <QDateTime>
#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace kivo;

namespace {

// A domain that counts as a profile, plus the keys under test.
QVariantMap profileWith(QVariantMap keys)
{
    keys.insert(QStringLiteral("kivo.brandingName"), QStringLiteral("Acme"));
    return keys;
}

bool hasFinding(const ProfileReading& r, const QString& key)
{
    for (const ProfileFinding& f : r.findings)
        if (f.key == key)
            return true;
    return false;
}

const QString kBool = QStringLiteral("kivo.requireAdminApproval");
const QString kCap = QStringLiteral("kivo.maxTransferMbps");

} // namespace

// What a switch or a number reads as, and a finding for each value that reads as neither.
TEST(ProfileReading, SwitchesAndNumbersReadLenientlyAndAnythingElseIsAFinding)
{
    const struct {
        QString key;
        QVariant value;
        QVariant expected; // invalid: no number
        bool finding;
    } cases[] = {
        {kBool, true, true, false},
        {kBool, qint64(0), false, false},
        {kBool, QStringLiteral("Yes"), true, false},
        {kBool, QStringLiteral("maybe"), false, true},
        {kBool, QVariantList{true}, false, true},
        {kCap, 8.9, 8, false},
        {kCap, QStringLiteral("12"), 12, false},
        {kCap, QStringLiteral("+8"), {}, true},
        {kCap, QStringLiteral("8 Mbps"), {}, true},
        {kCap, qint64(0), {}, true}, // below the floor of one
        {kCap, 0.5, {}, true},
        {kCap, true, {}, true},
        {kCap, qint64(1) << 40, std::numeric_limits<int>::max(), false},
    };
    for (const auto& c : cases) {
        const ProfileReading r = readProfileDomain(profileWith({{c.key, c.value}}));
        const QVariant read = c.key == kBool ? QVariant(r.values.requireAdminApproval)
                                             : r.values.maxTransferMbps ? QVariant(*r.values.maxTransferMbps) : QVariant();
        const std::string label = c.key.toStdString() + " = " + c.value.toString().toStdString();
        EXPECT_EQ(read, c.expected) << label;
        EXPECT_EQ(hasFinding(r, c.key), c.finding) << label;
    }
    // Absent leaves the permissive value; present-but-false overrides a true default.
    EXPECT_TRUE(readProfileDomain(profileWith({})).values.engineeringToolsEnabled);
    EXPECT_FALSE(readProfileDomain(profileWith({{QStringLiteral("kivo.engineeringToolsEnabled"), QStringLiteral("no")}}))
                     .values.engineeringToolsEnabled);
}

TEST(ProfileReading, TimesTakeAsciiDigitsOnly)
{
    EXPECT_EQ(parseTimeString(QStringLiteral("08:30")), (ClockTime{8, 30}));
    for (const char* bad : {"25:00", "12:60", "+8:00", " 8:00", "8", "8:00:00", ":30", "٨:٣٠", "0x8:00", "99999999999:00"})
        EXPECT_FALSE(parseTimeString(QString::fromUtf8(bad))) << bad;
}

TEST(ProfileReading, WindowBoundsAreInsideAndMayWrapPastMidnight)
{
    const auto t = [](int h, int m) { return QTime(h, m); };
    const ClockTime night{22, 0}, morning{6, 0}, nine{9, 0}, five{17, 0};
    EXPECT_TRUE(isWithinWindow(night, morning, t(23, 30)));
    EXPECT_FALSE(isWithinWindow(night, morning, t(12, 0)));
    EXPECT_TRUE(isWithinWindow(nine, five, t(17, 0)));
    EXPECT_FALSE(isWithinWindow(nine, five, t(17, 1)));
    EXPECT_TRUE(isWithinWindow(std::nullopt, five, t(23, 0)));

    // An invalid bound disables the check rather than blocking.
    const ConfigurationProfileManager profile(profileWith({{QStringLiteral("kivo.migrationWindowStart"), QStringLiteral("09:00")},
                                                           {QStringLiteral("kivo.migrationWindowEnd"), QStringLiteral("17:60")}}));
    EXPECT_TRUE(profile.isWithinMigrationWindow(QDateTime(QDate(2026, 1, 1), QTime(3, 0))));
}

TEST(ProfileReading, PresenceNeedsOneOfThreeKeys)
{
    const QVariantMap onlyMode{{QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
                               {QStringLiteral("kivo.userPrincipal"), QStringLiteral("ann")}};
    const ConfigurationProfileManager absent(onlyMode);
    EXPECT_FALSE(absent.isProfilePresent());
    EXPECT_EQ(absent.resolvedManagedDeployment().deploymentMode, DeploymentMode::interactive);
    EXPECT_TRUE(hasFinding(absent.reading(), QStringLiteral("kivo.deploymentMode")));

    for (const QVariantMap& domain :
         {QVariantMap{{QStringLiteral("kivo.allowUserOverride"), false}},
          QVariantMap{{QStringLiteral("kivo.allowedDataCategories"), QVariantList{}}},
          QVariantMap{{QStringLiteral("kivo.brandingName"), QStringLiteral("")}}})
        EXPECT_TRUE(ConfigurationProfileManager(domain).isProfilePresent()) << domain.firstKey().toStdString();
}

TEST(ProfileReading, ListsTextUrlsAndUnknownKeys)
{
    const ProfileReading r = readProfileDomain(profileWith({
        {QStringLiteral("kivo.allowedDataCategories"), QVariantList{QStringLiteral("userFiles"), qint64(3)}},
        {QStringLiteral("kivo.allowedConnectionTypes"), QVariantList{QStringLiteral("usb")}},
        {QStringLiteral("kivo.migrationCategories"), QVariantList{QStringLiteral("userFiles"), QStringLiteral("photos")}},
        {QStringLiteral("kivo.userPrincipal"), qint64(7)},
        {QStringLiteral("kivo.telemetryEndpoint"), QStringLiteral("ftp://t.example/x")},
        {QStringLiteral("kivo.logMigrationsToEndpoint"), QStringLiteral("https://log.example/in")},
        {QStringLiteral("kivo.brandingLogoURL"), QStringLiteral("file:///logo.png")},
        {QStringLiteral("kivo.colour"), QStringLiteral("blue")},
        {QStringLiteral("PayloadUUID"), QStringLiteral("ignored")},
    }));
    EXPECT_TRUE(r.values.allowedDataCategories.isEmpty());
    EXPECT_EQ(r.values.allowedConnectionTypes, allConnectionTypes());
    EXPECT_EQ(r.values.migrationCategories, (QStringList{QStringLiteral("userFiles"), QStringLiteral("photos")}));
    EXPECT_FALSE(r.values.userPrincipal);
    EXPECT_FALSE(r.values.telemetryEndpoint);
    EXPECT_EQ(r.values.logMigrationsToEndpoint, QUrl(QStringLiteral("https://log.example/in")));
    EXPECT_TRUE(r.values.brandingLogoURL);
    for (const char* key : {"kivo.allowedDataCategories", "kivo.allowedConnectionTypes", "kivo.migrationCategories",
                            "kivo.userPrincipal", "kivo.telemetryEndpoint", "kivo.colour"})
        EXPECT_TRUE(hasFinding(r, QString::fromLatin1(key))) << key;
    EXPECT_FALSE(hasFinding(r, QStringLiteral("PayloadUUID")));
}

TEST(ProfileReading, ManagedDeploymentDerivation)
{
    const auto resolve = [](QVariantMap keys) {
        return ConfigurationProfileManager(profileWith(std::move(keys))).resolvedManagedDeployment();
    };
    const QString secret = QStringLiteral("0123456789abcdef");
    const ManagedDeploymentConfig full = resolve({{QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
                                                  {QStringLiteral("kivo.userPrincipal"), QStringLiteral("  ann@acme.example ")},
                                                  {QStringLiteral("kivo.deploymentRole"), QStringLiteral("source")},
                                                  {QStringLiteral("kivo.migrationSource"), QStringLiteral("thunderbolt")},
                                                  {QStringLiteral("kivo.pairingSecret"), secret}});
    EXPECT_EQ(std::tuple(full.deploymentMode, full.deploymentRole, full.migrationSource),
              std::tuple(DeploymentMode::managed, DeploymentRole::source, ManagedMigrationSource::thunderbolt));
    EXPECT_EQ(full.shortUsername(), QStringLiteral("ann"));
    EXPECT_TRUE(full.missingRequiredKeys().isEmpty());
    EXPECT_EQ(full.toJson().value(QStringLiteral("pairingSecret")).toString(), QStringLiteral("(set)"));

    const ManagedDeploymentConfig loose = resolve({{QStringLiteral("kivo.deploymentMode"), QStringLiteral("Managed")},
                                                   {QStringLiteral("kivo.deploymentRole"), QStringLiteral("Source")},
                                                   {QStringLiteral("kivo.migrationSource"), QStringLiteral("Bonjour")}});
    EXPECT_EQ(std::tuple(loose.deploymentMode, loose.deploymentRole, loose.migrationSource),
              std::tuple(DeploymentMode::interactive, DeploymentRole::destination, ManagedMigrationSource::automatic));
    EXPECT_TRUE(loose.missingRequiredKeys().isEmpty()); // only managed mode requires anything

    const ManagedDeploymentConfig blank = resolve({{QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
                                                   {QStringLiteral("kivo.userPrincipal"), QStringLiteral("   ")},
                                                   {QStringLiteral("kivo.pairingSecret"), secret.left(15)}});
    EXPECT_FALSE(blank.shortUsername());
    EXPECT_FALSE(blank.pairingSecret); // too short to stand in for a person
    EXPECT_EQ(blank.missingRequiredKeys(), (QStringList{QStringLiteral("kivo.userPrincipal"), QStringLiteral("kivo.pairingSecret")}));

    const ManagedDeploymentConfig unverified = resolve({{QStringLiteral("kivo.deploymentMode"), QStringLiteral("managed")},
                                                        {QStringLiteral("kivo.userPrincipal"), QStringLiteral("bob")},
                                                        {QStringLiteral("kivo.allowUnverifiedPairing"), true}});
    EXPECT_TRUE(unverified.missingRequiredKeys().isEmpty());
    EXPECT_EQ(unverified.shortUsername(), QStringLiteral("bob"));
}

TEST(ProfileReading, CredentialsAreNeverShown)
{
    const QString secret = QStringLiteral("s3cr3t-s3cr3t-s3cr3t");
    QVariantMap keys;
    for (const char* key : {"kivo.awsAccessKeyID", "kivo.awsSecretAccessKey", "kivo.vaultCredentialKeyID",
                            "kivo.vaultCredentialSecret", "kivo.vaultCredentialARN", "kivo.pairingSecret"})
        keys.insert(QString::fromLatin1(key), secret);
    const ConfigurationProfileManager profile(profileWith(keys));
    const QByteArray shown = QJsonDocument(profile.reading().shownValues).toJson()
        + QJsonDocument(profile.resolvedManagedDeployment().toJson()).toJson();
    EXPECT_FALSE(shown.contains(secret.toUtf8()));
    EXPECT_EQ(profile.reading().shownValues.value(QStringLiteral("kivo.awsSecretAccessKey")).toString(), QStringLiteral("(set)"));
    EXPECT_EQ(profile.values().awsSecretAccessKey, secret); // kept for the vault, only not shown
}

TEST(ProfileReading, SessionOverrides)
{
    const auto policy = [](QVariant v) {
        return ConfigurationProfileManager(profileWith({{QStringLiteral("kivo.conflictPolicy"), v}})).conflictPolicyOverride();
    };
    EXPECT_EQ(policy(QStringLiteral("keepnewer")), ConflictPolicy::keepNewer);
    EXPECT_EQ(policy(QStringLiteral("sideways")), ConflictPolicy::skip);
    EXPECT_FALSE(ConfigurationProfileManager(profileWith({})).conflictPolicyOverride());

    const ConfigurationProfileManager locked(profileWith({{QStringLiteral("kivo.allowedDataCategories"), QVariantList{QStringLiteral("userFiles")}},
                                                          {QStringLiteral("kivo.allowUserOverride"), false}}));
    EXPECT_TRUE(locked.isCategoryAllowed(QStringLiteral("userFiles")));
    EXPECT_FALSE(locked.isCategoryAllowed(QStringLiteral("keychain")));
    EXPECT_FALSE(locked.categoryProfile().allowUserOverride);
    EXPECT_TRUE(ConfigurationProfileManager(QVariantMap{}).isCategoryAllowed(QStringLiteral("keychain")));
}
