// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/ConflictPolicy.h"
#include "transfer/TransferManifest.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>
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
    // What a listing found, and the folders it could not read.
    struct Listing {
        QList<Item> items;
        QList<TransferManifest::SkippedFolder> skippedFolders;
        QList<TransferManifest::Entry> entries; // folders and links, which travel as themselves
    };
    // What finishing a category put in place: new entries, replaced ones, and
    // entries that could not be taken.
    struct ImportCounts {
        int imported = 0;
        int updated = 0;
        int failed = 0;
        // Received files the handler changed in place: they no longer hash as sent.
        QStringList adapted;
        // Entries the destination already had with another value, by name: kept or replaced.
        QStringList keptConflicts, replacedConflicts;
        bool operator==(const ImportCounts&) const = default;
    };

    virtual ~CategoryTransferHandler() = default;

    virtual QString categoryID() const = 0;
    // `paths` are "~/"-style. May throw.
    virtual QCoro::Task<QList<Item>> enumerateFiles(QStringList paths) = 0;
    // The same, with the folders that could not be read; a handler that walks folders says which.
    virtual QCoro::Task<Listing> enumerateListing(QStringList paths)
    {
        Listing listing;
        listing.items = co_await enumerateFiles(std::move(paths));
        co_return listing;
    }
    // absolutePath of every item that cannot be read.
    virtual QCoro::Task<QStringList> validateSourceAccess(QList<Item> items) = 0;
    virtual QCoro::Task<QList<Refusal>> preflightDestination(QList<Item> items) = 0;
    // The destination paths received for the category. May throw. What it
    // imported, or nothing for a handler that only places files.
    virtual QCoro::Task<std::optional<ImportCounts>> postImport(QStringList receivedFiles) = 0;
    // False for a handler whose postImport neither reads nor removes the received
    // files: it is then given none, and nothing is listed for it.
    virtual bool importsReceivedFiles() const { return true; }
    // What postImport does with entries the destination already has, for a
    // handler that merges into them rather than placing files.
    virtual void setConflictPolicy(ConflictPolicy) {}
};

} // namespace kivo
