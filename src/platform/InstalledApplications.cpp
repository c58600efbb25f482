// SPDX-License-Identifier: Apache-2.0
#include "platform/InstalledApplications.h"
#include "platform/LinuxInstalls.h"

#include "platform/PropertyList.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace kivo {
namespace {

QString desktopEntryName(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    bool inEntry = false;
    // Entries are a few KiB; a huge or endless file is not read past this.
    for (int lines = 0; lines < 2000 && !f.atEnd(); ++lines) {
        const QByteArray line = f.readLine(8192).trimmed();
        if (line.startsWith('['))
            inEntry = line == "[Desktop Entry]";
        else if (inEntry && line.startsWith("Name="))
            return QString::fromUtf8(line.mid(5));
    }
    return {};
}

} // namespace

ApplicationFolders applicationFoldersFor(const QString& homeFolder)
{
    ApplicationFolders folders;
    const QString system = qEnvironmentVariable("KIVO_APPLICATIONS_DIR", QStringLiteral("/Applications"));
    folders.bundleFolders = {system, homeFolder + QStringLiteral("/Applications")};
    folders.desktopFolders = {homeFolder + QStringLiteral("/.local/share/applications")};
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share:/usr/share");
    for (const QString& dir : dataDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders.desktopFolders.append(dir + QStringLiteral("/applications"));
    // A Flatpak's entry appears in its installation's exports, listed or not in XDG_DATA_DIRS.
    for (const QString& installation : flatpakInstallationsFor(homeFolder)) {
        const QString exports = flatpakExportFolder(installation);
        if (!folders.desktopFolders.contains(exports))
            folders.desktopFolders.append(exports);
    }
    return folders;
}

QString desktopFileId(const QString& applicationsFolder, const QString& file)
{
    QString relative = QDir(applicationsFolder).relativeFilePath(file);
    if (relative.endsWith(QStringLiteral(".desktop")))
        relative.chop(8);
    return relative.replace(QLatin1Char('/'), QLatin1Char('-'));
}

QList<InstalledApplication> installedApplications(const ApplicationFolders& folders)
{
    QList<InstalledApplication> apps;
    QSet<QString> seen;
    for (const QString& folder : folders.bundleFolders) {
        const QFileInfoList bundles =
            QDir(folder).entryInfoList({QStringLiteral("*.app")}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& bundle : bundles) {
            const auto info = plist::readFile(bundle.filePath() + QStringLiteral("/Contents/Info.plist"));
            if (!info)
                continue;
            const QVariantMap map = info->root.toMap();
            const QString id = map.value(QStringLiteral("CFBundleIdentifier")).toString();
            if (id.isEmpty() || seen.contains(id))
                continue;
            seen.insert(id);
            InstalledApplication app;
            app.bundleID = id;
            app.name = map.value(QStringLiteral("CFBundleName")).toString();
            if (app.name.isEmpty())
                app.name = bundle.completeBaseName();
            app.version = map.value(QStringLiteral("CFBundleShortVersionString")).toString();
            app.path = bundle.filePath();
            const QString executable = map.value(QStringLiteral("CFBundleExecutable")).toString();
            if (!executable.isEmpty() && !executable.contains(QLatin1Char('/')))
                app.executablePath = bundle.filePath() + QStringLiteral("/Contents/MacOS/") + executable;
            apps.append(app);
        }
    }
    for (const QString& folder : folders.desktopFolders) {
        QDirIterator it(folder, {QStringLiteral("*.desktop")}, QDir::Files, QDirIterator::Subdirectories);
        QStringList files;
        while (it.hasNext())
            files.append(it.next());
        files.sort();
        for (const QString& file : files) {
            const QString id = desktopFileId(folder, file);
            if (seen.contains(id))
                continue;
            seen.insert(id);
            InstalledApplication app;
            app.bundleID = id;
            app.name = desktopEntryName(file);
            if (app.name.isEmpty())
                app.name = id;
            app.path = file;
            app.isDesktopEntry = true;
            apps.append(app);
        }
    }
    return apps;
}

} // namespace kivo
