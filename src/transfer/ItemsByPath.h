// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/TransferManifest.h"

#include <QList>
#include <QString>

#include <vector>

namespace kivo {

// A manifest's items by relative path: their numbers sorted by path, 8 bytes
// an item where a hash of the paths took several times that. Messages follow
// the manifest's order, so the item last found and the one after it are tried
// before searching.
class ItemsByPath {
public:
    ItemsByPath() = default;
    explicit ItemsByPath(const QList<TransferManifest::FileItem>& items);

    // The first item of `items` (the list this was built from) with this path, or -1.
    qsizetype find(const QList<TransferManifest::FileItem>& items, const QString& path) const;

private:
    std::vector<qsizetype> m_sorted;
    // With a path listed twice only the search finds the first of them.
    bool m_repeats = false;
    mutable qsizetype m_last = -1;
};

} // namespace kivo
