// SPDX-License-Identifier: Apache-2.0
#include "categories/UserFilesHandler.h"

namespace kivo {

UserFilesHandler::UserFilesHandler(QString homeFolder)
    : CategoryHandlerBase(QStringLiteral("userFiles"), std::move(homeFolder))
{
}

QCoro::Task<QList<CategoryTransferHandler::Item>> UserFilesHandler::enumerateFiles(QStringList paths)
{
    Listing listing = co_await listPaths(std::move(paths));
    co_return listing.items;
}

QCoro::Task<CategoryTransferHandler::Listing> UserFilesHandler::enumerateListing(QStringList paths)
{
    return listPaths(std::move(paths));
}

} // namespace kivo
