// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/UserMapping.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// One change made to a received file for the new account.
struct PathRewriteLog {
    QString filePath;
    QString originalValue;
    QString rewrittenValue;
    std::optional<QString> key;

    QJsonObject toJson() const;
    bool operator==(const PathRewriteLog&) const = default;
};

// Checks UTF-8 piece by piece, strictly: no overlong forms, no surrogates,
// nothing past U+10FFFF, no sequence cut off at the end.
class Utf8Validator {
public:
    bool feed(QByteArrayView bytes);
    bool finish() const { return m_valid && m_need == 0; }

private:
    bool m_valid = true;
    int m_need = 0;
    unsigned char m_low = 0x80, m_high = 0xBF;
};

// Replaces every occurrence of one byte pattern in a stream, in bounded memory:
// only the last pattern-length-minus-one bytes wait for the next piece.
class StreamReplacer {
public:
    StreamReplacer(QByteArray pattern, QByteArray replacement)
        : m_pattern(std::move(pattern)), m_replacement(std::move(replacement)) {}
    // Appends to `out` what is settled; `last` flushes the rest.
    void feed(QByteArrayView in, QByteArray& out, bool last);
    qint64 replacements() const { return m_count; }

private:
    QByteArray m_pattern;
    QByteArray m_replacement;
    QByteArray m_carry;
    qint64 m_count = 0;
};

// Rewrites the rules' patterns inside one UTF-8 text file, streamed; a file
// that is not strictly UTF-8, not a regular file, or reached through a link
// is left as it is. Returns one record per rule that changed something.
QList<PathRewriteLog> rewriteTextFile(const QString& homeFolder, const QString& path,
                                      const QList<PathRewriteRule>& rules);

// Rewrites string values of a property list, kept in its format (XML or binary).
QList<PathRewriteLog> rewritePlistFile(const QString& homeFolder, const QString& path,
                                       const QList<PathRewriteRule>& rules);

// Rewrites one decoded property-list value in place; true when it changed.
bool rewritePlistValue(QVariant& value, const QString& path, const QList<PathRewriteRule>& rules,
                       QList<PathRewriteLog>& logs, const std::optional<QString>& key);

// A path as a file:// URI spells it: UTF-8, percent-encoded, '/' and the
// sub-delimiters kept (as the desktop's own libraries write them).
QString percentEncodedPath(const QString& path);

// Replaces `from` by `to` where it stands as a whole path: not inside a longer
// path (/srv/home/ann) and not followed by more of a name (/home/anna,
// /home/ann%C3%A9); both as written and percent-encoded inside URIs. Returns
// how many places changed.
int rewriteHomePath(QString& text, const QString& from, const QString& to);

// The settings keyfile (sections of "key=typed value" lines): the rules
// applied, as whole paths, only inside the quoted strings of the values. One
// record per key and rule that changed it, `key` naming the section and key.
QString rewriteSettingsText(const QString& text, const QString& filePath, const QList<PathRewriteRule>& rules,
                            QList<PathRewriteLog>& logs);
// The same for a received settings file, replaced in place when anything changed.
QList<PathRewriteLog> rewriteSettingsFile(const QString& homeFolder, const QString& path,
                                          const QList<PathRewriteRule>& rules);

} // namespace kivo
