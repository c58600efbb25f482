// SPDX-License-Identifier: Apache-2.0
#include "categories/HomeLayout.h"
#include "categories/LinuxSettingsHandler.h"
#include "categories/TreeFixture.h"
#include "platform/Accounts.h"
#include "platform/Dconf.h"
#include "platform/SessionBus.h"
#include "postmigration/PathRewriting.h"
#include "preflight/PreFlightScanner.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>

#include <gtest/gtest.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

constexpr auto kSettings = SessionBus::Purpose::settings;

// The settings service is reached only through buses these tests start: never the caller's.
class LinuxSettingsIntegration : public KeepsSessionBus {
protected:
    void SetUp() override
    {
        if (findExecutable(u"dconf"_s).isEmpty() || findExecutable(u"dbus-daemon"_s).isEmpty())
            GTEST_SKIP() << "dconf and dbus-daemon are needed";
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        QDir().mkpath(runtimeRoot());
        QFile::setPermissions(m_root.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                 | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }
    QString path(const QString& name) const { return m_root.path() + u'/' + name; }
    QString runtimeRoot() const { return path(u"run"_s); }
    static SystemAccount me(const QString& home)
    {
        SystemAccount account = *accountWithUid(effectiveUid());
        account.home = home;
        return account;
    }
    // Keys written through a bus of their own, ended before this returns.
    void seed(const SystemAccount& account, const QByteArray& keyfile)
    {
        qint64 pid = 0;
        {
            const auto bus = SessionBus::open(account, runtimeRoot(), kSettings);
            ASSERT_EQ(bus->kind(), SessionBus::Kind::started);
            pid = bus->daemonPid();
            dconf::load(keyfile, bus->clientOptions());
        }
        EXPECT_FALSE(QFileInfo::exists(u"/proc/%1"_s.arg(pid))) << "the private bus outlived its use";
    }
    std::optional<QString> readKey(const SystemAccount& account, const QString& key)
    {
        const auto bus = SessionBus::open(account, runtimeRoot(), kSettings);
        return dconf::read(key, bus->clientOptions());
    }

    QTemporaryDir m_root;
};

TEST_F(LinuxSettingsIntegration, KeysAndDesktopFilesArriveThroughTheDestinationsOwnService)
{
    const QString source = path(u"ann smith"_s), destination = path(u"bob"_s);
    seed(me(source), "[org/gnome/desktop/background]\n"
                     "picture-uri='file:///" + QUrl::toPercentEncoding(source.mid(1), "/") + "/Pictures/x.jpg'\n"
                     "[org/gnome/desktop/interface]\ngtk-theme='Adwaita-dark'\n"
                     "[org/gnome/desktop/remote-desktop/rdp]\nenable=true\n"
                     "[org/gnome/Console]\nlast-window-size=(800, 600)\n");
    writeBytes(source + u"/.config/kwinrc"_s, "[Desktops]\nNumber=4\n");
    writeBytes(source + u"/.config/katerc"_s, "[General]\n"); // the editor's, sent with its app data
    writeBytes(source + u"/.config/autostart/gone.desktop"_s, "[Desktop Entry]\nExec=kivo-no-such-program --tray\n");
    writeBytes(source + u"/.config/autostart/shell.desktop"_s, "[Desktop Entry]\nExec=sh -c true\n");
    writeBytes(source + u"/.local/share/fonts/a.ttf"_s, "font");
    writeBytes(source + u"/.local/share/applications/x.desktop"_s, "[Desktop Entry]\n");
    writeBytes(source + u"/.local/share/applications/notes.txt"_s, "not a launcher");
    writeBytes(source + u"/.config/unrelated.conf"_s, "x");

    QTemporaryDir exportFolder;
    const auto listing = LinuxSettingsHandler(source, runtimeRoot()).listSource(exportFolder.path());
    EXPECT_TRUE(listing.skippedFolders.isEmpty());
    QSet<QString> listed;
    for (const auto& item : listing.items)
        listed.insert(item.relativePath);
    EXPECT_EQ(listed, (QSet<QString>{LinuxSettingsHandler::settingsItemPath(), u"~/.config/kwinrc"_s,
                                     u"~/.config/autostart/gone.desktop"_s, u"~/.config/autostart/shell.desktop"_s,
                                     u"~/.local/share/fonts/a.ttf"_s, u"~/.local/share/applications/x.desktop"_s}));
    const QByteArray exported = readBytes(exportFolder.path() + u"/user.dconf"_s);
    EXPECT_TRUE(exported.contains("gtk-theme='Adwaita-dark'"));
    EXPECT_FALSE(exported.contains("remote-desktop"));
    EXPECT_FALSE(exported.contains("last-window-size"));

    // The destination has settings of its own, which stay: under the default policy, its theme too.
    seed(me(destination), "[org/kivo/test]\nkept='mine'\n[org/gnome/desktop/interface]\ngtk-theme='Yaru'\n");
    const QStringList received = deliver(listing.items, destination);
    const QString settingsFile = UserFolders(destination).expandTilde(LinuxSettingsHandler::settingsItemPath());
    EXPECT_EQ(rewriteSettingsFile(destination, settingsFile, {{source, destination}}).size(), 1);
    LinuxSettingsHandler arriving(destination, runtimeRoot());
    const auto counts = runTask(arriving.postImport(received));
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->imported, 1);
    EXPECT_EQ(counts->failed, 0);
    EXPECT_EQ(counts->keptConflicts, QStringList{u"/org/gnome/desktop/interface/gtk-theme"_s});

