#include "cli/OutgoingTransfer.h"

#include "platform/Json.h"
#include "platform/UserFolders.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace kivo::cli {

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

void OutgoingTransfer::save(const QString& homeFolder) const
{
    const QString target = path(homeFolder);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(json::toFileBytes(QJsonObject{{QStringLiteral("transferID"), transferID},
                                             {QStringLiteral("categories"), json::toArray(categories)},
                                             {QStringLiteral("folders"), json::toArray(folders)}}));
    file.commit();
}

void OutgoingTransfer::remove(const QString& homeFolder) { QFile::remove(path(homeFolder)); }

} // namespace kivo::cli
