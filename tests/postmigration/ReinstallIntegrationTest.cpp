// SPDX-License-Identifier: Apache-2.0
// Applications installed again with the real tools: flatpak from a repository the
// test builds and serves as file://; snap and apt-get, which cannot run here, are
// stand-ins that replay output recorded from the real tools.
#include "platform/CommandRunner.h"
#include "platform/PackageTools.h"
#include "postmigration/AppReinstaller.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QDirIterator>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

void writeScript(const QString& path, const QByteArray& body)
{
    writeBytes(path, "#!/bin/sh\n" + body);
    QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

QStringList states(const CliRun& run)
{
    QStringList out;
    for (const QJsonObject& e : run.events(u"appInstall"_s))
        if (e[u"state"_s].toString() != u"queued"_s && e[u"state"_s].toString() != u"installing"_s)
            out << e[u"id"_s].toString() + u'=' + e[u"state"_s].toString();
    return out;
}

QString reasonOf(const CliRun& run, const QString& id)
{
    for (const QJsonObject& e : run.events(u"appInstall"_s))
        if (e[u"id"_s].toString() == id && e.contains(u"reason"_s))
            return e[u"reason"_s].toString();
    return {};
}

class FlatpakRepository : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PackageTools::present(u"/usr/bin/flatpak"_s))
            GTEST_SKIP() << "flatpak is not installed (scripts/setup-deps installs it)";
        ASSERT_TRUE(dir.isValid());
        // No system installation of this machine is read or touched.
        qputenv("FLATPAK_SYSTEM_DIR", (dir.path() + u"/system"_s).toUtf8());
        QDir().mkpath(dir.path() + u"/system"_s);
        repoUrl = u"file://"_s + repo();
        buildRepository();
    }
    void TearDown() override
    {
        qunsetenv("FLATPAK_SYSTEM_DIR");
        if (!gpgHome.isEmpty()) // gpg leaves an agent running for its folder
            runCommand(u"/usr/bin/gpgconf"_s, {u"--homedir"_s, gpgHome, u"--kill"_s, u"gpg-agent"_s});
    }

    // Signs the repository with a fresh key; the public key, as flatpak imports it.
    QByteArray signRepository()
    {
        gpgHome = dir.path() + u"/gpg"_s;
        QDir().mkpath(gpgHome);
        QFile::setPermissions(gpgHome, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QStringList gpg{u"--homedir"_s, gpgHome, u"--batch"_s, u"--pinentry-mode"_s, u"loopback"_s, u"--passphrase"_s, {}};
        if (!runCommandDetailed(u"/usr/bin/gpg"_s, gpg + QStringList{u"--quick-gen-key"_s, u"kivo test <test@example.org>"_s,
                                                                 u"ed25519"_s, u"sign"_s, u"never"_s})
                 .succeeded())
            return {};
        const QString keyId = u"test@example.org"_s;
        const QString sign = u"--gpg-sign="_s + keyId, homedir = u"--gpg-homedir="_s + gpgHome;
        if (!flatpak(dir.path(), {u"build-sign"_s, sign, homedir, repo(), u"org.kivotest.Hello"_s, u"1"_s}).succeeded()
            || !flatpak(dir.path(), {u"build-sign"_s, u"--runtime"_s, sign, homedir, repo(), u"org.kivotest.Platform"_s, u"1"_s}).succeeded()
            || !flatpak(dir.path(), {u"build-update-repo"_s, sign, homedir, repo()}).succeeded())
            return {};
        return runCommandDetailed(u"/usr/bin/gpg"_s, {u"--homedir"_s, gpgHome, u"--export"_s, keyId}).standardOutput;
    }
    QString repo() const { return dir.path() + u"/repo"_s; }

    // A runtime of one file and an application on it, exported to a local repository.
    void buildRepository()
    {
        const QString rt = dir.path() + u"/build/runtime"_s, app = dir.path() + u"/build/app"_s;
        writeBytes(rt + u"/metadata"_s, "[Runtime]\nname=org.kivotest.Platform\nruntime=org.kivotest.Platform/x86_64/1\n"
                                        "sdk=org.kivotest.Platform/x86_64/1\n");
        writeBytes(rt + u"/usr/lib/marker"_s, "runtime\n"); // a runtime exports usr/; files/ marks the build folder
        QDir().mkpath(rt + u"/files"_s);
        writeBytes(app + u"/metadata"_s, "[Application]\nname=org.kivotest.Hello\nruntime=org.kivotest.Platform/x86_64/1\n"
                                         "command=hello\n");
        writeScript(app + u"/files/bin/hello"_s, "echo hello\n");
        QDir().mkpath(app + u"/export"_s);
        ASSERT_TRUE(flatpak(dir.path(), {u"build-export"_s, u"--runtime"_s, repo(), rt, u"1"_s}).succeeded());
        ASSERT_TRUE(flatpak(dir.path(), {u"build-export"_s, repo(), app, u"1"_s}).succeeded());
    }

    // flatpak for one home: its per-user installation lives there.
    CommandResult flatpak(const QString& home, const QStringList& args) const
    {
        CommandOptions o;
        o.environment = {{u"HOME"_s, home}, {u"XDG_DATA_HOME"_s, home + u"/.local/share"_s}};
        o.timeout = std::chrono::minutes(2);
        return runCommandDetailed(u"/usr/bin/flatpak"_s, args, o);
    }

    CliRun install(const QString& home, const QStringList& args) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"FLATPAK_SYSTEM_DIR"_s, dir.path() + u"/system"_s);
        return runCli(QStringList{u"apps"_s, u"install"_s} + args + QStringList{u"--home"_s, home, u"--json"_s}, env);
    }

    QTemporaryDir dir;
    QString repoUrl;
    QString gpgHome;
};

