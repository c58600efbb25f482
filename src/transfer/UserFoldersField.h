// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QJsonObject>
#include <QMap>
#include <QString>

namespace kivo {

// The source's user folders by kind ("DOCUMENTS" -> "~/Dokumente"), as the
// manifest and the pre-flight question carry them: omitted when empty.
inline void insertUserFolders(QJsonObject& o, const QMap<QString, QString>& folders)
{
    if (folders.isEmpty())
        return;
    QJsonObject object;
    for (auto it = folders.cbegin(); it != folders.cend(); ++it)
        object.insert(it.key(), it.value());
    o.insert(QStringLiteral("userFolders"), object);
}

// Throws DecodingError for anything but an object of strings.
inline QMap<QString, QString> userFoldersOf(const QJsonObject& o)
{
    QMap<QString, QString> out;
    if (!o.contains(QLatin1String("userFolders")))
        return out;
    const QJsonValue folders = o.value(QLatin1String("userFolders"));
    if (!folders.isObject())
        throw DecodingError(QStringLiteral("Invalid JSON: userFolders is not an object"));
    const QJsonObject object = folders.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            throw DecodingError(QStringLiteral("Invalid JSON: userFolders holds a non-string"));
        out.insert(it.key(), it.value().toString());
    }
    return out;
}

} // namespace kivo
