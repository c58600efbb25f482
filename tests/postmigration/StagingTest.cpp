// SPDX-License-Identifier: Apache-2.0
#include "categories/LinuxAppData.h"
#include "platform/Json.h"
#include "postmigration/AppPrefMapper.h"
#include "postmigration/StagedPrefService.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
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

struct Fixture {
    QTemporaryDir home;
    QTemporaryDir apps;
    std::unique_ptr<StagedPrefService> service;

    explicit Fixture(PrefRestoreMode mode)
    {
        ApplicationFolders folders;
        folders.bundleFolders = {apps.path()};
        folders.desktopFolders = {apps.path()};
        auto watcher = std::make_unique<AppInstallWatcher>(folders);
        watcher->setSettleDelay(std::chrono::milliseconds(0));
        service = std::make_unique<StagedPrefService>(std::make_unique<PrefStager>(home.path()), std::move(watcher));
        service->setRestoreMode(mode);
        service->setProcRoot(home.path() + u"/no-proc"_s);
        service->start();
    }
    QString at(const QString& relative) const { return home.path() + relative.mid(1); }
};

} // namespace

TEST(Staging, ClassificationByKnownSuiteOrReverseDnsName)
{
    const QList<std::pair<QString, QString>> cases = {
        {u"~/Library/Preferences/com.microsoft.Word.plist"_s, u"_microsoft-office"_s},
        {u"~/Library/Caches/JetBrains/x"_s, u"_jetbrains-ides"_s},
        {u"~/Library/Preferences/org.example.Tool.plist"_s, u"org.example.Tool"_s},
        {u"~/Library/Preferences/example.plist"_s, u"_unclassified"_s},
        {u"~/Library/Application Support/Some App/db"_s, u"_unclassified"_s},
        {u"~/Library/Preferences/...plist"_s, u".."_s}, // reverse-DNS by the letter, never a folder name
    };
    for (const auto& [path, key] : cases)
        EXPECT_EQ(AppPrefMapper::classify(path).bundleKey, key) << path.toStdString();
    EXPECT_EQ(AppPrefMapper::classify(u"~/Library/Preferences/org.example.Tool.plist"_s).triggers,
              QStringList{u"org.example.Tool"_s});
}

TEST(Staging, BundlesAreHeldBackUntilTheirApplicationAppears)
{
    Fixture f(PrefRestoreMode::staged);
    const QString toolPrefs = u"~/Library/Preferences/org.example.Tool.plist"_s;
    const QString toolData = u"~/Library/Application Support/org.example.Tool/state.db"_s;
    const QString unsafe = u"~/Library/Preferences/...plist"_s;
    const QString reinstallList = u"~/.local/share/kivo/reinstall.json"_s;
    for (const QString& p : {toolPrefs, toolData, unsafe, reinstallList})
        writeBytes(f.at(p), p.toUtf8());
    QList<TransferManifest::FileItem> items{completed(toolPrefs), completed(toolData), completed(unsafe), completed(reinstallList),
                                            completed(u"~/Library/Preferences/gone.example.app.plist"_s)};
    f.service->absorbCompletedFiles(u"applicationData"_s, items);

    EXPECT_FALSE(QFileInfo::exists(f.at(toolPrefs)));
    EXPECT_TRUE(QFileInfo::exists(f.at(unsafe))) << "a key that is no folder name leaves its files in place";
    EXPECT_TRUE(QFileInfo::exists(f.at(reinstallList))) << "kivo's list of applications to reinstall is no application's";
    ASSERT_EQ(f.service->staged().size(), 1);
    const StagedPrefBundle bundle = f.service->staged().first();
    EXPECT_EQ(bundle.id, u"org.example.Tool"_s);
    EXPECT_EQ(bundle.entries.size(), 2);
    EXPECT_EQ(bundle.expiresAt, bundle.stagedAt.addDays(30));

    QSignalSpy applied(f.service.get(), &StagedPrefService::bundleApplied);
    writeBytes(f.apps.path() + u"/org.example.Tool.desktop"_s, "[Desktop Entry]\nType=Application\nName=Tool\nExec=tool\n");
    ASSERT_TRUE(applied.wait(10000));
    EXPECT_EQ(readBytes(f.at(toolPrefs)), toolPrefs.toUtf8());
    EXPECT_EQ(readBytes(f.at(toolData)), toolData.toUtf8());
    EXPECT_TRUE(f.service->staged().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(f.home.path() + u"/.kivo-staged-prefs/org.example.Tool"_s));
}

