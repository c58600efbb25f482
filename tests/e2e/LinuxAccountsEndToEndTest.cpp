// SPDX-License-Identifier: Apache-2.0
#include "categories/BrowserSecrets.h"
#include "platform/Accounts.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"
#include "support/KeyringSession.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QStringList kChromiumSecret = {u"xdg:schema"_s, QString::fromLatin1(browserSecrets::kSchema), u"application"_s,
                                     u"chromium"_s};
const QByteArray kSavedPassword = "hunter2";
const QString kPictureKey = u"/org/gnome/desktop/background/picture-uri"_s;

std::optional<QByteArray> tool(const QString& program, const QStringList& args,
                               const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    const CliRun r = runProcess(program, args, env, 30s);
    if (r.exitCode != 0)
        return std::nullopt;
    return r.out;
}

struct Process {
    qint64 pid;
    QString name;
};

// The live processes whose real user is `uid`; the dead waiting to be reaped do not count.
QList<Process> processesOf(unsigned uid)
{
    QList<Process> out;
    for (const QString& entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        QFile status(u"/proc/"_s + entry + u"/status"_s);
        if (!numeric || !status.open(QIODevice::ReadOnly))
            continue;
        QString name;
        bool zombie = false, theirs = false;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromUtf8(line.mid(5).trimmed());
            else if (line.startsWith("State:"))
                zombie = line.mid(6).trimmed().startsWith('Z');
            else if (line.startsWith("Uid:"))
                theirs = line.mid(4).simplified().split(' ').value(0).toUInt() == uid;
        }
        if (theirs && !zombie)
            out.append({pid, name});
    }
    return out;
}

// Gives a process that is ending the time to end; what is left then.
QList<Process> remainingProcessesOf(unsigned uid)
{
    for (int i = 0; i < 50 && !processesOf(uid).isEmpty(); ++i)
        QThread::msleep(100);
    return processesOf(uid);
}

// The names of what still runs as `uid`, sorted, in one line.
std::string remainingNames(unsigned uid)
{
    QStringList names;
    for (const Process& p : remainingProcessesOf(uid))
        names.append(p.name);
    names.sort();
    return names.join(u' ').toStdString();
}

// A throwaway account with a home of its own; gone, home and all, at the end.
class TestAccount {
public:
    TestAccount(const QString& name, const QString& home) : m_name(name), m_home(home)
    {
        if (accountNamed(name))
            tool(u"userdel"_s, {name}); // left over from an interrupted run
        if (tool(u"useradd"_s, {u"-m"_s, u"-d"_s, home, u"-s"_s, u"/bin/sh"_s, name}))
            m_account = accountNamed(name);
    }
    ~TestAccount()
    {
        if (!m_account)
            return;
        // What the test started for it ends with its session; anything else is ended here.
        for (const Process& p : remainingProcessesOf(m_account->uid))
            ::kill(pid_t(p.pid), SIGKILL);
        tool(u"userdel"_s, {m_name});
        QDir(m_home).removeRecursively();
    }
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;

