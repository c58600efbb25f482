// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

namespace kivo::sqlite {

struct ColumnChanges {
    int changed = 0;
    int failed = 0; // values `change` could not take
    bool operator==(const ColumnChanges&) const = default;
};

// What to do with one value: a new value, the same value (left), or nothing (it could not be taken).
using ValueChange = std::function<std::optional<QByteArray>(const QByteArray&)>;

// Passes every non-empty blob of `column` in `table` of the database file
// through `change` and writes back those it changed, all in one transaction.
// A database without that table or column changes nothing. `table` and
// `column` are the caller's constants, never data. Throws SystemError when the
// file is not a database or cannot be written.
ColumnChanges rewriteColumn(const QString& path, const char* table, const char* column, const ValueChange& change);

} // namespace kivo::sqlite