TEST(Staging, ImmediateLeavesFilesManualWaitsAndInstalledAppsGetTheirsAtOnce)
{
    const QString prefs = u"~/Library/Preferences/org.example.Tool.plist"_s;
    {
        Fixture f(PrefRestoreMode::immediate);
        writeBytes(f.at(prefs), "prefs");
        f.service->absorbCompletedFiles(u"applicationData"_s, {completed(prefs)});
        EXPECT_TRUE(QFileInfo::exists(f.at(prefs)));
        EXPECT_TRUE(f.service->staged().isEmpty());
    }
    {
        Fixture f(PrefRestoreMode::manual);
        writeBytes(f.at(prefs), "prefs");
        writeBytes(f.apps.path() + u"/org.example.Tool.desktop"_s, "[Desktop Entry]\nType=Application\nName=Tool\n");
        f.service->absorbCompletedFiles(u"applicationData"_s, {completed(prefs)});
        EXPECT_FALSE(QFileInfo::exists(f.at(prefs))) << "manual: an installed application restores nothing";
        EXPECT_TRUE(f.service->applyManually(u"org.example.Tool"_s));
        EXPECT_TRUE(QFileInfo::exists(f.at(prefs)));
        EXPECT_FALSE(f.service->applyManually(u"org.example.Tool"_s));
    }
    {
        // Already installed when the category finishes: restored then, though the watcher saw it at start.
        Fixture f(PrefRestoreMode::staged);
        writeBytes(f.apps.path() + u"/org.example.Tool.desktop"_s, "[Desktop Entry]\nType=Application\nName=Tool\n");
        f.service->watcher().scanRoot(f.apps.path());
        writeBytes(f.at(prefs), "prefs");
        f.service->absorbCompletedFiles(u"applicationData"_s, {completed(prefs)});
        EXPECT_TRUE(QFileInfo::exists(f.at(prefs)));
        EXPECT_TRUE(f.service->staged().isEmpty());
    }
}

// The sheet's view and its "Discard": the bundle goes with its staged files, and only a listed one.
TEST(Staging, DiscardRemovesAListedBundleWithItsFiles)
{
    Fixture f(PrefRestoreMode::manual);
    const QString prefs = u"~/Library/Preferences/org.example.Tool.plist"_s;
    writeBytes(f.at(prefs), "prefs");
    f.service->absorbCompletedFiles(u"applicationData"_s, {completed(prefs)});
    ASSERT_EQ(f.service->stagedRows().size(), 1);
    EXPECT_FALSE(f.service->discard(u"../org.example.Tool"_s));
    EXPECT_TRUE(f.service->discard(u"org.example.Tool"_s));
    EXPECT_TRUE(f.service->stagedRows().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(f.home.path() + u"/.kivo-staged-prefs/org.example.Tool"_s));
    EXPECT_FALSE(QFileInfo::exists(f.at(prefs)));
}

