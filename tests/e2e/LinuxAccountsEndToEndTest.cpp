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

QStringList namesOf(const QList<Process>& processes)
{
    QStringList names;
    for (const Process& p : processes)
        names.append(p.name);
    names.sort();
    return names;
}

// Gives a process that is ending the time to end; what is left then.
QList<Process> remainingProcessesOf(unsigned uid)
{
    for (int i = 0; i < 50 && !processesOf(uid).isEmpty(); ++i)
        QThread::msleep(100);
    return processesOf(uid);
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
    // The environment a program of the account's session has.
    QProcessEnvironment environment(const QString& runtimeDir, const QString& bus) const
    {
        QProcessEnvironment env;
        env.insert(u"PATH"_s, qEnvironmentVariable("PATH"));
        env.insert(u"HOME"_s, m_home);
        env.insert(u"USER"_s, m_name);
        env.insert(u"LOGNAME"_s, m_name);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtimeDir);
        if (!bus.isEmpty())
            env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus);
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

// Firefox is here only as the Flatpak of the account's own installation.
void installFirefoxFlatpak(const TestAccount& account)
{
    const QString flatpak = account.home() + u"/.local/share/flatpak"_s;
    writeBytes(flatpak + u"/app/org.mozilla.firefox/current/active/metadata"_s, "[Application]\nname=org.mozilla.firefox\n");
    writeBytes(flatpak + u"/exports/share/applications/org.mozilla.firefox.desktop"_s,
               "[Desktop Entry]\nName=Firefox\nExec=/usr/bin/flatpak run org.mozilla.firefox\n");
    account.own(account.home() + u"/.local"_s);
}

// A keyring without a password, as an account that logs in automatically has: open without a login.
void givePasswordlessKeyring(const TestAccount& account)
{
    writeBytes(account.home() + u"/.local/share/keyrings/login.keyring"_s,
               "[keyring]\ndisplay-name=Login\nctime=0\nmtime=0\nlock-on-idle=false\nlock-after=false\n");
    account.own(account.home() + u"/.local"_s);
}

// The saved password's value as it stands in the received database.
QByteArray savedValue(const QString& home)
{
    const auto out = tool(u"sqlite3"_s, {loginData(home), u"SELECT hex(password_value) FROM logins"_s});
    return out ? QByteArray::fromHex(out->trimmed()) : QByteArray();
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

enum class Receiving { rootIntoLiveSession, rootWithoutSession, asTheAccount };

struct Case {
    const char* what;
    const char* account;
    Receiving how;
    QByteArray secretThere; // the destination's own Safe Storage secret, if it has one
};

} // namespace

// A home of one account into another's, by root for it (with and without its
// login session running) and by the account itself: its settings through its own
// settings service, the browsers' secret in its own keyring, Firefox where the
// Flatpak installed there reads it, and everything left its own.
class LinuxAccountsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (effectiveUid() != 0)
            GTEST_SKIP() << "making accounts and receiving for them needs root";
        for (const char* program : {"useradd", "userdel", "setpriv", "dbus-daemon", "dbus-run-session",
                                    "gnome-keyring-daemon", "secret-tool", "dconf", "sqlite3"})
            if (findExecutable(QString::fromLatin1(program)).isEmpty())
                GTEST_SKIP() << program << " is needed";
        if (!QDir(u"/usr/share/applications"_s).entryList({u"firefox*.desktop"_s}).isEmpty())
            GTEST_SKIP() << "Firefox is installed natively here, so a destination with only its Flatpak cannot be made";
        // Accounts must reach their homes inside.
        QFile::setPermissions(m_base.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                 | QFileDevice::ReadOther | QFileDevice::ExeOther
                                                 | QFileDevice::ReadGroup | QFileDevice::ExeGroup);
        m_ann = std::make_unique<TestAccount>(u"kivo-e2e-ann"_s, m_base.filePath(u"ann smith"_s));
        ASSERT_TRUE(m_ann->exists());
        ASSERT_NO_FATAL_FAILURE(layOutSource(*m_ann, m_base.filePath(u"scratch"_s), m_annSecret));
        m_annSession = std::make_unique<KeyringSession>(m_ann->login(loginRuntime(*m_ann)));
        ASSERT_TRUE(m_annSession->isRunning());
        ASSERT_TRUE(m_annSession->store(u"Chromium Safe Storage"_s, kChromiumSecret, m_annSecret));
    }
    void TearDown() override
    {
        m_annSession.reset();
        for (const QString& folder : std::as_const(m_loginRuntimes))
            QDir(folder).removeRecursively();
        m_ann.reset();
    }

    // The runtime folder a login gives the account, where its session bus is looked for.
    QString loginRuntime(const TestAccount& account)
    {
        m_loginRuntimes.append(account.runtimeFolder(u"/run/user/"_s + QString::number(account.uid())));
        return m_loginRuntimes.last();
    }

    void runCase(const Case& c);
    void transfer(const TestAccount& bob, Receiving how, const KeyringSession* session, const QString& runtime);
    void check(const TestAccount& bob, const Case& c, const KeyringSession* session, const QString& runtime);

    QTemporaryDir m_base;
    QByteArray m_annSecret = "anns-safe-storage-secret";
    std::unique_ptr<TestAccount> m_ann;
    std::unique_ptr<KeyringSession> m_annSession;
    QStringList m_loginRuntimes;
};

