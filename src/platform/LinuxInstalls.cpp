// SPDX-License-Identifier: Apache-2.0
#include "platform/LinuxInstalls.h"

#include "platform/InstalledApplications.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace kivo {

namespace {

// The program an Exec line starts, without folder or arguments.
QString execProgramOf(const QString& desktopFile)
{
    QFile file(desktopFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    bool inEntry = false;
    // Desktop files are small; a huge one is not read past its head.
    for (int lines = 0; lines < 2000 && !file.atEnd(); ++lines) {
        const QByteArray line = file.readLine(4096).trimmed();
        if (line.startsWith('['))
            inEntry = line == "[Desktop Entry]";
        else if (inEntry && line.startsWith("Exec=")) {
            QString program = QString::fromUtf8(line.mid(5)).section(u' ', 0, 0, QString::SectionSkipEmpty);
            program.remove(u'"');
            return program.section(u'/', -1);
        }
    }
    return {};
}

// Exports are their format's business: a Flatpak's or a Snap's .desktop is not a native install.
bool isFormatExport(const QString& folder)
{
    return folder.contains(QLatin1String("/flatpak/exports/")) || folder.contains(QLatin1String("/snapd/desktop/"));
}

} // namespace

QString flatpakExportFolder(const QString& installation)
{
    return installation + QStringLiteral("/exports/share/applications");
}

QStringList flatpakInstallationsFor(const QString& homeFolder)
{
    return {homeFolder + QStringLiteral("/.local/share/flatpak"),
            qEnvironmentVariable("KIVO_FLATPAK_SYSTEM_DIR", QStringLiteral("/var/lib/flatpak"))};
}

LinuxInstallRoots linuxInstallRootsFor(const QString& homeFolder)
{
    LinuxInstallRoots roots;
    // The application folders include the Flatpak exports already.
    roots.desktopFolders = applicationFoldersFor(homeFolder).desktopFolders;
    roots.flatpakInstallations = flatpakInstallationsFor(homeFolder);
    roots.snapRoot = qEnvironmentVariable("KIVO_SNAP_DIR", QStringLiteral("/snap"));
    return roots;
}

LinuxInstalls scanLinuxInstalls(const LinuxInstallRoots& roots)
{
    LinuxInstalls found;
    for (const QString& folder : roots.desktopFolders) {
        if (isFormatExport(folder))
            continue;
        QDirIterator it(folder, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString file = it.next();
            const QString id = desktopFileId(folder, file);
            // The first folder that has an id wins, as the desktop itself decides.
            if (!found.desktopEntries.contains(id))
                found.desktopEntries.insert(id, execProgramOf(file));
        }
    }
    for (const QString& installation : roots.flatpakInstallations) {
        const QDir apps(installation + QStringLiteral("/app"));
        for (const QString& id : apps.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (QFileInfo(apps.filePath(id) + QStringLiteral("/current")).exists())
                found.flatpaks.insert(id);
    }
    const QDir snaps(roots.snapRoot);
    for (const QString& name : snaps.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QFileInfo current(snaps.filePath(name) + QStringLiteral("/current"));
        if (!current.exists())
            continue;
        const QString revision = current.isSymLink() ? current.symLinkTarget().section(u'/', -1) : QString();
        found.snaps.insert(name, revision.isEmpty() ? QStringLiteral("current") : revision);
    }
    return found;
}

} // namespace kivo
