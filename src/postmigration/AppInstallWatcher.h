// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/InstalledApplications.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <chrono>

namespace kivo {

// Notices applications appearing: bundles (Name.app) and desktop entries in
// the folders it watches. Each identifier is reported once.
class AppInstallWatcher : public QObject {
    Q_OBJECT
public:
    explicit AppInstallWatcher(ApplicationFolders folders, QObject* parent = nullptr);

    // The folders a home sees, plus `extraPaths` (searched for both kinds).
    static ApplicationFolders foldersFor(const QString& homeFolder, const QStringList& extraPaths, bool includeDefaultRoots);

    const ApplicationFolders& folders() const { return m_folders; }
    // Everything installed now, whether reported before or not.
    QList<InstalledApplication> installedNow() const;
    // Reports what is there, then watches for more.
    void start();
    // Reports new applications found in one watched folder.
    void scanRoot(const QString& root);
    void setSettleDelay(std::chrono::milliseconds delay) { m_settle = delay; }

Q_SIGNALS:
    void appAppeared(QString bundleID, QString path);

private:
    void changed(const QString& folder);
    void report(const InstalledApplication& app);
    void watchTree(const QString& folder);

    ApplicationFolders m_folders;
    QFileSystemWatcher m_watcher;
    QSet<QString> m_seenBundleIDs;
    QHash<QString, QTimer*> m_pending;
    std::chrono::milliseconds m_settle{500};
};

} // namespace kivo