    const SystemAccount bob = me(destination);
    EXPECT_EQ(readKey(bob, u"/org/gnome/desktop/background/picture-uri"_s),
              u"'file://"_s + percentEncodedPath(destination) + u"/Pictures/x.jpg'"_s);
    EXPECT_EQ(readKey(bob, u"/org/gnome/desktop/interface/gtk-theme"_s), u"'Yaru'"_s);
    EXPECT_EQ(readKey(bob, u"/org/kivo/test/kept"_s), u"'mine'"_s);
    EXPECT_EQ(readKey(bob, u"/org/gnome/desktop/remote-desktop/rdp/enable"_s), std::nullopt);
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(settingsFile).path())) << "the staging folder is left empty";
    EXPECT_TRUE(readBytes(destination + u"/.config/autostart/gone.desktop"_s).contains("Hidden=true\n"));
    EXPECT_EQ(readBytes(destination + u"/.config/autostart/shell.desktop"_s), QByteArray("[Desktop Entry]\nExec=sh -c true\n"));
}

TEST_F(LinuxSettingsIntegration, ACorruptDatabaseSaysWhyAndTheDesktopFilesStillGo)
{
    const QString source = path(u"ann"_s);
    writeBytes(source + u"/.config/dconf/user"_s, QByteArray("GVariant") + QByteArray(8, '\0') + QByteArray("\x18\0\0\0\xff\xff\0\0", 8));
    writeBytes(source + u"/.config/kdeglobals"_s, "[General]\n");
    LinuxSettingsHandler handler(source, runtimeRoot());
    const auto listing = runTask(handler.enumerateListing({}));
    ASSERT_EQ(listing.skippedFolders.size(), 1);
    EXPECT_EQ(listing.skippedFolders[0].relativePath, u"~/.config/dconf/user"_s);
    EXPECT_TRUE(listing.skippedFolders[0].text().contains(u"cut off or damaged"_s)) << listing.skippedFolders[0].text().toStdString();
    ASSERT_EQ(listing.items.size(), 1);
    EXPECT_EQ(listing.items[0].relativePath, u"~/.config/kdeglobals"_s);
}

