#include "categories/LayoutPathsHandler.h"

namespace kivo {

LayoutPathsHandler::LayoutPathsHandler(QString categoryID, QString homeFolder)
    : CategoryHandlerBase(std::move(categoryID), std::move(homeFolder))
{
}

QCoro::Task<QList<CategoryTransferHandler::Item>> LayoutPathsHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await listPaths(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> LayoutPathsHandler::enumerateListing(QStringList paths)
{
    return listPaths(std::move(paths));
}

} // namespace kivo
