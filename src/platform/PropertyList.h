// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace kivo::plist {

enum class Format { xml, binary };

// A property list read into Qt values: dictionaries become QVariantMap, arrays
// QVariantList, strings QString, integers qint64,
// reals double, booleans bool, dates QDateTime (UTC), data QByteArray and
// UIDs quint64. The format is kept so a rewrite can store it back the same way.
struct Document {
    QVariant root;
    Format format = Format::xml;
};

// Larger inputs are refused unread: preferences are small, and a hostile file
// must not make us allocate its whole size.
inline constexpr qint64 maxDocumentBytes = 64 * 1024 * 1024;

// Nothing, with the reason in `error`, when the bytes are neither form.
std::optional<Document> parse(const QByteArray& bytes, QString* error = nullptr);
std::optional<Document> readFile(const QString& path, QString* error = nullptr);
// Values a property list cannot hold (a null QVariant, say) are left out.
QByteArray serialize(const QVariant& root, Format format);

} // namespace kivo::plist
