// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AppInstallWatcher.h"

#include "platform/Logging.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

namespace kivo {

AppInstallWatcher::AppInstallWatcher(ApplicationFolders folders, QObject* parent)
    : QObject(parent), m_folders(std::move(folders))
{
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, &AppInstallWatcher::changed);
}

ApplicationFolders AppInstallWatcher::foldersFor(const QString& homeFolder, const QStringList& extraPaths,
                                                 bool includeDefaultRoots)
{
    ApplicationFolders folders;
    if (includeDefaultRoots)
        folders = applicationFoldersFor(homeFolder);
    for (const QString& extra : extraPaths) {
        folders.bundleFolders.append(extra);
        folders.desktopFolders.append(extra);
    }
    return folders;
}

QList<InstalledApplication> AppInstallWatcher::installedNow() const
{
    return installedApplications(m_folders);
}

void AppInstallWatcher::start()
{
    for (const QString& root : m_folders.bundleFolders)
        scanRoot(root);
    for (const QString& root : m_folders.desktopFolders)
        scanRoot(root);
    QStringList roots = m_folders.bundleFolders + m_folders.desktopFolders;
    roots.removeDuplicates();
    for (const QString& root : std::as_const(roots))
        watchTree(root);
    qCInfo(lcAppInstallWatcher, "Watching %s", qUtf8Printable(m_watcher.directories().join(QStringLiteral(", "))));
}

void AppInstallWatcher::watchTree(const QString& folder)
{
    if (!QFileInfo(folder).isDir()) {
        // Not there yet (a Flatpak installation's exports before its first app): its
        // nearest existing parent says when it appears.
        QString parent = QFileInfo(folder).path();
        while (parent.size() > 1 && !QFileInfo(parent).isDir())
            parent = QFileInfo(parent).path();
        if (parent.size() > 1)
            m_watcher.addPath(parent);
        return;
    }
    m_watcher.addPath(folder);
    // Desktop entries may sit in sub-folders ("a/b.desktop" is "a-b").
    if (m_folders.desktopFolders.contains(folder)) {
        QDirIterator it(folder, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString sub = it.next();
            if (!sub.endsWith(QLatin1String(".app")))
                m_watcher.addPath(sub);
        }
    }
}

void AppInstallWatcher::scanRoot(const QString& root)
{
    ApplicationFolders one;
    if (m_folders.bundleFolders.contains(root))
        one.bundleFolders.append(root);
    if (m_folders.desktopFolders.contains(root))
        one.desktopFolders.append(root);
    for (const InstalledApplication& app : installedApplications(one))
        report(app);
}

void AppInstallWatcher::changed(const QString& folder)
{
    // Something is being copied in: look once it has had a moment to settle.
    QTimer*& timer = m_pending[folder];
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, folder] {
            QString root;
            for (const QString& r : m_folders.bundleFolders + m_folders.desktopFolders) {
                if ((folder == r || folder.startsWith(r + u'/')) && r.size() > root.size())
                    root = r;
            }
            if (!root.isEmpty()) {
                watchTree(root);
                scanRoot(root);
                return;
            }
            // A parent of roots that did not exist yet.
            for (const QString& r : m_folders.bundleFolders + m_folders.desktopFolders) {
                if (r.startsWith(folder + u'/')) {
                    watchTree(r);
                    scanRoot(r);
                }
            }
        });
    }
    if (!timer->isActive())
        timer->start(m_settle);
}

void AppInstallWatcher::report(const InstalledApplication& app)
{
    if (app.bundleID.isEmpty() || m_seenBundleIDs.contains(app.bundleID))
        return;
    m_seenBundleIDs.insert(app.bundleID);
    Q_EMIT appAppeared(app.bundleID, app.path);
}

} // namespace kivo
