// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UserFolders.h"
#include "transfer/CategoryTransferHandler.h"

namespace kivo {

// What every handler shares: readable-file check on the source, no refusals
// and nothing to import unless a handler has its own.
class CategoryHandlerBase : public CategoryTransferHandler {
public:
    CategoryHandlerBase(QString categoryID, QString homeFolder);

    QString categoryID() const override { return m_categoryID; }
    const UserFolders& home() const { return m_home; }

    // The absolutePath of each item the file system reports unreadable, in item order.
    QCoro::Task<QStringList> validateSourceAccess(QList<Item> items) override;
    QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) override;
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;

protected:
    // The default walk of "~/" paths on the thread pool: listed files as listed, folders recursively.
    QCoro::Task<Listing> listPaths(QStringList paths);

private:
    QString m_categoryID;
    UserFolders m_home;
};

} // namespace kivo