TEST(Staging, HandMadeBundlesNamingOtherPlacesRestoreNothing)
{
    QTemporaryDir home, outside;
    PrefStager stager(home.path());
    const QString store = home.path() + u"/.kivo-staged-prefs"_s;
    writeBytes(home.path() + u"/Library/Preferences/a.b.c.plist"_s, "mine");
    const StagedPrefBundle good = stager.stage(u"a.b.c"_s, u"a.b.c"_s, {u"a.b.c"_s},
                                               {{home.path() + u"/Library/Preferences/a.b.c.plist"_s,
                                                 u"~/Library/Preferences/a.b.c.plist"_s, 4, std::nullopt}},
                                               std::chrono::hours(24), false);
    writeBytes(outside.path() + u"/secret"_s, "secret");

    auto handMade = [&](const QString& key, const QList<StagedPrefEntry>& entries) {
        StagedPrefBundle b = good;
        b.id = key;
        b.entries = entries;
        writeBytes(store + u"/"_s + key + u"/bundle.json"_s, json::toFileBytes(b.toJson()));
    };
    const QString staged = store + u"/evil1/Library/Preferences/a.plist"_s;
    writeBytes(staged, "staged");
    handMade(u"evil1"_s, {{staged, u"~/ok.plist"_s, 6, {}}, {outside.path() + u"/secret"_s, u"~/stolen"_s, 6, {}}});
    handMade(u"evil2"_s, {{staged, u"~/../escaped"_s, 6, {}}});
    handMade(u"evil3"_s, {{store + u"/evil3/../evil1/Library/Preferences/a.plist"_s, u"~/x"_s, 6, {}}});
    handMade(u"evil4"_s, {{staged, u"~/.kivo-staged-prefs/a.b.c/bundle.json"_s, 6, {}}});
    // A link on the way out of the bundle folder.
    QDir().mkpath(store + u"/evil5"_s);
    QFile::link(outside.path(), store + u"/evil5/Library"_s);
    handMade(u"evil5"_s, {{store + u"/evil5/Library/secret"_s, u"~/stolen"_s, 6, {}}});

    for (const QString& key : {u"evil1"_s, u"evil2"_s, u"evil3"_s, u"evil4"_s, u"evil5"_s})
        EXPECT_THROW(stager.apply(key, PrefStager::ApplyConflict::overwrite), PrefStagerError) << key.toStdString();
    EXPECT_THROW(stager.apply(u"../outside"_s, PrefStager::ApplyConflict::overwrite), PrefStagerError);
    EXPECT_EQ(readBytes(outside.path() + u"/secret"_s), "secret");
    EXPECT_EQ(readBytes(staged), "staged");
    EXPECT_FALSE(QFileInfo::exists(home.path() + u"/stolen"_s));
    EXPECT_FALSE(QFileInfo::exists(home.path() + u"/ok.plist"_s));

    EXPECT_EQ(stager.apply(u"a.b.c"_s, PrefStager::ApplyConflict::overwrite),
              QStringList{home.path() + u"/Library/Preferences/a.b.c.plist"_s});
    EXPECT_EQ(readBytes(home.path() + u"/Library/Preferences/a.b.c.plist"_s), "mine");

    // A link in the home on the way in (a dotfile manager's): the file is not
    // written through it, and stays staged with its bundle, listed, to try again.
    writeBytes(home.path() + u"/.config/g.h.i/a.conf"_s, "theme");
    stager.stage(u"g.h.i"_s, u"g.h.i"_s, {u"g.h.i"_s},
                 {{home.path() + u"/.config/g.h.i/a.conf"_s, u"~/.config/g.h.i/a.conf"_s, 5, {}}}, std::chrono::hours(24), false);
    QDir().mkpath(home.path() + u"/dotfiles/g.h.i"_s);
    QDir().rmdir(home.path() + u"/.config/g.h.i"_s);
    ASSERT_TRUE(QFile::link(home.path() + u"/dotfiles/g.h.i"_s, home.path() + u"/.config/g.h.i"_s));
    try {
        stager.apply(u"g.h.i"_s, PrefStager::ApplyConflict::overwrite);
        ADD_FAILURE() << "restored through a link";
    } catch (const PrefStagerError& e) {
        EXPECT_TRUE(e.description().startsWith(u"The staged-prefs bundle 'g.h.i' was not restored: 1 of 1 files stay staged"_s))
            << e.description().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(home.path() + u"/dotfiles/g.h.i/a.conf"_s));
    const auto listed = stager.listStaged();
    ASSERT_TRUE(std::any_of(listed.begin(), listed.end(), [](const StagedPrefBundle& b) { return b.id == u"g.h.i"_s; }));
    EXPECT_EQ(readBytes(store + u"/g.h.i/.config/g.h.i/a.conf"_s), "theme");

    // Expiry at the first look after the window.
    writeBytes(home.path() + u"/Library/Preferences/d.e.f.plist"_s, "prefs");
    stager.stage(u"d.e.f"_s, u"d.e.f"_s, {u"d.e.f"_s},
                 {{home.path() + u"/Library/Preferences/d.e.f.plist"_s, u"~/Library/Preferences/d.e.f.plist"_s, 5, {}}},
                 std::chrono::hours(24 * 7), false, QDateTime::currentDateTimeUtc().addDays(-8));
    EXPECT_EQ(stager.discardExpired(), QStringList{u"d.e.f"_s});
    EXPECT_FALSE(QFileInfo::exists(store + u"/d.e.f"_s));
}

TEST(Staging, HomebrewIsReportedOnceWhenItAppearsAndIncomingAppListsDecodeOrNot)
{
    QTemporaryDir dir;
    const QString brew = dir.path() + u"/bin/brew"_s;
    HomebrewWatcher watcher({dir.path() + u"/none/brew"_s, brew}, std::chrono::milliseconds(10));
    QSignalSpy found(&watcher, &HomebrewWatcher::brewDetected);
    watcher.start();
    EXPECT_FALSE(watcher.detected());
    writeBytes(brew, "#!/bin/sh\n");
    QFile::setPermissions(brew, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    ASSERT_TRUE(found.wait(10000));
    EXPECT_EQ(found.first().value(0).toString(), brew);
    EXPECT_EQ(found.size(), 1);

    const auto manifest = MDMAppManifest::decoded(
        R"({"apps":[{"bundleID":"org.example.Tool","displayName":"Tool","expectedAt":"2026-01-31T09:05:00Z"},{"bundleID":"b.c.d"}]})");
    ASSERT_TRUE(manifest.has_value());
    ASSERT_EQ(manifest->apps.size(), 2);
    EXPECT_EQ(manifest->apps[0].expectedAt, QDateTime(QDate(2026, 1, 31), QTime(9, 5), Qt::UTC));
    for (const char* bad : {R"({"apps":[{"displayName":"x"}]})", R"({"apps":[{"bundleID":"a","expectedAt":"soon"}]})", "not json"})
        EXPECT_FALSE(MDMAppManifest::decoded(bad).has_value()) << bad;
}

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
