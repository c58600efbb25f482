// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/DestinationResolver.h"
#include "transfer/TransferManifest.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <initializer_list>
#include <optional>

namespace kivo {

// Where received files were written, resolved one at a time as a consumer
// walks them: at a hundred thousand files a list of every absolute path costs
// more than the manifest's records, and most consumers need none or a few.
// Holds the manifest's items shared; valid while the engine awaits its consumer.
class WrittenFiles {
public:
    WrittenFiles() = default;
    // Paths known already, walked as they are.
    WrittenFiles(QStringList paths) : m_extra(std::move(paths)) {} // NOLINT: a list is a walk too
    WrittenFiles(std::initializer_list<QString> paths) : m_extra(paths) {}
    // The destinations of `items` at `indices` (every completed item when
    // nullopt), only those of `categoryID` when it is given; paths the resolver
    // refuses are left out. `extra` follows them as it is.
    WrittenFiles(QList<TransferManifest::FileItem> items, DestinationResolver resolver,
                 std::optional<QList<qsizetype>> indices, QString categoryID = {}, QStringList extra = {});

    // How many steps a walk takes; the paths it gives may be fewer.
    qsizetype steps() const;
    bool isEmpty() const { return steps() == 0; }
    void forEach(const std::function<void(const QString&)>& visit) const;
    QStringList toList() const;
    // Up to `count` paths from step `*at` on, moving `*at` past the steps taken; empty at the end.
    QStringList next(qsizetype* at, qsizetype count) const;
    // More paths after the rest.
    void append(const QStringList& paths) { m_extra += paths; }

private:
    // The path of step `step`, or nullopt when it gives none.
    std::optional<QString> at(qsizetype step) const;
    qsizetype itemSteps() const;

    QList<TransferManifest::FileItem> m_items;
    DestinationResolver m_resolver;
    std::optional<QList<qsizetype>> m_indices;
    QString m_categoryID;
    QStringList m_extra;
};

} // namespace kivo
