// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/ApplicationDataHandler.h"
#include "categories/LinuxAppData.h"

#include <QMutex>

namespace kivo {

// "applicationData" of a Linux home: each installed application's own
// folders in whichever format it is installed (LinuxAppData.h). On the
// destination, data of applications not installed here is refused unless it
// is kept for later.
class LinuxApplicationDataHandler : public ApplicationDataHandler {
public:
    explicit LinuxApplicationDataHandler(QString homeFolder);
    LinuxApplicationDataHandler(QString homeFolder, LinuxInstallRoots roots, const LinuxAppCatalog& catalog);

    // The scan's own paths, with the missing apps' data chosen to go: the
    // category's folders hold much that is not sent.
    QCoro::Task<QStringList> pathsToSend(QStringList categoryPaths) override;
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;

    // What the last listing found; empty before one.
    LinuxAppDataScan lastScan() const;

    // Items of table apps with no format installed here.
    static QList<Refusal> refusals(const QList<Item>& items, const LinuxAppCatalog& catalog,
                                   const LinuxInstalls& installed);

private:
    LinuxInstallRoots m_roots;
    const LinuxAppCatalog& m_catalog;
    mutable QMutex m_mutex;
    LinuxAppDataScan m_lastScan;
};

} // namespace kivo
