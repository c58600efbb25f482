// SPDX-License-Identifier: Apache-2.0
#include "platform/SqliteColumns.h"

#include "platform/Error.h"

#include <QFile>

#include <sqlite3.h>

#include <memory>

namespace kivo::sqlite {

namespace {

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct Finalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;
using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

[[noreturn]] void fail(sqlite3* db, const QString& path)
{
    throw SystemError(QStringLiteral("Cannot update %1: %2").arg(path, QString::fromUtf8(sqlite3_errmsg(db))));
}

Statement prepare(sqlite3* db, const QByteArray& sql, const QString& path)
{
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &s, nullptr) != SQLITE_OK)
        fail(db, path);
    return Statement(s);
}

bool hasColumn(sqlite3* db, const char* table, const char* column)
{
    return sqlite3_table_column_metadata(db, nullptr, table, column, nullptr, nullptr, nullptr, nullptr, nullptr)
        == SQLITE_OK;
}

} // namespace

ColumnChanges rewriteColumn(const QString& path, const char* table, const char* column, const ValueChange& change)
{
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    Db db(raw);
    if (opened != SQLITE_OK)
        fail(raw, path);
    sqlite3_busy_timeout(db.get(), 5000);
    ColumnChanges counts;
    if (!hasColumn(db.get(), table, column))
        return counts;
    if (sqlite3_exec(db.get(), "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        fail(db.get(), path);
    const QByteArray t(table), c(column);
    Statement select = prepare(db.get(), "SELECT rowid, \"" + c + "\" FROM \"" + t + "\"", path);
    Statement update = prepare(db.get(), "UPDATE \"" + t + "\" SET \"" + c + "\" = ?1 WHERE rowid = ?2", path);
    int step;
    while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
        const sqlite3_int64 rowid = sqlite3_column_int64(select.get(), 0);
        const int size = sqlite3_column_bytes(select.get(), 1);
        if (size <= 0)
            continue;
        const QByteArray value(static_cast<const char*>(sqlite3_column_blob(select.get(), 1)), size);
        const std::optional<QByteArray> next = change(value);
        if (!next) {
            ++counts.failed;
            continue;
        }
        if (*next == value)
            continue;
        sqlite3_bind_blob(update.get(), 1, next->constData(), int(next->size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(update.get(), 2, rowid);
        if (sqlite3_step(update.get()) != SQLITE_DONE) {
            sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            fail(db.get(), path);
        }
        sqlite3_reset(update.get());
        ++counts.changed;
    }
    if (step != SQLITE_DONE || sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        fail(db.get(), path);
    }
    return counts;
}

} // namespace kivo::sqlite