TEST_F(LinuxSettingsIntegration, ADatabaseThatIsALinkIsNeitherWrittenThroughNorReplaced)
{
    const QString home = path(u"bob"_s), elsewhere = path(u"elsewhere"_s);
    seed(me(elsewhere), "[org/kivo/test]\nvalue='theirs'\n");
    QDir().mkpath(home + u"/.config/dconf"_s);
    ASSERT_TRUE(QFile::link(dconf::databasePath(elsewhere), dconf::databasePath(home)));
    const QString settingsFile = UserFolders(home).expandTilde(LinuxSettingsHandler::settingsItemPath());
    writeBytes(settingsFile, "[org/kivo/test]\nvalue='mine'\n");

    EXPECT_THROW(LinuxSettingsHandler(home, runtimeRoot()).importReceived({settingsFile}), std::exception);
    EXPECT_TRUE(QFileInfo(dconf::databasePath(home)).isSymLink());
    EXPECT_EQ(readKey(me(elsewhere), u"/org/kivo/test/value"_s), u"'theirs'"_s);
}

TEST_F(LinuxSettingsIntegration, AnotherAccountsSettingsAreWrittenAsThatAccount)
{
    const std::optional<SystemAccount> nobody = accountNamed(u"nobody"_s);
    if (effectiveUid() != 0 || !nobody)
        GTEST_SKIP() << "needs root and a 'nobody' account";
    const QString home = path(u"nobodys home"_s);
    // The account's own folders, as the transfer leaves them.
    for (const QString& folder : {home, home + u"/.config"_s, home + u"/.config/kivo-settings"_s}) {
        QDir().mkpath(folder);
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), nobody->uid, nobody->gid), 0);
    }
    const QString settingsFile = UserFolders(home).expandTilde(LinuxSettingsHandler::settingsItemPath());
    writeBytes(settingsFile, "[org/kivo/test]\nvalue=uint32 7\n");

    const auto counts = LinuxSettingsHandler(home, runtimeRoot()).importReceived({settingsFile});
    EXPECT_EQ(counts.imported, 1);
    const QFileInfo database(dconf::databasePath(home));
    ASSERT_TRUE(database.exists());
    EXPECT_EQ(database.ownerId(), nobody->uid) << "nothing of the account's settings may be root's";
    SystemAccount account = *nobody;
    account.home = home;
    EXPECT_EQ(readKey(account, u"/org/kivo/test/value"_s), u"uint32 7"_s);
}

TEST_F(LinuxSettingsIntegration, TheBusIsTheCallersOwnThenTheLoginSessionsThenAPrivateOne)
{
    const SystemAccount self = me(path(u"home"_s));
    // No bus of our own, no login session: a private one, gone with its owner.
    {
        const auto bus = SessionBus::open(self, runtimeRoot(), kSettings);
        EXPECT_EQ(bus->kind(), SessionBus::Kind::started);
        EXPECT_FALSE(bus->clientOptions().runAs);
    }
    // A login session's socket: used for the account's own home, and clients run as its account.
    const QString runtime = runtimeRoot() + u'/' + QString::number(self.uid);
    QDir().mkpath(runtime);
    QLocalServer login;
    ASSERT_TRUE(login.listen(runtime + u"/bus"_s));
    EXPECT_EQ(SessionBus::open(self, runtimeRoot(), kSettings)->kind(), SessionBus::Kind::started)
        << "its services serve another home";
    {
        const auto bus = SessionBus::open(*accountWithUid(self.uid), runtimeRoot(), kSettings);
        EXPECT_EQ(bus->kind(), SessionBus::Kind::login);
        EXPECT_EQ(bus->address(), u"unix:path="_s + runtime + u"/bus"_s);
        EXPECT_EQ(bus->clientOptions().environment.value(u"XDG_RUNTIME_DIR"_s), runtime);
        EXPECT_EQ(bus->daemonPid(), 0);
    }
    if (const std::optional<SystemAccount> nobody = accountNamed(u"nobody"_s); nobody && effectiveUid() == 0) {
        const QString theirs = runtimeRoot() + u'/' + QString::number(nobody->uid);
        QDir().mkpath(theirs);
        QLocalServer other;
        ASSERT_TRUE(other.listen(theirs + u"/bus"_s));
        const auto bus = SessionBus::open(*nobody, runtimeRoot(), kSettings);
        EXPECT_EQ(bus->kind(), SessionBus::Kind::login);
        EXPECT_EQ(bus->clientOptions().runAs, std::make_pair(nobody->uid, nobody->gid)) << "root never speaks on another's bus";
    }
    // Our own bus wins over everything, for the home our settings are in.
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    const auto restore = qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", savedConfig); });
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/our/own/bus");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(self.home + u"/.config/"_s));
    const auto own = SessionBus::open(self, runtimeRoot(), kSettings);
    EXPECT_EQ(own->kind(), SessionBus::Kind::caller);
    EXPECT_EQ(own->address(), u"unix:path=/our/own/bus"_s);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(path(u"elsewhere/.config"_s)));
    EXPECT_EQ(SessionBus::open(self, runtimeRoot(), kSettings)->kind(), SessionBus::Kind::started)
        << "our bus writes another home";
}

