// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/ConnectionKind.h"

#include "categories/CategoryProfile.h"
#include "managed/ManagedDeploymentConfig.h"
#include "transfer/ConflictPolicy.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTime>
#include <QUrl>
#include <QVariantMap>

#include <optional>

namespace kivo {


struct ClockTime {
    int hour = 0;
    int minute = 0;
    int minutesSinceMidnight() const { return hour * 60 + minute; }
    QString text() const; // "%02d:%02d"
    bool operator==(const ClockTime&) const = default;
};

// "HH:MM" with ASCII digits only, hour at most 23, minute below 60; none otherwise.
std::optional<ClockTime> parseTimeString(const QString& text);
// Either bound missing: always inside. Both bounds count as inside; a start
// after the end wraps past midnight.
bool isWithinWindow(const std::optional<ClockTime>& start, const std::optional<ClockTime>& end, QTime now);

// Something about a profile its author should fix: a value that is ignored or falls back.
struct ProfileFinding {
    QString key;
    QString message;
    bool operator==(const ProfileFinding&) const = default;
};

// Every key of the profile, typed, after its reading rule. The initial values
// are the permissive ones that apply when there is no profile at all.
struct ProfileValues {
    bool isProfilePresent = false;
    QStringList allowedDataCategories;
    std::optional<QString> brandingName;
    bool allowUserOverride = true;
    bool requireAdminApproval = false;
    std::optional<int> maxTransferSizeMB;
    QList<ConnectionType> allowedConnectionTypes = allConnectionTypes();
    std::optional<ClockTime> migrationWindowStart;
    std::optional<ClockTime> migrationWindowEnd;
    std::optional<QUrl> logMigrationsToEndpoint;
    std::optional<QUrl> brandingLogoURL;
    bool enableDemoMode = false;
    bool transferDataForMissingApps = false;
    bool engineeringToolsEnabled = true;
    bool engineeringToolsAuditReportInLog = true;
    bool engineeringToolsSensitiveOptInAllowed = true;
    bool engineeringToolsDevDirectoriesAllowed = true;
    std::optional<int> maxTransferMbps;
    std::optional<QString> conflictPolicy;
    std::optional<QString> prefRestoreMode;
    std::optional<int> prefRestoreWindowDays;
    std::optional<QString> mdmAppManifestPath;
    std::optional<QString> mdmAppManifestJSON;
    std::optional<QString> deploymentMode;
    std::optional<QString> deploymentRole;
    std::optional<QString> userPrincipal;
    std::optional<QString> migrationSource;
    QStringList migrationCategories;
    bool requireManagedSource = false;
    std::optional<QUrl> telemetryEndpoint;
    // Snapshot storage: read and kept only. The credentials among them are never shown.
    std::optional<QString> vaultStorageType, vaultBucketName, vaultRegion, vaultPrefix, vaultEndpoint, vaultCredentialARN,
        awsAccessKeyID, awsSecretAccessKey, vaultCredentialKeyID, vaultCredentialSecret;
    std::optional<QString> pairingSecret;
    bool allowUnverifiedPairing = false;
};

// A profile read from one domain: the values that apply, and for its author
// what each key read as (none as null, credentials as "(set)") and what to fix.
struct ProfileReading {
    ProfileValues values;
    QJsonObject shownValues;
    QList<ProfileFinding> findings;
};

// The whole reading, a pure function of the domain's contents.
ProfileReading readProfileDomain(const QVariantMap& domain);

// The domain as a file: its root dictionary, or why it cannot be used.
struct ProfileDomain {
    QString path;
    std::optional<QVariantMap> contents; // none: unreadable, malformed or not a dictionary
    QString error;                       // why not, naming the path
};
ProfileDomain openProfileDomain(const QString& path);
// KIVO_CONFIG_PROFILE when set and non-empty, else the system location.
QString effectiveProfilePath();

// The organisation's configuration, read once. Without a usable domain the
// permissive defaults apply and nothing is locked.
class ConfigurationProfileManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isProfilePresent READ isProfilePresent CONSTANT)
    Q_PROPERTY(bool allowUserOverride READ allowUserOverride CONSTANT)
    Q_PROPERTY(bool requireAdminApproval READ requireAdminApproval CONSTANT)
    Q_PROPERTY(QString brandingName READ brandingNameText CONSTANT)
    // What the screens show or lock; "" or 0 where the profile sets nothing.
    // The policy is the one it resolves to ("keepNewer" for "KEEPNEWER").
    Q_PROPERTY(QString conflictPolicy READ conflictPolicyText CONSTANT)
    Q_PROPERTY(int maxTransferMbps READ maxTransferMbpsValue CONSTANT)
    Q_PROPERTY(int maxTransferSizeMB READ maxTransferSizeMBValue CONSTANT)
    Q_PROPERTY(QStringList allowedConnectionTypes READ allowedConnectionTypeNames CONSTANT)
    Q_PROPERTY(bool enableDemoMode READ enableDemoMode CONSTANT)
    Q_PROPERTY(QString migrationWindowStart READ migrationWindowStartText CONSTANT)
    Q_PROPERTY(bool isManagedDeployment READ isManagedDeployment CONSTANT)