    bool exists() const { return m_account.has_value(); }
    unsigned uid() const { return m_account->uid; }
    unsigned gid() const { return m_account->gid; }
    const QString& name() const { return m_name; }
    const QString& home() const { return m_home; }
    // Hands what the test laid out to the account.
    void own(const QString& path) const
    {
        tool(u"chown"_s, {u"-R"_s, u"%1:%2"_s.arg(uid()).arg(gid()), path});
    }
    // setpriv's arguments that run `command` as the account.
    QStringList as(const QStringList& command) const
    {
        return QStringList{u"--reuid"_s, QString::number(uid()), u"--regid"_s, QString::number(gid()),
                           u"--clear-groups"_s, u"--"_s}
            + command;
    }
    // A folder of its own for what a login keeps at run time.
    QString runtimeFolder(const QString& path) const
    {
        QDir().mkpath(path);
        own(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return path;
    }
    KeyringSession::Login login(const QString& runtimeDir) const { return {uid(), gid(), m_home, runtimeDir}; }
    // The environment a program of the account has outside any session.
    QProcessEnvironment environment(const QString& runtimeDir) const
    {
        QProcessEnvironment env;
        for (const auto& [key, value] : {std::pair{u"PATH"_s, qEnvironmentVariable("PATH")}, {u"HOME"_s, m_home},
                                         {u"USER"_s, m_name}, {u"LOGNAME"_s, m_name}, {u"XDG_RUNTIME_DIR"_s, runtimeDir}})
            env.insert(key, value);
        return env;
    }

private:
    QString m_name;
    QString m_home;
    std::optional<SystemAccount> m_account;
};

// Where a machine's installed applications are looked for; its bus services stay findable.
QProcessEnvironment machineAt(const QString& sys)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s);
    env.insert(u"XDG_DATA_DIRS"_s, sys + u"/share:/usr/share"_s);
    env.insert(u"KIVO_FLATPAK_SYSTEM_DIR"_s, sys + u"/flatpak"_s);
    env.insert(u"KIVO_SNAP_DIR"_s, sys + u"/snap"_s);
    return env;
}

QString pictureUri(const QString& home)
{
    return QString::fromUtf8(QUrl::fromLocalFile(home + u"/Pictures/x.jpg"_s).toEncoded());
}

QString loginData(const QString& home) { return home + u"/.config/chromium/Default/Login Data"_s; }

// A desktop with settings, the distribution's Firefox and Chromium, whose saved password the keyring's secret opens.
void layOutSource(const TestAccount& ann, const QString& scratch, const QByteArray& secret)
{
    const QString home = ann.home();
    writeBytes(scratch + u"/keyfiles/settings"_s,
               "[org/gnome/desktop/background]\npicture-uri='" + pictureUri(home).toUtf8() + "'\n"
               "[org/gnome/desktop/interface]\ngtk-theme='Adwaita-dark'\n"
               "[org/gnome/desktop/remote-desktop/rdp]\nenable=true\n");
    QDir().mkpath(home + u"/.config/dconf"_s);
    ASSERT_TRUE(tool(u"dconf"_s, {u"compile"_s, home + u"/.config/dconf/user"_s, scratch + u"/keyfiles"_s}));

    const QString firefox = home + u"/.mozilla/firefox/"_s;
    writeBytes(firefox + u"profiles.ini"_s, "[Install4F96D1932A9F858E]\nDefault=k1v0.default-release\nLocked=1\n\n"
                                            "[Profile0]\nName=default-release\nIsRelative=1\nPath=k1v0.default-release\n\n"
                                            "[General]\nStartWithLastProfile=1\nVersion=2\n");
    writeBytes(firefox + u"installs.ini"_s, "[4F96D1932A9F858E]\nDefault=k1v0.default-release\nLocked=1\n");
    writeBytes(firefox + u"k1v0.default-release/prefs.js"_s, "user_pref(\"browser.startup.page\", 3);\n");
    writeBytes(firefox + u"k1v0.default-release/cache2/entries/AB12"_s, "cached");

    writeBytes(home + u"/.config/chromium/Local State"_s, "{}");
    writeBytes(home + u"/.config/chromium/Default/Cache/data_0"_s, "cached");
    const QByteArray sealed = browserSecrets::encryptV11(kSavedPassword, browserSecrets::v11Key(secret));
    ASSERT_TRUE(tool(u"sqlite3"_s, {loginData(home), u"CREATE TABLE logins (origin_url TEXT, username_value TEXT, "
                                                     "password_value BLOB); INSERT INTO logins VALUES "
                                                     "('https://example.org/', 'ann', X'%1');"_s.arg(QString::fromLatin1(sealed.toHex()))}));
    ann.own(home);
}

