// SPDX-License-Identifier: Apache-2.0
#include "transfer/OutgoingTransfer.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"

#include <QFile>

namespace kivo {

QString OutgoingTransfer::path(const QString& homeFolder)
{
    return UserFolders(homeFolder).kivoSupport() + QStringLiteral("/outgoing-transfer.json");
}

std::optional<OutgoingTransfer> OutgoingTransfer::loadMatching(const QString& homeFolder, const QStringList& categories,
                                                               const QStringList& folders)
{
    QFile file(path(homeFolder));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    try {
        const QJsonObject o = json::parseObject(file.readAll());
        OutgoingTransfer t{json::requireString(o, "transferID"), json::requireStringList(o, "categories"),
                           json::requireStringList(o, "folders")};
        if (t.categories == categories && t.folders == folders && !t.transferID.isEmpty())
            return t;
    } catch (const DecodingError&) {
        // An unreadable record only means a fresh migration.
    }
    return std::nullopt;
}

bool OutgoingTransfer::save(const QString& homeFolder) const
{
    try {
        fs::writeFileAtomically(path(homeFolder),
                                json::toFileBytes(QJsonObject{{QStringLiteral("transferID"), transferID},
                                                              {QStringLiteral("categories"), json::toArray(categories)},
                                                              {QStringLiteral("folders"), json::toArray(folders)}}));
        return true;
    } catch (const SystemError& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not keep the outgoing transfer's id:" << e.description();
        return false;
    }
}

void OutgoingTransfer::remove(const QString& homeFolder) { QFile::remove(path(homeFolder)); }

} // namespace kivo
