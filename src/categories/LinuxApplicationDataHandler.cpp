// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxApplicationDataHandler.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

LinuxApplicationDataHandler::LinuxApplicationDataHandler(QString homeFolder)
    : LinuxApplicationDataHandler(homeFolder, linuxInstallRootsFor(homeFolder), LinuxAppCatalog::shipped())
{
}

LinuxApplicationDataHandler::LinuxApplicationDataHandler(QString homeFolder, LinuxInstallRoots roots,
                                                         const LinuxAppCatalog& catalog)
    : ApplicationDataHandler(std::move(homeFolder)), m_roots(std::move(roots)), m_catalog(catalog)
{
}

QCoro::Task<QStringList> LinuxApplicationDataHandler::pathsToSend(QStringList)
{
    const QStringList chosen = missingAppDataSent();
    QFuture<LinuxAppDataScan> scanning = QtConcurrent::run(
        [home = home().home(), roots = m_roots, catalog = &m_catalog] {
            return scanLinuxAppData(home, scanLinuxInstalls(roots), *catalog);
        });
    LinuxAppDataScan scan = co_await scanning;
    {
        QMutexLocker lock(&m_mutex);
        m_lastScan = scan;
    }
    QStringList paths = scan.sentPaths();
    for (const QString& path : chosen)
        if (!paths.contains(path))
            paths.append(path);
    co_return paths;
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> LinuxApplicationDataHandler::preflightDestination(QList<Item> items)
{
    if (keepsPreferencesOfMissingApps())
        co_return QList<Refusal>{};
    QFuture<LinuxInstalls> lookup = QtConcurrent::run(&scanLinuxInstalls, m_roots);
    const LinuxInstalls installed = co_await lookup;
    co_return refusals(items, m_catalog, installed);
}

LinuxAppDataScan LinuxApplicationDataHandler::lastScan() const
{
    QMutexLocker lock(&m_mutex);
    return m_lastScan;
}

QList<CategoryTransferHandler::Refusal> LinuxApplicationDataHandler::refusals(const QList<Item>& items,
                                                                              const LinuxAppCatalog& catalog,
                                                                              const LinuxInstalls& installed)
{
    QList<Refusal> out;
    for (const Item& item : items) {
        const std::optional<AppPathOwner> owner = catalog.ownerOf(item.relativePath);
        if (owner && !installedFormatsOf(*owner->app, installed).any())
            out.append({item.relativePath, QStringLiteral("App not installed on destination")});
    }
    return out;
}

} // namespace kivo