void LinuxAccountsEndToEnd::runCase(const Case& c)
{
    SCOPED_TRACE(c.what);
    const QString name = QString::fromLatin1(c.account);
    TestAccount bob(name, m_base.filePath(name));
    ASSERT_TRUE(bob.exists());
    installFirefoxFlatpak(bob);
    std::unique_ptr<KeyringSession> session;
    QString runtime = bob.runtimeFolder(m_base.filePath(name + u"-run"_s));
    if (c.how == Receiving::rootWithoutSession) {
        givePasswordlessKeyring(bob);
    } else {
        if (c.how == Receiving::rootIntoLiveSession)
            runtime = loginRuntime(bob);
        session = std::make_unique<KeyringSession>(bob.login(runtime));
        ASSERT_TRUE(session->isRunning());
        if (!c.secretThere.isEmpty()) {
            ASSERT_TRUE(session->store(u"Chromium Safe Storage"_s, kChromiumSecret, c.secretThere));
        }
    }
    ASSERT_NO_FATAL_FAILURE(transfer(bob, c.how, session.get(), runtime));
    check(bob, c, session.get(), runtime);
    session.reset();
    EXPECT_EQ(namesOf(remainingProcessesOf(bob.uid())).join(u' ').toStdString(), "") << "nothing outlives the account's session";
}

void LinuxAccountsEndToEnd::transfer(const TestAccount& bob, Receiving how, const KeyringSession* session,
                                     const QString& runtime)
{
    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, m_ann->home(), u"--categories"_s, u"systemSettings,browserData"_s,
                                  u"--hostname"_s, u"linux-src"_s, u"--json"_s},
                      machineAt(m_base.filePath(u"srcsys"_s)));
    const QJsonObject ad = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(ad.isEmpty()) << sender.errors().toStdString();
    QProcessEnvironment env = machineAt(m_base.filePath(u"dstsys"_s));
    QString program = kivoCli();
    QStringList args = receiveFrom(bob.home(), ad);
    if (how == Receiving::asTheAccount) {
        QProcessEnvironment own = bob.environment(runtime, session->address());
        for (const QString& key : {u"XDG_DATA_DIRS"_s, u"KIVO_FLATPAK_SYSTEM_DIR"_s, u"KIVO_SNAP_DIR"_s})
            own.insert(key, env.value(key));
        env = own;
        args = bob.as(QStringList{program} + args);
        program = u"setpriv"_s;
    } else {
        // The account alone names the home.
        args.remove(args.indexOf(u"--home"_s), 2);
        args << u"--user"_s << bob.name();
    }
    CliProcess receiver(program, args, env);
    EXPECT_EQ(receiver.finish(), 0) << receiver.errors().toStdString();
    EXPECT_EQ(sender.finish(), 0) << sender.errors().toStdString();
}

void LinuxAccountsEndToEnd::check(const TestAccount& bob, const Case& c, const KeyringSession* session,
                                  const QString& runtime)
{
    // kivo's own bus, its services and its clients are gone; a login's session keeps only itself.
    const QStringList running = namesOf(session ? processesOf(bob.uid()) : remainingProcessesOf(bob.uid()));
    if (session) {
        EXPECT_EQ(running.count(u"dbus-daemon"_s), 1) << running.join(u' ').toStdString();
        for (const QString& name : running)
            EXPECT_TRUE(name == u"dbus-daemon"_s || name == u"gnome-keyring-d"_s || name == u"dconf-service"_s)
                << name.toStdString();
    } else {
        EXPECT_EQ(running.join(u' ').toStdString(), "") << "the private bus ended with everything it started";
    }

    const QString home = bob.home();
    const QProcessEnvironment env = bob.environment(runtime, session ? session->address() : QString());
    const auto read = [&](const QString& key) {
        return tool(u"setpriv"_s, bob.as({u"dconf"_s, u"read"_s, key}), env).value_or("?").trimmed().toStdString();
    };
    EXPECT_EQ(read(kPictureKey), '\'' + pictureUri(home).toStdString() + '\'');
    EXPECT_EQ(read(u"/org/gnome/desktop/interface/gtk-theme"_s), "'Adwaita-dark'");
    EXPECT_EQ(read(u"/org/gnome/desktop/remote-desktop/rdp/enable"_s), "") << "bound to the old machine";

    const QStringList lookup = QStringList{u"secret-tool"_s, u"lookup"_s} + kChromiumSecret;
    const QByteArray secret = session ? session->secretTool(lookup.mid(1))
                                      : tool(u"setpriv"_s, bob.as(QStringList{u"dbus-run-session"_s, u"--"_s} + lookup), env)
                                            .value_or(QByteArray());
    ASSERT_FALSE(secret.isEmpty()) << "Chromium has no Safe Storage secret here";
    if (!c.secretThere.isEmpty()) {
        EXPECT_EQ(secret.toStdString(), c.secretThere.toStdString()) << "the secret this account's browsers already use stays";
    }
    const std::optional<QByteArray> opened = browserSecrets::decryptV11(savedValue(home), browserSecrets::v11Key(secret));
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
}

TEST_F(LinuxAccountsEndToEnd, AHomeArrivesInAnotherAccountAsThatAccountsOwn)
{
    const Case cases[] = {
        {"root for an account that is logged in, whose Chromium has a key of its own", "kivo-e2e-live",
         Receiving::rootIntoLiveSession, "bobs-own-safe-storage-secret"},
        {"root for an account that is not logged in", "kivo-e2e-idle", Receiving::rootWithoutSession, {}},
        {"the account itself, in its own session", "kivo-e2e-self", Receiving::asTheAccount, {}},
    };
    for (const Case& c : cases)
        runCase(c);
}
