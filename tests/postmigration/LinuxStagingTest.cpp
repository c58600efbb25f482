// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppData.h"
#include "postmigration/StagedPrefService.h"
#include "support/FileBytes.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

TransferManifest::FileItem completed(const QString& relative)
{
    TransferManifest::FileItem item;
    item.relativePath = relative;
    item.categoryID = u"applicationData"_s;
    item.size = 5;
    item.transferStatus = FileTransferStatus::completed;
    return item;
}

bool isStaged(const StagedPrefService& service, const QString& key)
{
    for (const StagedPrefBundle& b : service.staged())
        if (b.id == key)
            return true;
    return false;
}

} // namespace

// A Linux source's app data: an app installed here keeps its files where they
// landed, a missing one waits under its desktop id, and comes back where the
// format that appeared reads it; a placement that leaves the home restores nothing.
TEST(LinuxStaging, AMissingAppsDataWaitsAndReturnsInTheFormatThatAppears)
{
    QTemporaryDir home, machine;
    // No Flatpak is installed yet: the installation's exports do not exist.
    const QString exports = machine.filePath(u"flatpak/exports/share/applications"_s);
    ApplicationFolders folders;
    folders.desktopFolders = {exports};
    auto watcher = std::make_unique<AppInstallWatcher>(folders);
    watcher->setSettleDelay(std::chrono::milliseconds(0));
    StagedPrefService service(std::make_unique<PrefStager>(home.path()), std::move(watcher));
    service.setProcRoot(home.path() + u"/no-proc"_s);
    service.start();

    LinuxInstalls here; // what the machine has, as the test changes it
    here.desktopEntries.insert(u"vlc"_s, u"vlc"_s);
    service.setClassifier([&here](const QString& path) {
        std::optional<AppPrefMapper::Classification> out;
        if (const auto c = stagingClassOf(path, LinuxAppCatalog::shipped(), here))
            out = AppPrefMapper::Classification{c->key, c->name, c->triggers};
        return out;
    });
    bool leaveHome = false;
    service.setRestorePlacement([&here, &leaveHome] {
        return [installs = here, leaveHome](const QString& path) {
            return leaveHome ? u"~/../elsewhere"_s : relocateAppDataPath(path, LinuxAppCatalog::shipped(), installs);
        };
    });

    const QString gimp = u"~/.config/GIMP/2.10/gimprc"_s, vlc = u"~/.config/vlc/vlcrc"_s,
                  orphan = u"~/.config/orphanapp/x"_s;
    const auto at = [&home](const QString& p) { return home.path() + p.mid(1); };
    for (const QString& p : {gimp, vlc, orphan})
        writeBytes(at(p), p.toUtf8());
    service.absorbCompletedFiles(u"applicationData"_s, {completed(gimp), completed(vlc), completed(orphan)});

    EXPECT_TRUE(QFileInfo::exists(at(vlc)));
    EXPECT_FALSE(QFileInfo::exists(at(gimp)));
    EXPECT_TRUE(isStaged(service, u"gimp"_s));
    EXPECT_TRUE(isStaged(service, u"orphanapp"_s));

    // GIMP arrives as the first Flatpak: its export, named by the Flatpak id, is noticed.
    here.flatpaks.insert(u"org.gimp.GIMP"_s);
    QSignalSpy applied(&service, &StagedPrefService::bundleApplied);
    writeBytes(exports + u"/org.gimp.GIMP.desktop"_s, "[Desktop Entry]\nName=GIMP\n");
    ASSERT_TRUE(applied.wait(10000));
    EXPECT_EQ(readBytes(home.path() + u"/.var/app/org.gimp.GIMP/config/GIMP/2.10/gimprc"_s), gimp.toUtf8());
    EXPECT_FALSE(QFileInfo::exists(at(gimp)));
    EXPECT_FALSE(isStaged(service, u"gimp"_s));

    leaveHome = true;
    service.handleAppAppeared(u"orphanapp"_s);
    EXPECT_TRUE(isStaged(service, u"orphanapp"_s));
    EXPECT_FALSE(QFileInfo::exists(home.path() + u"/../elsewhere"_s));
}
