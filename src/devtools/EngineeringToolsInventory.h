// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

struct HomebrewInfo {
    bool installed = false;
    QString version;
    QString brewPath;
    bool isAppleSilicon = false;
    int formulaeCount = 0;
    int casksCount = 0;
    QString brewfileContents;
    QStringList outdatedPackages;
    std::uint64_t installSizeEstimate = 0;

    QJsonObject toJson() const;
    bool operator==(const HomebrewInfo&) const = default;
};

struct ShellConfigFile {
    QString filename;
    QString path;
    std::uint64_t size = 0;
    std::optional<QDateTime> lastModified;
    int hardcodedPathCount = 0;
    int pathExportCount = 0;

    QJsonObject toJson() const;
    bool operator==(const ShellConfigFile&) const = default;
};

struct DotfileEntry {
    QString name;
    QString path;
    std::uint64_t size = 0;
    bool exists = false;
    bool isSensitive = false;
    bool requiresOptIn = false;
    QString description;
    std::optional<QString> sensitivityReason;

    QJsonObject toJson() const;
    bool operator==(const DotfileEntry&) const = default;
};

struct GitRepo {
    QString name;
    QString path; // home-relative, "~/..."
    std::uint64_t sizeBytes = 0;

    QJsonObject toJson() const;
    bool operator==(const GitRepo&) const = default;
};

struct DevDirectory {
    QString name;
    QString path;
    std::uint64_t totalSize = 0;
    int fileCount = 0;
    int gitRepoCount = 0;
    QList<GitRepo> gitRepos;

    QJsonObject toJson() const;
    bool operator==(const DevDirectory&) const = default;
};

struct VersionManagerInfo {
    QString tool;
    QString configPath;
    QStringList managedVersions;

    QJsonObject toJson() const;
    bool operator==(const VersionManagerInfo&) const = default;
};

struct GlobalPackages {
    int npmGlobalsCount = 0;
    int pipPackagesCount = 0;
    int gemPackagesCount = 0;
    int cargoPackagesCount = 0;

    bool isEmpty() const { return !npmGlobalsCount && !pipPackagesCount && !gemPackagesCount && !cargoPackagesCount; }
    QJsonObject toJson() const;
    bool operator==(const GlobalPackages&) const = default;
};

struct XcodeInfo {
    bool installed = false;
    std::optional<QString> version;
    std::optional<QString> commandLineToolsPath;
    std::uint64_t simulatorDataSize = 0;

    QJsonObject toJson() const;
    bool operator==(const XcodeInfo&) const = default;
};

struct IDEInfo {
    QString product; // "VSCode", "Cursor", "Windsurf", "Xcode" or "JetBrains/<folder>"
    QString displayName;
    QString userDataPath;
    QString extensionsPath;
    QStringList extensions;
    std::uint64_t userDataSizeBytes = 0;

    QJsonObject toJson() const;
    bool operator==(const IDEInfo&) const = default;
};

// The distribution's own packages, installed beside the developer tools.
struct SystemPackages {
    QString manager; // "apt"
    QStringList manualPackages; // sorted

    QJsonObject toJson() const;
    bool operator==(const SystemPackages&) const = default;
};

struct EngineeringToolsInventory {
    std::optional<HomebrewInfo> homebrew;
    QList<ShellConfigFile> shellConfigs;
    QList<DotfileEntry> dotfiles;
    QList<DevDirectory> devDirectories;
    QList<VersionManagerInfo> versionManagers;
    std::optional<GlobalPackages> globalPackages;
    std::optional<XcodeInfo> xcode;
    QList<IDEInfo> ides;
    std::optional<SystemPackages> systemPackages;
    QString sourceArchitecture;

    // Nothing worth reporting was found.
    bool isEmpty() const;
    QJsonObject toJson() const;
    bool operator==(const EngineeringToolsInventory&) const = default;
};

// "arm64" or "x86_64", for the processor this program was built for.
QString currentArchitecture();

} // namespace kivo