public:
    // Reads the domain at `path`; an empty path means the effective one.
    explicit ConfigurationProfileManager(QString path = {}, QObject* parent = nullptr);
    // From contents already at hand (tests, the check command).
    explicit ConfigurationProfileManager(const QVariantMap& domain, QObject* parent = nullptr);

    const QString& path() const { return m_domain.path; }
    // Why the domain could not be used; empty when it could (or when there was none to read).
    const QString& loadError() const { return m_domain.error; }
    const ProfileReading& reading() const { return m_reading; }
    const ProfileValues& values() const { return m_reading.values; }

    bool isProfilePresent() const { return values().isProfilePresent; }
    bool allowUserOverride() const { return values().allowUserOverride; }
    bool requireAdminApproval() const { return values().requireAdminApproval; }

    bool isCategoryAllowed(const QString& id) const;
    bool isConnectionTypeAllowed(ConnectionType type) const;
    bool isWithinMigrationWindow(const QDateTime& now) const;
    ManagedDeploymentConfig resolvedManagedDeployment() const;
    // The incoming-application manifest as JSON: the inline text wins over the file.
    std::optional<QJsonObject> loadMDMAppManifest() const;

    // What the session takes from the profile.
    CategoryProfile categoryProfile() const;
    // The profile's policy, matched without regard to case (unknown: skip); none when unset.
    std::optional<ConflictPolicy> conflictPolicyOverride() const;

    bool enableDemoMode() const { return values().enableDemoMode; }
    bool isManagedDeployment() const { return resolvedManagedDeployment().deploymentMode == DeploymentMode::managed; }
    Q_INVOKABLE bool isWithinMigrationWindowNow() const { return isWithinMigrationWindow(QDateTime::currentDateTime()); }

private:
    QString brandingNameText() const { return values().brandingName.value_or(QString()); }
    QString conflictPolicyText() const
    {
        const auto policy = conflictPolicyOverride();
        return policy ? toString(*policy) : QString();
    }
    int maxTransferMbpsValue() const { return values().maxTransferMbps.value_or(0); }
    int maxTransferSizeMBValue() const { return values().maxTransferSizeMB.value_or(0); }
    QString migrationWindowStartText() const
    {
        return values().migrationWindowStart ? values().migrationWindowStart->text() : QString();
    }
    QStringList allowedConnectionTypeNames() const
    {
        QStringList names;
        for (ConnectionType type : values().allowedConnectionTypes)
            names << toString(type);
        return names;
    }

    ProfileDomain m_domain;
    ProfileReading m_reading;
};

} // namespace kivo