TEST_F(LinuxSettingsIntegration, ASettingsServiceAlreadyServingTheHomeIsUsedNotASecondOne)
{
    const SystemAccount self = me(path(u"home"_s));
    const auto running = SessionBus::open(self, runtimeRoot(), kSettings);
    ASSERT_EQ(running->kind(), SessionBus::Kind::started);
    dconf::load("[org/kivo/test]\nfirst=1\n", running->clientOptions()); // starts its service
    {
        const auto bus = SessionBus::open(self, runtimeRoot(), kSettings);
        EXPECT_EQ(bus->kind(), SessionBus::Kind::login);
        EXPECT_EQ(bus->address(), running->address());
        dconf::load("[org/kivo/test]\nsecond=2\n", bus->clientOptions());
    }
    EXPECT_EQ(dconf::read(u"/org/kivo/test/second"_s, running->clientOptions()), u"2"_s) << "held by the running service";
    EXPECT_EQ(SessionBus::open(me(path(u"other"_s)), runtimeRoot(), kSettings)->kind(), SessionBus::Kind::started);
}

TEST_F(LinuxSettingsIntegration, ThePreflightCountsTheSettingsAsTheyAreSent)
{
    const QString home = path(u"ann"_s);
    seed(me(home), "[org/gnome/desktop/interface]\ngtk-theme='Adwaita-dark'\n"
                   "[org/gnome/desktop/remote-desktop/rdp]\nenable=true\n");
    writeBytes(home + u"/.config/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml"_s, "<channel name=\"xsettings\"/>\n");
    writeBytes(home + u"/.config/xfce4/xfconf/xfce-perchannel-xml/displays.xml"_s, QByteArray(3000, 'd'));
    writeBytes(home + u"/.local/share/fonts/a.ttf"_s, "font");

    LinuxSettingsHandler handler(home, runtimeRoot());
    const QList<DataCategory> rows = HomeLayout::of(HomeLayoutKind::Linux).categoriesFor(home);
    ScanRequest request;
    request.categories = {*std::ranges::find(rows, u"systemSettings"_s, &DataCategory::id)};
    request.categories[0].paths = runTask(handler.pathsToSend(request.categories[0].paths));
    ScanCounters counters;
    const PreFlightReport report = scanHome(home, request, ConnectionType::wifi, false, counters);

    const auto listing = runTask(handler.enumerateListing({}));
    std::uint64_t sentBytes = 0;
    for (const auto& item : listing.items)
        sentBytes += item.size;
    ASSERT_EQ(listing.items.size(), 3);
    EXPECT_EQ(report.categories[0].fileCount, listing.items.size());
    EXPECT_EQ(report.categories[0].totalBytes, sentBytes);
}

