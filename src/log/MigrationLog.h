// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

struct CategoryResult {
    enum class Status { success, failed, skipped, partial };
    QString categoryID;
    QString categoryName;
    std::uint64_t sizeBytes = 0;
    int filesCount = 0;
    Status status = Status::skipped;

    QJsonObject toJson() const;
    static CategoryResult fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const CategoryResult&) const = default;
};
QString toString(CategoryResult::Status status);

struct PathRewriteLogEntry {
    QString filePath;
    QString originalValue;
    QString rewrittenValue;

    QJsonObject toJson() const;
    static PathRewriteLogEntry fromJson(const QJsonObject& o);
    bool operator==(const PathRewriteLogEntry&) const = default;
};

struct ConflictLogEntry {
    QString relativePath;
    QString resolution;

    QJsonObject toJson() const;
    static ConflictLogEntry fromJson(const QJsonObject& o);
    bool operator==(const ConflictLogEntry&) const = default;
};

struct VersionManagerLogEntry {
    QString tool;
    int versionsManaged = 0;
    bool migrated = false;

    QJsonObject toJson() const;
    static VersionManagerLogEntry fromJson(const QJsonObject& o);
    bool operator==(const VersionManagerLogEntry&) const = default;
};

struct DevDirectoryLogEntry {
    QString path;
    double sizeGB = 0;
    int gitRepoCount = 0;
    bool migrated = false;

    QJsonObject toJson() const;
    static DevDirectoryLogEntry fromJson(const QJsonObject& o);
    bool operator==(const DevDirectoryLogEntry&) const = default;
};

// Part of the format; nothing fills it yet, but a log carrying it is read.
struct EngineeringToolsLogEntry {
    bool detected = false;
    bool homebrewInstalled = false;
    std::optional<QString> homebrewVersion;
    int homebrewFormulaeCount = 0;
    int homebrewCasksCount = 0;
    std::optional<QString> sourceArchitecture;
    std::optional<QString> destinationArchitecture;
    bool architectureMismatch = false;
    int homebrewOutdatedCount = 0;
    std::optional<QString> homebrewMigrationStrategy;
    QStringList shellConfigFilesFound;
    bool shellConfigHardcodedPathsDetected = false;
    bool sshKeysPresent = false, sshKeysMigrated = false;
    bool awsConfigPresent = false, awsConfigMigrated = false;
    bool kubeConfigPresent = false, kubeConfigMigrated = false;
    bool dockerConfigPresent = false, dockerConfigMigrated = false;
    bool npmrcPresent = false, npmrcMigrated = false;
    QList<VersionManagerLogEntry> versionManagers;
    QList<DevDirectoryLogEntry> devDirectories;
    int npmGlobalsCount = 0, pipPackagesCount = 0, gemPackagesCount = 0, cargoPackagesCount = 0;
    bool xcodeInstalled = false;
    std::optional<QString> xcodeVersion;
    bool cltInstalled = false;
    double simulatorDataSizeGB = 0;
    bool simulatorDataMigrated = false;
    bool checklistGenerated = false;

    QJsonObject toJson() const;
    static EngineeringToolsLogEntry fromJson(const QJsonObject& o);
    bool operator==(const EngineeringToolsLogEntry&) const = default;
};

struct IDEMigrationLogEntry {
    bool vscodeDetected = false;
    QStringList vscodeExtensions;
    bool cursorDetected = false;
    QStringList cursorExtensions;
    bool windsurfDetected = false;
    QStringList windsurfExtensions;
    QStringList jetbrainsProducts;
    bool xcodeUserDataMigrated = false;

    QJsonObject toJson() const;
    static IDEMigrationLogEntry fromJson(const QJsonObject& o);
    bool operator==(const IDEMigrationLogEntry&) const = default;
};

// What one migration did, on one machine.
struct MigrationLog {
    enum class Status { inProgress, completed, failed, cancelled };

    QString id;
    QString sourceSerialNumber;
    QString sourceHostname;
    QString destinationSerialNumber;
    QString destinationHostname;
    QDateTime timestampStart;
    std::optional<QDateTime> timestampEnd;
    QList<CategoryResult> categoriesTransferred;
    QString connectionType;
    bool profileApplied = false;
    std::optional<QString> profileIdentifier;
    Status overallStatus = Status::inProgress;
    bool userMappingApplied = false;
    std::optional<QString> sourceUsername;
    std::optional<QString> destinationUsername;
    QList<PathRewriteLogEntry> pathRewrites;
    std::optional<EngineeringToolsLogEntry> engineeringToolsAudit;
    std::uint64_t totalBytesTransferred = 0;
    int filesCompleted = 0;
    int filesFailed = 0;
    int filesSkipped = 0;
    int iCloudStubsSkipped = 0;
    std::uint64_t iCloudStubsBytesSkipped = 0;
    QList<ConflictLogEntry> conflictsResolved;
    std::optional<QString> conflictPolicy;
    int verificationFilesChecked = 0;
    int verificationFilesSkipped = 0;
    QStringList verificationMismatches;
    std::optional<IDEMigrationLogEntry> ideMigration;
    std::optional<int> maxTransferMbps;

    QJsonObject toJson() const;
    static MigrationLog fromJson(const QJsonObject& o); // throws DecodingError
    // Pretty-printed, keys sorted.
    QByteArray encoded() const;
    static MigrationLog decode(const QByteArray& bytes); // throws DecodingError
    bool operator==(const MigrationLog&) const = default;
};
QString toString(MigrationLog::Status status);

} // namespace kivo
