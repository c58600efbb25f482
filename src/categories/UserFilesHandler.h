// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/CategoryHandlerBase.h"

namespace kivo {

// "userFiles": the listed home sub-folders as they are.
class UserFilesHandler : public CategoryHandlerBase {
public:
    explicit UserFilesHandler(QString homeFolder);

    QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) override;
    QCoro::Task<Listing> enumerateListing(QStringList paths) override;
    // Makes sure each received file's folder exists; a folder that cannot be made is passed over.
    QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) override;
};

} // namespace kivo