// A session's settings service found by its process, on a bus its environment
// names only through the runtime folder, as services the session's manager
// starts often are.
TEST_F(LinuxSettingsIntegration, ARunningSettingsServiceIsReachedThroughItsRuntimeFolderOrTheImportSaysWhatToDo)
{
    QFile serviceFile(u"/usr/share/dbus-1/services/ca.desrt.dconf.service"_s);
    QString program;
    if (serviceFile.open(QIODevice::ReadOnly))
        for (const QByteArray& line : serviceFile.readAll().split('\n'))
            if (line.startsWith("Exec="))
                program = QString::fromUtf8(line.mid(5).trimmed());
    if (program.isEmpty() || findExecutable(u"gdbus"_s).isEmpty())
        GTEST_SKIP() << "the settings service and gdbus are needed";
    const QString home = path(u"bob"_s);
    const SystemAccount bob = me(home);
    // The session's bus: a private one, which the session's service finds in its runtime folder.
    const auto sessionBus = SessionBus::open(me(path(u"elsewhere"_s)), runtimeRoot(), kSettings);
    const QString runtime = sessionBus->clientOptions().environment.value(u"XDG_RUNTIME_DIR"_s);
    QProcess service;
    QProcessEnvironment environment;
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime);
    environment.insert(u"PATH"_s, qEnvironmentVariable("PATH"));
    service.setProcessEnvironment(environment);
    service.start(program, {});
    ASSERT_TRUE(service.waitForStarted());
    CommandOptions onSessionBus = sessionBus->clientOptions();
    onSessionBus.timeout = std::chrono::seconds(20);
    ASSERT_TRUE(runCommand(u"gdbus"_s, {u"wait"_s, u"--session"_s, u"--timeout"_s, u"15"_s, u"ca.desrt.dconf"_s}, onSessionBus))
        << "the service took no name";

    {
        const auto bus = SessionBus::open(bob, runtimeRoot(), kSettings);
        EXPECT_EQ(bus->kind(), SessionBus::Kind::login);
        EXPECT_EQ(bus->address(), u"unix:path="_s + runtime + u"/bus"_s);
        dconf::load("[org/kivo/test]\nfirst=1\n", bus->clientOptions());
    }
    EXPECT_TRUE(dconf::dumpHome(home).contains("first=1"));

    // The same service, its bus out of sight from here: nothing is written beside it.
    ASSERT_TRUE(QFile::remove(runtime + u"/bus"_s));
    const QString settingsFile = UserFolders(home).expandTilde(LinuxSettingsHandler::settingsItemPath());
    writeBytes(settingsFile, "[org/kivo/test]\nsecond=2\n");
    try {
        LinuxSettingsHandler(home, runtimeRoot()).importReceived({settingsFile});
        ADD_FAILURE() << "the import went on";
    } catch (const std::exception& e) {
        const QString text = describe(e);
        EXPECT_TRUE(text.startsWith(u"Settings not applied: A desktop session of "_s)) << text.toStdString();
        EXPECT_TRUE(text.contains(u"Log out of that session, or receive from within it, and try again"_s)) << text.toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(settingsFile)) << "the received settings are kept for another try";
    EXPECT_FALSE(dconf::dumpHome(home).contains("second"));
    EXPECT_EQ(service.state(), QProcess::Running);
}

TEST(SettingsFolder, IsTheServicesConfigHome)
{
    const struct {
        QString home, config, expected;
    } cases[] = {
        {u"/home/ann"_s, {}, u"/home/ann/.config"_s},
        {u"/home/ann/"_s, u"/data/ann/cfg/"_s, u"/data/ann/cfg"_s},
        {u"/home/ann"_s, u"relative/cfg"_s, u"/home/ann/.config"_s}, // not absolute: ignored, as the service does
    };
    for (const auto& c : cases) {
        QProcessEnvironment environment;
        environment.insert(u"HOME"_s, c.home);
        if (!c.config.isEmpty())
            environment.insert(u"XDG_CONFIG_HOME"_s, c.config);
        EXPECT_EQ(settingsFolderOf(environment), c.expected) << c.config.toStdString();
    }
}
