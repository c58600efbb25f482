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
    // The files are in place once written: nothing to list after.
    bool importsReceivedFiles() const override { return false; }
};

} // namespace kivo
