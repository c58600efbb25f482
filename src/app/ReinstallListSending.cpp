// SPDX-License-Identifier: Apache-2.0
#include "app/ReinstallListSending.h"

#include "categories/FileEnumeration.h"
#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/PackageTools.h"
#include "postmigration/AppReinstaller.h"

namespace kivo {

ReinstallList outgoingReinstallList(const QString& homeFolder)
{
    ReinstallList list = gatherReinstallList(PackageTools(PackageToolPaths::system(), homeFolder));
    for (const RefusedEntry& r : list.refused)
        qCWarning(lcAppCompat).noquote() << "Not listed for reinstalling:" << r.kind << r.id << "-" << r.reason;
    return list;
}

std::optional<TransferManifest::FileItem> reinstallListItem(const ReinstallList& list, const QString& scratchFolder)
{
    if (list.isEmpty())
        return std::nullopt;
    const QString path = scratchFolder + QStringLiteral("/reinstall.json");
    try {
        fs::writeFileAtomically(path, list.toJson());
    } catch (const SystemError& e) {
        qCWarning(lcAppCompat).noquote() << "The list of applications to reinstall could not be written:" << e.description();
        return std::nullopt;
    }
    const auto status = fs::status(path, fs::Links::dontFollow);
    if (!status || !status->isRegular())
        return std::nullopt;
    return files::makeItem(path, QStringLiteral("~/.local/share/kivo/reinstall.json"), *status, QStringLiteral("applicationData"));
}

} // namespace kivo
