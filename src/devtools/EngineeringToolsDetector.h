// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "devtools/EngineeringToolsInventory.h"
#include "platform/DeveloperToolPaths.h"

#include <QCoroTask>
#include <QObject>

#include <chrono>

namespace kivo {

// What the detector runs against; tests point the tools at stand-ins.
struct DetectorSettings {
    DeveloperToolPaths tools = DeveloperToolPaths::system();
    // Each external command gets this long; a hung one is killed with its children.
    std::chrono::milliseconds commandTimeout{30000};
    QString architecture = currentArchitecture();
};

// The fixed tables of what is looked for.
struct DotfileRow {
    const char* name;
    bool sensitive;
    const char* description;
    const char* reason; // null for the ordinary ones
};
const QList<DotfileRow>& dotfileTable();
const QStringList& shellStartupFiles();
const QStringList& devDirectoryNames();
// What a dotfile row carries, relative to the home folder. ~/.config is also where
// browsers, applications and the desktop keep theirs, which their own categories
// (and the profile's rules for them) decide on: ".config" carries only the
// developer tools' folders in it.
QStringList dotfilePaths(const QString& name);

// The user's developer environment, found by looking at a home folder and
// asking the tools installed for it. Main-thread object; the probes run on
// threads of their own and the result is published here.
class EngineeringToolsDetector : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(bool hasScanned READ hasScanned NOTIFY hasScannedChanged)
    Q_PROPERTY(bool homebrewInstalled READ homebrewInstalled NOTIFY inventoryChanged)
    Q_PROPERTY(bool xcodeInstalled READ xcodeInstalled NOTIFY inventoryChanged)
public:
    explicit EngineeringToolsDetector(DetectorSettings settings = {}, QObject* parent = nullptr);

    const EngineeringToolsInventory& inventory() const { return m_inventory; }
    bool homebrewInstalled() const { return m_inventory.homebrew && m_inventory.homebrew->installed; }
    bool xcodeInstalled() const { return m_inventory.xcode && m_inventory.xcode->installed; }
    bool isScanning() const { return m_isScanning; }
    bool hasScanned() const { return m_hasScanned; }
    const DetectorSettings& settings() const { return m_settings; }

    // An inventory taken elsewhere (a demonstration's), in place of a look at a home.
    void useInventory(EngineeringToolsInventory inventory);
    // Replaces the inventory with a fresh look at `homeFolder`. Never throws.
    QCoro::Task<void> scan(QString homeFolder, QString username, bool includeDevDirectories);

    // The whole look, blocking, with the probes running side by side. Thread-safe.
    static EngineeringToolsInventory inspect(const QString& homeFolder, const QString& username,
                                             bool includeDevDirectories, const DetectorSettings& settings);

    // The probes, each blocking and degrading to absence.
    static std::optional<HomebrewInfo> scanHomebrew(const DetectorSettings& settings);
    static QList<ShellConfigFile> scanShellConfigs(const QString& homeFolder, const QString& username,
                                                   const DetectorSettings& settings);
    static QList<DotfileEntry> scanDotfiles(const QString& homeFolder, bool includeSensitive);
    static QList<DevDirectory> scanDevDirectories(const QString& homeFolder);
    static QList<VersionManagerInfo> scanVersionManagers(const QString& homeFolder, const DetectorSettings& settings);
    static GlobalPackages scanGlobalPackages(const QString& homeFolder, const DetectorSettings& settings);
    static std::optional<XcodeInfo> scanXcode(const QString& homeFolder, const DetectorSettings& settings);
    static QList<IDEInfo> scanIDEs(const QString& homeFolder, const DetectorSettings& settings);
    static std::optional<SystemPackages> scanSystemPackages(const DetectorSettings& settings);

    // Output readers, one per tool.
    struct ShellCounts {
        int hardcodedPaths = 0;
        int pathExports = 0;
    };
    static ShellCounts countShellLines(const QString& text, const QStringList& homePatterns);
    static int countNpmGlobals(const QString& output);
    static int countPipPackages(const QString& output);
    static int countNonEmptyLines(const QString& output);
    static QStringList bareVersions(const QString& output);

Q_SIGNALS:
    void inventoryChanged();
    void isScanningChanged();
    void hasScannedChanged();

private:
    DetectorSettings m_settings;
    EngineeringToolsInventory m_inventory;
    bool m_isScanning = false;
    bool m_hasScanned = false;
};

} // namespace kivo
