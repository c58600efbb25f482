// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "postmigration/AppInstallWatcher.h"
#include "postmigration/AppPrefMapper.h"
#include "postmigration/HomebrewWatcher.h"
#include "postmigration/MDMAppManifest.h"
#include "postmigration/PrefStager.h"
#include "transfer/TransferManifest.h"

#include <QObject>
#include <QVariantList>

#include <functional>
#include <memory>
#include <optional>

namespace kivo {

enum class PrefRestoreMode { immediate, staged, manual };
QString toString(PrefRestoreMode mode);
std::optional<PrefRestoreMode> prefRestoreModeFromString(const QString& text);

// Holds back received preferences of applications that are not installed
// yet and puts them back when the application appears (or when asked).
class StagedPrefService : public QObject {
    Q_OBJECT
    // The screens' view: plain values, bundles as {id, displayName, triggers, fileCount, stagedAt, expiresAt, expired, originatedFromMDM}.
    Q_PROPERTY(QString restoreMode READ restoreModeName NOTIFY settingsChanged)
    Q_PROPERTY(int restoreWindowDays READ restoreWindowDays NOTIFY settingsChanged)
    Q_PROPERTY(QVariantList staged READ stagedRows NOTIFY stagedChanged)
    Q_PROPERTY(QVariantList mdmIncomingApps READ incomingAppRows NOTIFY mdmIncomingAppsChanged)
    Q_PROPERTY(QString homebrewDetectedAt READ homebrewPath NOTIFY homebrewDetectedAtChanged)
public:
    StagedPrefService(std::unique_ptr<PrefStager> stager, std::unique_ptr<AppInstallWatcher> watcher,
                      QObject* parent = nullptr);
    StagedPrefService(std::unique_ptr<PrefStager> stager, std::unique_ptr<AppInstallWatcher> watcher,
                      std::unique_ptr<HomebrewWatcher> homebrew, QObject* parent = nullptr);
    ~StagedPrefService() override;

    PrefRestoreMode restoreMode() const { return m_restoreMode; }
    void setRestoreMode(PrefRestoreMode mode);
    int restoreWindowDays() const { return m_restoreWindowDays; }
    void setRestoreWindowDays(int days);
    const QList<StagedPrefBundle>& staged() const { return m_staged; }
    PrefStager& stager() { return *m_stager; }
    AppInstallWatcher& watcher() { return *m_watcher; }
    // Which app a received "~/" path belongs to, or nothing to leave it where it
    // landed; a Mac-shaped path's classification when not set.
    using Classifier = std::function<std::optional<AppPrefMapper::Classification>(const QString& relativePath)>;
    void setClassifier(Classifier classifier) { m_classifier = std::move(classifier); }
    // Where restored files go when their app appears: asked once per restore,
    // as what is installed decides it.
    void setRestorePlacement(std::function<PrefStager::Placement()> placement) { m_placement = std::move(placement); }
    // Where running processes are read (relocatable for tests).
    void setProcRoot(QString root) { m_procRoot = std::move(root); }

    // Discards expired bundles, lists the rest, reports installed apps, watches.
    void start();
    // Stages a finished application-data category's files; then applies the
    // bundles of applications installed already.
    void absorbCompletedFiles(const QString& categoryID, const QList<TransferManifest::FileItem>& items);
    Q_INVOKABLE bool applyManually(const QString& bundleKey);
    // Removes the bundle with its staged files; false for an unknown key.
    Q_INVOKABLE bool discard(const QString& bundleKey);
    void handleAppAppeared(const QString& bundleID, const QString& path = {});
    void refresh();
    // Kept for display; staging does not consult it.
    void registerMDMManifest(const MDMAppManifest& manifest);
    const QList<MDMAppManifest::IncomingApp>& mdmIncomingApps() const { return m_mdmIncomingApps; }
    const std::optional<QString>& homebrewDetectedAt() const { return m_homebrewDetectedAt; }

    QString restoreModeName() const { return toString(m_restoreMode); }
    QVariantList stagedRows() const;
    QVariantList incomingAppRows() const;
    QString homebrewPath() const { return m_homebrewDetectedAt.value_or(QString()); }

Q_SIGNALS:
    void settingsChanged();
    void stagedChanged();
    void mdmIncomingAppsChanged();
    void homebrewDetectedAtChanged();
    void bundleStaged(kivo::StagedPrefBundle bundle);
    void bundleApplied(QString bundleKey, QStringList restoredPaths);
    void warning(QString text);

private:
    void warnIfRunning(const QString& bundleID, const QString& appPath);

    std::unique_ptr<PrefStager> m_stager;
    std::unique_ptr<AppInstallWatcher> m_watcher;
    std::unique_ptr<HomebrewWatcher> m_homebrew;
    QList<MDMAppManifest::IncomingApp> m_mdmIncomingApps;
    std::optional<QString> m_homebrewDetectedAt;
    PrefRestoreMode m_restoreMode = PrefRestoreMode::staged;
    int m_restoreWindowDays = 30;
    QList<StagedPrefBundle> m_staged;
    QString m_procRoot = QStringLiteral("/proc");
    Classifier m_classifier;
    std::function<PrefStager::Placement()> m_placement;
};

} // namespace kivo
