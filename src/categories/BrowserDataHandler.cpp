// SPDX-License-Identifier: Apache-2.0
#include "categories/BrowserDataHandler.h"

#include "categories/FileEnumeration.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "transfer/Background.h"

#include <QCoroFuture>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

namespace kivo {

namespace {

QFuture<CategoryTransferHandler::Listing> startBrowserListing(UserFolders home, QString categoryID)
{
    return QtConcurrent::run([home = std::move(home), id = std::move(categoryID)] {
        CategoryTransferHandler::Listing listing;
        for (const auto& browser : BrowserDataHandler::browsers()) {
            for (const QString& path : browser.paths) {
                const QString expanded = home.expandTilde(path);
                if (const auto status = fs::status(expanded, fs::Links::follow); status && status->isDirectory())
                    files::appendDirectoryItems(listing.items, expanded, id, home, &listing.skippedFolders);
            }
        }
        return listing;
    });
}

QFuture<QStringList> startRunningCheck(const BrowserDataHandler* handler)
{
    return QtConcurrent::run([handler] { return handler->runningBrowsers(); });
}

} // namespace

const QList<BrowserDataHandler::BrowserInfo>& BrowserDataHandler::browsers()
{
    static const QList<BrowserInfo> list = {
        {QStringLiteral("Safari"), QStringLiteral("Safari"), {QStringLiteral("~/Library/Safari")}},
        {QStringLiteral("Google Chrome"), QStringLiteral("Google Chrome"),
         {QStringLiteral("~/Library/Application Support/Google/Chrome")}},
        {QStringLiteral("Firefox"), QStringLiteral("firefox"),
         {QStringLiteral("~/Library/Application Support/Firefox/Profiles")}},
        {QStringLiteral("Arc"), QStringLiteral("Arc"), {QStringLiteral("~/Library/Application Support/Arc")}},
    };
    return list;
}

BrowserDataHandler::BrowserDataHandler(QString homeFolder, QString procRoot)
    : CategoryHandlerBase(QStringLiteral("browserData"), std::move(homeFolder)), m_procRoot(std::move(procRoot))
{
}

QCoro::Task<QList<CategoryTransferHandler::Item>> BrowserDataHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await enumerateListing(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> BrowserDataHandler::enumerateListing(QStringList)
{
    QFuture<Listing> listing = startBrowserListing(home(), categoryID());
    co_return co_await takeWhenFinished(std::move(listing));
}

QStringList BrowserDataHandler::runningBrowsers() const
{
    const QList<RunningProcess> processes = runningProcesses(m_procRoot);
    const std::optional<unsigned> owner = ownerOf(home().home());
    QStringList out;
    if (!owner)
        return out;
    for (const auto& browser : browsers())
        if (isProcessRunning(processes, *owner, browser.processName))
            out.append(browser.processName);
    return out;
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> BrowserDataHandler::preflightDestination(QList<Item> items)
{
    QFuture<QStringList> check = startRunningCheck(this);
    const QStringList running = co_await check;
    co_return refusals(items, [&running](const QString& name) { return running.contains(name); });
}

QList<CategoryTransferHandler::Refusal> BrowserDataHandler::refusals(const QList<Item>& items,
                                                                     const std::function<bool(const QString&)>& isRunning)
{
    QList<Refusal> out;
    for (const Item& item : items) {
        for (const auto& browser : browsers()) {
            const bool under = std::any_of(browser.paths.begin(), browser.paths.end(), [&](const QString& p) {
                return item.relativePath == p || item.relativePath.startsWith(p + u'/');
            });
            if (!under)
                continue;
            if (isRunning(browser.processName))
                out.append({item.relativePath, browser.name + QStringLiteral(" must be closed before transferring its data")});
            break;
        }
    }
    return out;
}

} // namespace kivo