TEST_F(FlatpakRepository, TheSourcesFlatpakIsListedAndInstalledHereThroughARemoteWithItsUrl)
{
    // The source: the app installed from the repository under the remote name "kt".
    const QString source = dir.path() + u"/source"_s, destination = dir.path() + u"/destination home"_s;
    ASSERT_TRUE(flatpak(source, {u"remote-add"_s, u"--user"_s, u"--no-gpg-verify"_s, u"kt"_s, repoUrl}).succeeded());
    ASSERT_TRUE(flatpak(source, {u"install"_s, u"--user"_s, u"--noninteractive"_s, u"kt"_s, u"org.kivotest.Hello//1"_s}).succeeded());
    PackageToolPaths paths = PackageToolPaths::system();
    paths.flatpak = u"/usr/bin/flatpak"_s;
    paths.snap.clear();
    paths.aptMark.clear();
    const ReinstallList sent = gatherReinstallList(PackageTools(paths, source));
    ASSERT_EQ(sent.entries.size(), 1);
    const ReinstallEntry& hello = sent.entries.first();
    EXPECT_EQ(hello.qualifiedId(), u"flatpak:org.kivotest.Hello"_s);
    EXPECT_EQ(hello.branch, u"1"_s);
    EXPECT_EQ(hello.installation, u"user"_s);
    EXPECT_EQ(hello.remote, u"kt"_s);
    EXPECT_EQ(hello.remoteUrl, repoUrl);
    EXPECT_TRUE(hello.remoteKey.isEmpty()); // the test remote is unsigned
    writeBytes(reinstallListPath(destination), sent.toJson());

    // No remote here and no key sent: refused with the reason, nothing added.
    const CliRun refused = install(destination, {u"--all"_s});
    EXPECT_EQ(refused.exitCode, 1) << refused.err.constData();
    EXPECT_EQ(states(refused), QStringList{u"org.kivotest.Hello=failed"_s});
    EXPECT_TRUE(reasonOf(refused, u"org.kivotest.Hello"_s).contains(u"no key"_s)) << reasonOf(refused, u"org.kivotest.Hello"_s).toStdString();
    EXPECT_EQ(flatpak(destination, {u"remotes"_s, u"--columns=name"_s}).standardOutput.trimmed(), QByteArray());

    // The user's own remote for the same repository is reused under its name.
    ASSERT_TRUE(flatpak(destination, {u"remote-add"_s, u"--user"_s, u"--no-gpg-verify"_s, u"mine"_s, repoUrl + u'/'}).succeeded());
    const CliRun installed = install(destination, {u"org.kivotest.Hello"_s});
    EXPECT_EQ(installed.exitCode, 0) << installed.err.constData();
    EXPECT_EQ(states(installed), QStringList{u"org.kivotest.Hello=installed"_s});
    EXPECT_EQ(installed.event(u"appInstall"_s)[u"percent"_s].toInt(), 100);
    EXPECT_EQ(flatpak(destination, {u"list"_s, u"--app"_s, u"--columns=application,origin"_s}).standardOutput,
              "org.kivotest.Hello\tmine\n");
    EXPECT_EQ(flatpak(destination, {u"remotes"_s, u"--columns=name"_s}).standardOutput.trimmed(), "mine");

    const CliRun again = install(destination, {u"--all"_s});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(states(again), QStringList{u"org.kivotest.Hello=skipped"_s});
    const CliRun listed = runCli({u"apps"_s, u"list"_s, u"--home"_s, destination, u"--json"_s});
    EXPECT_TRUE(listed.event(u"app"_s)[u"installed"_s].toBool()) << listed.out.constData();
}

