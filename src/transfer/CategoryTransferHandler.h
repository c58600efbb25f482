#pragma once

#include "transfer/TransferManifest.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <utility>

namespace kivo {

// Per-category work beyond copying files: listing them on the source,
// checking them on both sides, finishing the category on the destination.
// The transfer engine keeps one handler per category id.
class CategoryTransferHandler {
public:
    using Item = TransferManifest::FileItem;
    // (path, reason) of an item that should not be written on this machine.
    using Refusal = std::pair<QString, QString>;

    virtual ~CategoryTransferHandler() = default;

    virtual QString categoryID() const = 0;
    // `paths` are "~/"-style. May throw.
    virtual QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) = 0;
    // absolutePath of every item that cannot be read.
    virtual QCoro::Task<QStringList> validateSourceAccess(QList<Item> items) = 0;
    virtual QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) = 0;
    // The destination paths received for the category. May throw.
    virtual QCoro::Task<void> postImport(QStringList receivedFiles) = 0;
};

} // namespace kivo
