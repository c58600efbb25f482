// SPDX-License-Identifier: Apache-2.0
#include "categories/CategoryHandlerBase.h"

#include "categories/FileEnumeration.h"
#include "platform/FileSystem.h"
#include "transfer/Background.h"

#include <QCoroFuture>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

namespace kivo {

namespace {

// Futures are made outside the coroutines: g++ 12 mishandles lambda temporaries inside co_await.
QFuture<QStringList> startReadableCheck(QList<TransferManifest::FileItem> items)
{
    return QtConcurrent::run([items = std::move(items)]() mutable {
        QStringList unreadable;
        for (const auto& item : std::as_const(items))
            if (!fs::isReadable(item.absolutePath()))
                unreadable.append(item.absolutePath());
        // Let go before the answer is reported: the list may share the
        // manifest's, which the caller then changes and must not copy.
        items = {};
        return unreadable;
    });
}

QFuture<CategoryTransferHandler::Listing> startListing(QStringList paths, QString categoryID, UserFolders home)
{
    return QtConcurrent::run([paths = std::move(paths), id = std::move(categoryID), home = std::move(home)] {
        CategoryTransferHandler::Listing listing;
        files::appendCategoryItems(listing.items, paths, id, home, &listing.skippedFolders, &listing.entries);
        return listing;
    });
}

} // namespace

CategoryHandlerBase::CategoryHandlerBase(QString categoryID, QString homeFolder)
    : m_categoryID(std::move(categoryID)), m_home(std::move(homeFolder))
{
}

QCoro::Task<QStringList> CategoryHandlerBase::validateSourceAccess(QList<Item> items)
{
    QFuture<QStringList> check = startReadableCheck(std::move(items));
    co_return co_await check;
}

QCoro::Task<QList<CategoryTransferHandler::Refusal>> CategoryHandlerBase::preflightDestination(QList<Item>)
{
    co_return QList<Refusal>{};
}

QCoro::Task<std::optional<CategoryTransferHandler::ImportCounts>> CategoryHandlerBase::postImport(QStringList)
{
    co_return std::nullopt;
}

QCoro::Task<CategoryTransferHandler::Listing> CategoryHandlerBase::listPaths(QStringList paths)
{
    QFuture<Listing> listing = startListing(std::move(paths), m_categoryID, m_home);
    co_return co_await takeWhenFinished(std::move(listing));
}

} // namespace kivo