TEST_F(FlatpakRepository, ASignedRemoteIsAddedHereWithTheKeyTheSourceSent)
{
    if (!PackageTools::present(u"/usr/bin/gpg"_s))
        GTEST_SKIP() << "gpg is not installed, so no repository can be signed";
    const QByteArray key = signRepository();
    ASSERT_FALSE(key.isEmpty());
    const QString source = dir.path() + u"/source"_s, destination = dir.path() + u"/destination"_s;
    writeBytes(dir.path() + u"/key.gpg"_s, key);
    ASSERT_TRUE(flatpak(source, {u"remote-add"_s, u"--user"_s, u"--gpg-import="_s + dir.path() + u"/key.gpg"_s, u"kt"_s, repoUrl}).succeeded());
    ASSERT_TRUE(flatpak(source, {u"install"_s, u"--user"_s, u"--noninteractive"_s, u"kt"_s, u"org.kivotest.Hello//1"_s}).succeeded());
    PackageToolPaths paths;
    paths.flatpak = u"/usr/bin/flatpak"_s;
    ReinstallList sent = gatherReinstallList(PackageTools(paths, source));
    ASSERT_EQ(sent.entries.size(), 1);
    EXPECT_FALSE(sent.entries.first().remoteKey.isEmpty()) << "the key flatpak keeps for the remote travels";
    writeBytes(reinstallListPath(destination), sent.toJson());

    const CliRun run = install(destination, {u"--all"_s});
    EXPECT_EQ(run.exitCode, 0) << run.err.constData() << run.out.constData();
    EXPECT_EQ(states(run), QStringList{u"org.kivotest.Hello=installed"_s});
    EXPECT_EQ(flatpak(destination, {u"remotes"_s, u"--columns=name,url"_s}).standardOutput, ("kt\t" + repoUrl + "\n").toUtf8());
    EXPECT_EQ(flatpak(destination, {u"list"_s, u"--app"_s, u"--columns=application,origin"_s}).standardOutput,
              "org.kivotest.Hello\tkt\n");
}

