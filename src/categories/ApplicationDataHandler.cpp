// SPDX-License-Identifier: Apache-2.0
#include "categories/ApplicationDataHandler.h"

#include "platform/InstalledApplications.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

const QString kPreferences = QStringLiteral("~/Library/Preferences/");
const QString kSupport = QStringLiteral("~/Library/Application Support/");

QFuture<QSet<QString>> startInstalledLookup(QString homeFolder)
{
    return QtConcurrent::run([homeFolder = std::move(homeFolder)] {
        QSet<QString> ids;
        for (const InstalledApplication& app : installedApplications(applicationFoldersFor(homeFolder)))
            ids.insert(app.bundleID);
        return ids;
    });
}

} // namespace

ApplicationDataHandler::ApplicationDataHandler(QString homeFolder)
    : CategoryHandlerBase(QStringLiteral("applicationData"), std::move(homeFolder))
{
}

QCoro::Task<QList<CategoryTransferHandler::Item>> ApplicationDataHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await enumerateListing(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> ApplicationDataHandler::enumerateListing(QStringList paths)
{
    QStringList sent = co_await pathsToSend(std::move(paths));
    co_return co_await listPaths(std::move(sent));
}

QCoro::Task<QStringList> ApplicationDataHandler::pathsToSend(QStringList categoryPaths)
{
    co_return categoryPaths;
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> ApplicationDataHandler::preflightDestination(QList<Item> items)
{
    if (m_keepMissing)
        co_return QList<Refusal>{};
    QFuture<QSet<QString>> lookup = startInstalledLookup(home().home());
    const QSet<QString> installed = co_await lookup;
    co_return refusals(items, installed);
}

QList<CategoryTransferHandler::Refusal> ApplicationDataHandler::refusals(const QList<Item>& items,
                                                                         const QSet<QString>& installed)
{
    QList<Refusal> out;
    for (const Item& item : items) {
        const QString& path = item.relativePath;
        const QString last = path.mid(path.lastIndexOf(u'/') + 1);
        const bool isPreference = path.contains(kPreferences) && last.endsWith(QLatin1String(".plist"));
        QString candidate;
        if (isPreference) {
            candidate = last.chopped(6);
        } else if (const qsizetype at = path.indexOf(kSupport); at >= 0) {
            const QString rest = path.mid(at + kSupport.size());
            candidate = rest.section(u'/', 0, 0);
            if (candidate.isEmpty())
                continue;
        } else {
            continue;
        }
        if (installed.contains(candidate) || candidate.startsWith(QLatin1String("com.apple."))
            || candidate.startsWith(QLatin1String(".Global")) || candidate == QLatin1String("NSGlobalDomain"))
            continue;
        // Only a vendor.app.name preference is surely one application's.
        if (isPreference && last.count(u'.') > 2)
            out.append({path, QStringLiteral("App not installed on destination")});
    }
    return out;
}

} // namespace kivo
