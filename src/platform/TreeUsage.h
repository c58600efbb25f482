// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kivo::fs {

// Bytes and count of the regular files below a folder, hidden ones included.
struct TreeUsage {
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
    bool operator==(const TreeUsage&) const = default;
};

struct TreeUsageReport {
    TreeUsage total;
    // One entry per requested sub-folder that was reached, keyed as requested.
    QMap<QString, TreeUsage> subtrees;
};

// One walk of `root`: symbolic links are neither followed nor counted, other
// file systems mounted below are not entered, unreadable folders count nothing.
// `subtrees` ("a", "a/b", relative to root) get their own totals from the same walk.
TreeUsageReport measureTree(const QString& root, const QStringList& subtrees = {});

} // namespace kivo::fs