// Recorded from snap 2.63 and apt-get 2.6 on Debian 12; the stand-ins note what they were asked.
const QByteArray kSnapListed = "printf 'Name      Version   Rev    Tracking       Publisher   Notes\\n"
                                "core22    20240111  1122   latest/stable  canonical**  base\\n"
                                "code      1.95.3    174    latest/stable  vscode**    classic\\n"
                                "firefox   133.0     5437   latest/stable  mozilla**   -\\n'\n";
// Here only firefox is already installed.
const QByteArray kSnap = R"SH(case "$1" in
  list) printf 'Name      Version   Rev    Tracking       Publisher   Notes\nfirefox   133.0     5437   latest/stable  mozilla**   -\n';;
  install) echo "snap $*" >> "$LOG"; echo "$2 1.0 from Publisher installed";;
  *) exit 1;;
esac
)SH";
const QByteArray kAptGet = R"SH(echo "apt-get $*" >> "$LOG"
case "$3" in
  broken) echo "Reading package lists..."; echo "E: Unable to locate package broken" >&2; exit 100;;
  *) echo "Setting up $3 (1.0) ..."; exit 0;;
esac
)SH";

class RecordedTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        writeScript(bin(u"snap"_s), kSnap);
        writeScript(bin(u"source-snap"_s), kSnapListed);
        writeScript(bin(u"apt-get"_s), kAptGet);
        writeScript(bin(u"apt-mark"_s), "printf 'git\\nvim\\nbroken\\n'\n");
        writeScript(bin(u"dpkg-query"_s), "printf 'installed git\\nconfig-files vim\\n'\n");
        env.insert(u"LOG"_s, log());
        env.insert(u"KIVO_SNAP"_s, bin(u"snap"_s));
        env.insert(u"KIVO_APT_GET"_s, bin(u"apt-get"_s));
        env.insert(u"KIVO_DPKG_QUERY"_s, bin(u"dpkg-query"_s));
        env.insert(u"KIVO_FLATPAK"_s, {});
    }
    QString bin(const QString& name) const { return dir.path() + u"/bin/"_s + name; }
    QString log() const { return dir.path() + u"/asked.log"_s; }
    QString home() const { return dir.path() + u"/home"_s; }
    CliRun apps(const QStringList& args) const
    {
        return runCli(QStringList{u"apps"_s} + args + QStringList{u"--home"_s, home(), u"--json"_s}, env);
    }

    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