// Firefox is here only as the Flatpak of the account's own installation; its
// keyring has no password, as an account that logs in automatically has.
void layOutDestination(const TestAccount& account)
{
    const QString local = account.home() + u"/.local/share"_s;
    writeBytes(local + u"/flatpak/app/org.mozilla.firefox/current/active/metadata"_s, "[Application]\nname=org.mozilla.firefox\n");
    writeBytes(local + u"/flatpak/exports/share/applications/org.mozilla.firefox.desktop"_s,
               "[Desktop Entry]\nName=Firefox\nExec=/usr/bin/flatpak run org.mozilla.firefox\n");
    writeBytes(local + u"/keyrings/login.keyring"_s,
               "[keyring]\ndisplay-name=Login\nctime=0\nmtime=0\nlock-on-idle=false\nlock-after=false\n");
    account.own(account.home() + u"/.local"_s);
}

// Every entry of the home, itself included, that is not the account's.
QStringList notOwnedBy(const TestAccount& account)
{
    QStringList out;
    if (QFileInfo(account.home()).ownerId() != account.uid())
        out.append(account.home());
    QDirIterator it(account.home(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).ownerId() != account.uid())
            out.append(path);
    }
    return out;
}

} // namespace

// A home of one account into another's that is not logged in, received by root
// for it: its settings through a settings service started for it, the browsers'
// secret in its own keyring, Firefox where the Flatpak installed there reads it,
// everything left its own and nothing left running. Which bus serves a running
// login or the account itself is
// LinuxSettingsIntegration.TheBusIsTheCallersOwnThenTheLoginSessionsThenAPrivateOne's;
// a key the account already has is
// BrowserSecretsIntegration.WhereTheAccountHasItsOwnKeyArrivingValuesAreReencryptedWithIt's.
TEST(LinuxAccountsEndToEnd, AHomeArrivesInAnotherAccountAsThatAccountsOwn)
{
    if (effectiveUid() != 0)
        GTEST_SKIP() << "making accounts and receiving for them needs root";
    for (const char* program : {"useradd", "userdel", "setpriv", "dbus-daemon", "dbus-run-session", "gnome-keyring-daemon",
                                "secret-tool", "dconf", "sqlite3"})
        if (findExecutable(QString::fromLatin1(program)).isEmpty())
            GTEST_SKIP() << program << " is needed";
    if (!QDir(u"/usr/share/applications"_s).entryList({u"firefox*.desktop"_s}).isEmpty())
        GTEST_SKIP() << "Firefox is installed natively here, so a destination with only its Flatpak cannot be made";
    QTemporaryDir base;
    // Accounts must reach their homes inside.
    QFile::setPermissions(base.path(), QFile::permissions(base.path()) | QFileDevice::ReadOther | QFileDevice::ExeOther
                                           | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    const QByteArray annSecret = "anns-safe-storage-secret";
    TestAccount ann(u"kivo-e2e-ann"_s, base.filePath(u"ann smith"_s));
    ASSERT_TRUE(ann.exists());
    ASSERT_NO_FATAL_FAILURE(layOutSource(ann, base.filePath(u"scratch"_s), annSecret));
    // The source's keyring answers in ann's login session, where a login keeps its bus.
    const QString annRuntime = ann.runtimeFolder(u"/run/user/"_s + QString::number(ann.uid()));
    const auto removeRuntime = qScopeGuard([&] { QDir(annRuntime).removeRecursively(); });
    KeyringSession annSession(ann.login(annRuntime));
    ASSERT_TRUE(annSession.isRunning());
    ASSERT_TRUE(annSession.store(u"Chromium Safe Storage"_s, kChromiumSecret, annSecret));

    TestAccount bob(u"kivo-e2e-idle"_s, base.filePath(u"kivo-e2e-idle"_s));
    ASSERT_TRUE(bob.exists());
    layOutDestination(bob);
    const QString runtime = bob.runtimeFolder(base.filePath(u"bob-run"_s));
    {
        CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, ann.home(), u"--categories"_s, u"systemSettings,browserData"_s,
                                      u"--hostname"_s, u"linux-src"_s, u"--json"_s},
                          machineAt(base.filePath(u"srcsys"_s)));
        const QJsonObject ad = sender.waitForEvent(u"advertising"_s);
        ASSERT_FALSE(ad.isEmpty()) << sender.errors().toStdString();
        // The account alone names the home.
        QStringList args = receiveFrom(bob.home(), ad);
        args.remove(args.indexOf(u"--home"_s), 2);
        CliProcess receiver(kivoCli(), args << u"--user"_s << bob.name(), machineAt(base.filePath(u"dstsys"_s)));
        EXPECT_EQ(receiver.finish(), 0) << receiver.errors().toStdString();
        EXPECT_EQ(sender.finish(), 0) << sender.errors().toStdString();
    }
    EXPECT_EQ(remainingNames(bob.uid()), "") << "the private bus ended with everything it started";

    const QString home = bob.home();
    const QProcessEnvironment env = bob.environment(runtime);
    const auto read = [&](const QString& key) {
        return tool(u"setpriv"_s, bob.as({u"dconf"_s, u"read"_s, key}), env).value_or("?").trimmed().toStdString();
    };
    EXPECT_EQ(read(kPictureKey), '\'' + pictureUri(home).toStdString() + '\'');
    EXPECT_EQ(read(u"/org/gnome/desktop/interface/gtk-theme"_s), "'Adwaita-dark'");
    EXPECT_EQ(read(u"/org/gnome/desktop/remote-desktop/rdp/enable"_s), "") << "bound to the old machine";

    const QStringList lookup = QStringList{u"dbus-run-session"_s, u"--"_s, u"secret-tool"_s, u"lookup"_s} + kChromiumSecret;
    const QByteArray secret = tool(u"setpriv"_s, bob.as(lookup), env).value_or(QByteArray());
    ASSERT_FALSE(secret.isEmpty()) << "Chromium has no Safe Storage secret here";
    const auto saved = tool(u"sqlite3"_s, {loginData(home), u"SELECT hex(password_value) FROM logins"_s});
    const auto opened = browserSecrets::decryptV11(QByteArray::fromHex(saved.value_or("").trimmed()), browserSecrets::v11Key(secret));
    EXPECT_EQ(opened.value_or("<does not open>").toStdString(), kSavedPassword.toStdString());

    const QString flatpakProfiles = home + u"/.var/app/org.mozilla.firefox/.mozilla/firefox/"_s;
    EXPECT_EQ(readBytes(flatpakProfiles + u"k1v0.default-release/prefs.js"_s).toStdString(), "user_pref(\"browser.startup.page\", 3);\n");
    EXPECT_FALSE(readBytes(flatpakProfiles + u"profiles.ini"_s).contains("[Install"));
    EXPECT_FALSE(QFileInfo::exists(flatpakProfiles + u"installs.ini"_s));
    EXPECT_FALSE(QFileInfo::exists(flatpakProfiles + u"k1v0.default-release/cache2"_s));
    EXPECT_FALSE(QFileInfo::exists(home + u"/.mozilla"_s));
    EXPECT_FALSE(QFileInfo::exists(home + u"/.config/chromium/Default/Cache"_s));

    EXPECT_FALSE(QFileInfo::exists(home + u"/.config/kivo-settings/user.dconf"_s));
    EXPECT_TRUE(QDir(home + u"/.config/kivo-browser-secrets"_s).entryList(QDir::Files | QDir::Hidden).isEmpty());
    EXPECT_EQ(notOwnedBy(bob).join(u'\n').toStdString(), "") << "left to root";
    EXPECT_EQ(remainingNames(bob.uid()), "") << "the checks' sessions ended too";
}
