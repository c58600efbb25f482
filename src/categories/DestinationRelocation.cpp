// SPDX-License-Identifier: Apache-2.0
#include "categories/DestinationRelocation.h"

#include "categories/LinuxAppData.h"
#include "categories/UserDirs.h"

namespace kivo {

namespace {

// A peer's folder is "~/" and plain names; anything else names no folder of a kind.
UserDirs plainFolders(const UserDirs& peer)
{
    UserDirs out;
    for (auto it = peer.cbegin(); it != peer.cend(); ++it) {
        const QString& path = it.value();
        bool plain = path.startsWith(QLatin1String("~/")) && path.size() > 2;
        for (const QString& part : path.mid(2).split(u'/'))
            plain = plain && !part.isEmpty() && part != QLatin1String(".") && part != QLatin1String("..");
        if (plain)
            out.insert(it.key(), path);
    }
    return out;
}

} // namespace

PathRelocation relocationFor(const TransferManifest& manifest, const QString& homeFolder, HomeLayoutKind layout,
                             const LinuxInstalls& installs)
{
    const HomeLayoutKind sourceLayout = layoutOfManifestField(manifest.layout);
    const UserDirs source = manifest.userFolders.isEmpty() ? defaultUserDirs(sourceLayout) : plainFolders(manifest.userFolders);
    const UserDirs here = userDirsOf(homeFolder, layout);
    const bool betweenLinuxHomes = sourceLayout == HomeLayoutKind::Linux && layout == HomeLayoutKind::Linux;
    return [source, here, betweenLinuxHomes, installs](const QString& tildePath, const QString& categoryID) {
        if (categoryID == QLatin1String("userFiles"))
            return relocateUserDirPath(tildePath, source, here);
        if (betweenLinuxHomes
            && (categoryID == QLatin1String("applicationData") || categoryID == QLatin1String("browserData")))
            return relocateAppDataPath(tildePath, LinuxAppCatalog::shipped(), installs);
        return tildePath;
    };
}

} // namespace kivo