TEST_F(RecordedTools, SnapsAndDebianPackagesInstallEachAloneAndAHostileEntryIsRefusedAlone)
{
    PackageToolPaths paths;
    paths.snap = bin(u"source-snap"_s);
    paths.aptMark = bin(u"apt-mark"_s);
    ReinstallList list = gatherReinstallList(PackageTools(paths, home()));
    QStringList gathered;
    for (const ReinstallEntry& e : list.entries)
        gathered << e.qualifiedId() + (e.classic ? u" classic"_s : QString());
    EXPECT_EQ(gathered, (QStringList{u"snap:code classic"_s, u"snap:firefox"_s, u"apt:git"_s, u"apt:vim"_s, u"apt:broken"_s}));
    // A peer's hostile entry, as it would arrive.
    QByteArray json = list.toJson();
    json.replace("\"apps\": [", "\"apps\": [{\"kind\": \"apt\", \"id\": \"vim;reboot\"}, ");
    writeBytes(reinstallListPath(home()), json);

    EXPECT_EQ(apps({u"install"_s, u"emacs"_s}).exitCode, 6);
    QProcessEnvironment saved = env;
    env.insert(u"KIVO_SNAP"_s, bin(u"nothing"_s));
    const CliRun noSnap = apps({u"install"_s, u"--all"_s});
    env = saved;
    EXPECT_EQ(noSnap.exitCode, 7);
    EXPECT_FALSE(QFile::exists(log())) << "nothing may be installed when a tool is missing";

    // Not root: a missing Debian package refuses the whole run before anything is installed.
    if (PackageTools::isRoot() && PackageTools::present(u"/usr/bin/setpriv"_s)) {
        for (const QString& p : {dir.path(), home(), home() + u"/.local"_s, home() + u"/.local/share"_s, home() + u"/.local/share/kivo"_s})
            QFile::setPermissions(p, QFile::permissions(p) | QFile::ReadOther | QFile::ExeOther);
        QFile::setPermissions(reinstallListPath(home()), QFile::permissions(reinstallListPath(home())) | QFile::ReadOther);
        const CliRun asNobody = runProcess(u"/usr/bin/setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, kivoCli(),
                                                                   u"apps"_s, u"install"_s, u"code,vim"_s, u"--home"_s, home(), u"--json"_s},
                                           env);
        EXPECT_EQ(asNobody.exitCode, 5) << asNobody.err.constData();
        EXPECT_TRUE(asNobody.err.contains("needs root")) << asNobody.err.constData();
        EXPECT_FALSE(QFile::exists(log()));
    }

    const CliRun run = apps({u"install"_s, u"--all"_s});
    EXPECT_EQ(run.exitCode, 1) << run.err.constData();
    EXPECT_EQ(run.event(u"appRefused"_s)[u"id"_s].toString(), u"vim;reboot"_s);
    EXPECT_EQ(states(run), (QStringList{u"code=installed"_s, u"firefox=skipped"_s, u"git=skipped"_s, u"vim=installed"_s,
                                        u"broken=failed"_s}));
    EXPECT_EQ(reasonOf(run, u"broken"_s), u"E: Unable to locate package broken"_s);
    EXPECT_EQ(readBytes(log()), "snap install --classic code\napt-get install -y vim\napt-get install -y broken\n");
    const QJsonObject total = run.event(u"appsInstalled"_s);
    EXPECT_EQ(total[u"installed"_s].toInt(), 2);
    EXPECT_EQ(total[u"failed"_s].toInt(), 1);
    EXPECT_EQ(total[u"skipped"_s].toInt(), 2);

    const CliRun listed = apps({u"list"_s});
    EXPECT_EQ(listed.events(u"app"_s).size(), 5);
    EXPECT_EQ(listed.events(u"appRefused"_s).size(), 1);
    EXPECT_EQ(runCli({u"apps"_s, u"list"_s, u"--home"_s, dir.path()}, env).exitCode, 6);
}

TEST_F(RecordedTools, TheListTravelsWithTheApplicationDataAndNothingOfItStaysOnTheSource)
{
    const QString source = dir.path() + u"/source"_s, destination = dir.path() + u"/destination"_s;
    writeBytes(source + u"/.config/tool/settings.ini"_s, "x=1\n");
    QDir().mkpath(destination);
    QProcessEnvironment sending = env;
    sending.insert(u"KIVO_APT_MARK"_s, bin(u"apt-mark"_s));
    sending.insert(u"KIVO_SNAP"_s, bin(u"source-snap"_s));
    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"applicationData"_s, u"--offline"_s, u"--json"_s},
                      sending);
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    const CliRun received = runCli(receiveFrom(destination, advertised), env);
    ASSERT_EQ(received.exitCode, 0) << received.err.constData();
    EXPECT_EQ(sender.finish(), 0);

    const CliRun listed = runCli({u"apps"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}, env);
    QStringList ids;
    for (const QJsonObject& e : listed.events(u"app"_s))
        ids << e[u"kind"_s].toString() + u':' + e[u"id"_s].toString();
    EXPECT_EQ(ids, (QStringList{u"snap:code"_s, u"snap:firefox"_s, u"apt:git"_s, u"apt:vim"_s, u"apt:broken"_s}));
    EXPECT_FALSE(QFileInfo::exists(destination + u"/.kivo-staged-prefs/_unclassified"_s));
    QDirIterator left(source, {u"reinstall.json"_s}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    EXPECT_FALSE(left.hasNext()) << left.next().toStdString();
}

} // namespace
