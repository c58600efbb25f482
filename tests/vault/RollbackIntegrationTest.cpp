// SPDX-License-Identifier: Apache-2.0
// What a receive keeps before it writes, and undoing it: real sends and receives, real restic, real files.
#include "platform/Accounts.h"
#include "platform/Dconf.h"
#include "platform/FileSystem.h"
#include "platform/SessionBus.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/KeyringSession.h"
#include "vault/SettingsChanges.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int kMany = 300;

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// Modification time to the nanosecond, and mode.
std::tuple<std::int64_t, std::int64_t, int> timesOf(const QString& path)
{
    const auto st = fs::status(path, fs::Links::dontFollow);
    return st ? std::tuple{st->modifiedSecs, st->modifiedNsecs, int(st->mode)} : std::tuple<std::int64_t, std::int64_t, int>{0, 0, -1};
}

void setTime(const QString& path, const char* when)
{
    QProcess::execute(u"touch"_s, {u"-h"_s, u"-d"_s, QString::fromLatin1(when), path});
}

class Rollback : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(u"restic"_s).isEmpty())
            KIVO_SKIP_OR_FAIL("restic is not installed (scripts/setup-deps installs it)");
        source = dir.filePath(u"source"_s);
        destination = dir.filePath(u"destination"_s);
        writeBytes(source + u"/Documents/kept.txt"_s, "the source's kept.txt\n");
        writeBytes(source + u"/Documents/new/deep/made.txt"_s, "only the source has this\n");
        writeBytes(source + u"/.config/mimeapps.list"_s, "[Default Applications]\nfrom=source\n");
        writeBytes(destination + u"/Documents/kept.txt"_s, "the destination's own kept.txt\n",
                   QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        writeBytes(destination + u"/.config/mimeapps.list"_s, "[Default Applications]\nfrom=destination\n");
        setTime(destination + u"/Documents/kept.txt"_s, "2021-03-04 05:06:07.123456789");
        setTime(destination + u"/Documents"_s, "2021-03-04 05:06:08.987654321");
        env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
        env.remove(u"KIVO_VAULT_PASSWORD_FILE"_s);
    }

    void TearDown() override { QProcess::execute(u"chattr"_s, {u"-i"_s, destination + u"/Documents"_s}); }

    void addMany()
    {
        for (int i = 0; i < kMany; ++i) {
            const QString name = u"/Documents/many/f%1.txt"_s.arg(i, 3, 10, QChar(u'0'));
            writeBytes(source + name, "source " + QByteArray::number(i));
            writeBytes(destination + name, "destination " + QByteArray::number(i));
        }
    }

    // One send that overwrites, and the receive's result. `sourceVault`: the source snapshots what it sends there first.
    CliRun receive(const QString& categories, const QString& sourceVault, const QStringList& receiveExtra,
                   const QProcessEnvironment& receiveEnv)
    {
        QStringList send{u"send"_s, u"--home"_s, source, u"--categories"_s, categories, u"--conflict-policy"_s, u"overwrite"_s, u"--json"_s};
        if (!sourceVault.isEmpty())
            send << u"--vault-snapshot"_s << u"--vault"_s << sourceVault;
        CliProcess sender(kivoCli(), send, env);
        if (!sourceVault.isEmpty())
            sourceSnapshot = sender.waitForEvent(u"vaultSnapshot"_s, std::chrono::minutes(2));
        const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
        EXPECT_FALSE(advertised.isEmpty());
        const CliRun received = runProcess(kivoCli(), receiveFrom(destination, advertised) + receiveExtra, receiveEnv);
        sender.finish();
        return received;
    }

    void migrate(const QString& categories, const QString& sourceVault = {})
    {
        const CliRun received = receive(categories, sourceVault, {}, env);
        ASSERT_EQ(received.exitCode, 0) << received.err.toStdString();
        ASSERT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");
    }

    CliRun rollback(const QStringList& extra)
    {
        return runCli(QStringList{u"vault"_s, u"rollback"_s, u"latest"_s, u"--home"_s, destination, u"--json"_s} + extra, env);
    }

    QStringList kinds()
    {
        QStringList out;
        for (const QJsonObject& s : runCli({u"vault"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}, env).events(u"snapshot"_s))
            out << s.value(u"kind"_s).toString();
        return out;
    }

    QTemporaryDir dir;
    QJsonObject sourceSnapshot;
    QString source;
    QString destination;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

} // namespace

// A receive killed after it replaced a file and then run to the end is one
// migration: the id its log lists is the one the rollback knows.
TEST_F(Rollback, AReceiveKilledAndFinishedRollsBackByTheIdItsLogLists)
{
    writeBytes(source + u"/Videos/large.bin"_s, QByteArray(16 << 20, 'x'));
    {
        // A cap keeps the large file, after kept.txt, in flight long enough to interrupt it.
        CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles"_s, u"--conflict-policy"_s,
                                      u"overwrite"_s, u"--json"_s, u"--max-mbps"_s, u"40"_s}, env);
        const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
        ASSERT_FALSE(advertised.isEmpty());
        CliProcess receiver(kivoCli(), receiveFrom(destination, advertised), env);
        ASSERT_TRUE(waitUntil([&] { return contents(destination + u"/Documents/kept.txt"_s) == "the source's kept.txt\n"; }));
        receiver.killHard();
        sender.finish();
    }
    migrate(u"userFiles"_s);
    const QList<QJsonObject> logs = runCli({u"log"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}, env).events(u"log"_s);
    ASSERT_EQ(logs.size(), 1);
    const CliRun rolledBack = runCli({u"vault"_s, u"rollback"_s, logs[0].value(u"id"_s).toString(), u"--home"_s, destination}, env);
    ASSERT_EQ(rolledBack.exitCode, 0) << rolledBack.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Videos/large.bin"_s));
}

// Without the snapshot a receive writes nothing over what is there, unless told to go on without one.
TEST_F(Rollback, NoPreChangeSnapshotMeansNothingWrittenAndNoVaultOptsOut)
{
    QProcessEnvironment noRestic = env;
    noRestic.insert(u"KIVO_RESTIC"_s, dir.filePath(u"no-such-restic"_s));
    const CliRun refused = receive(u"userFiles"_s, {}, {}, noRestic);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("--no-vault")) << refused.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Documents/new"_s));

    const CliRun optedOut = receive(u"userFiles"_s, {}, {u"--no-vault"_s}, noRestic);
    ASSERT_EQ(optedOut.exitCode, 0) << optedOut.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/.local/share/kivo/vault"_s));
}

TEST_F(Rollback, OneCategoryThenTheRestThenNothing)
{
    const auto keptBefore = timesOf(destination + u"/Documents/kept.txt"_s);
    const auto folderBefore = timesOf(destination + u"/Documents"_s);
    // Empty folders travel too: the ones made for them go, the ones that were there or now hold someone's file stay.
    for (const QString& folder : {u"/Videos"_s, u"/Music/Albums"_s, u"/Downloads/sub"_s})
        ASSERT_TRUE(QDir().mkpath(source + folder));
    ASSERT_TRUE(QDir().mkpath(destination + u"/Music"_s));
    ASSERT_TRUE(QFile::link(u"kept.txt"_s, source + u"/Documents/shortcut"_s));
    const QString sourceVault = dir.filePath(u"source-vault"_s);
    migrate(u"userFiles,systemSettings"_s, sourceVault);
    ASSERT_TRUE(QFileInfo(destination + u"/Music/Albums"_s).isDir());
    ASSERT_TRUE(QFileInfo(destination + u"/Documents/shortcut"_s).isSymLink());
    writeBytes(destination + u"/Downloads/sub/mine.txt"_s, "added after the migration\n");
    EXPECT_EQ(sourceSnapshot.value(u"kind"_s).toString(), u"source"_s);
    EXPECT_EQ(sourceSnapshot.value(u"categories"_s).toArray().size(), 2) << "one restic snapshot per category, before advertising";
    const QList<QJsonObject> kept =
        runCli({u"vault"_s, u"list"_s, u"--vault"_s, sourceVault, u"--home"_s, source, u"--json"_s}, env).events(u"snapshot"_s);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(kept[0].value(u"migrationID"_s), sourceSnapshot.value(u"migrationID"_s));
    EXPECT_FALSE(kept[0].value(u"migrationID"_s).toString().isEmpty());
    ASSERT_EQ(contents(destination + u"/.config/mimeapps.list"_s), "[Default Applications]\nfrom=source\n");
    // What the receive replaced, and only that, was kept first under the migration's log id.
    const QList<QJsonObject> preChange =
        runCli({u"vault"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}, env).events(u"snapshot"_s);
    ASSERT_EQ(preChange.size(), 1);
    EXPECT_EQ(preChange[0].value(u"kind"_s).toString(), u"pre-change"_s);
    for (const QJsonValue& category : preChange[0].value(u"categories"_s).toArray())
        EXPECT_EQ(category.toObject().value(u"files"_s).toInt(), 1) << category.toObject().value(u"category"_s).toString().toStdString();
    const QList<QJsonObject> logs = runCli({u"log"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}).events(u"log"_s);
    ASSERT_FALSE(logs.isEmpty());
    EXPECT_EQ(preChange[0].value(u"migrationID"_s).toString(), logs.last().value(u"id"_s).toString());

    const CliRun first = rollback({u"--category"_s, u"userFiles"_s});
    ASSERT_EQ(first.exitCode, 0) << first.err.toStdString();
    const QJsonObject done = first.events(u"rollback"_s).value(0);
    EXPECT_EQ(done.value(u"categories"_s).toArray(), QJsonArray{u"userFiles"_s});
    EXPECT_EQ(done.value(u"remaining"_s).toArray(), QJsonArray{u"systemSettings"_s});
    EXPECT_FALSE(first.events(u"vaultProgress"_s).isEmpty());
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_EQ(timesOf(destination + u"/Documents/kept.txt"_s), keptBefore) << "bytes, mode and ns time";
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Documents/new"_s)) << "created files and their folders go";
    EXPECT_EQ(timesOf(destination + u"/Documents"_s), folderBefore);
    EXPECT_FALSE(QFileInfo(destination + u"/Documents/shortcut"_s).isSymLink()) << "links it made go too";
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Videos"_s));
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Music/Albums"_s));
    EXPECT_TRUE(QFileInfo(destination + u"/Music"_s).isDir());
    EXPECT_EQ(contents(destination + u"/Downloads/sub/mine.txt"_s), "added after the migration\n");
    EXPECT_EQ(contents(destination + u"/.config/mimeapps.list"_s), "[Default Applications]\nfrom=source\n")
        << "the other category stays migrated";
    EXPECT_TRUE(kinds().contains(u"pre-rollback"_s));

    const CliRun rest = rollback({});
    ASSERT_EQ(rest.exitCode, 0) << rest.err.toStdString();
    EXPECT_EQ(rest.events(u"rollback"_s).value(0).value(u"categories"_s).toArray(), QJsonArray{u"systemSettings"_s});
    EXPECT_EQ(contents(destination + u"/.config/mimeapps.list"_s), "[Default Applications]\nfrom=destination\n");

    const qsizetype snapshots = kinds().size();
    const CliRun third = rollback({});
    ASSERT_EQ(third.exitCode, 0) << third.err.toStdString();
    EXPECT_EQ(third.events(u"rollback"_s).value(0).value(u"outcome"_s).toString(), u"alreadyDone"_s);
    EXPECT_EQ(kinds().size(), snapshots) << "nothing snapshotted, nothing touched";
    EXPECT_EQ(timesOf(destination + u"/Documents/kept.txt"_s), keptBefore);
}

TEST_F(Rollback, LaterChangesRefuseItWholeAndACutShortRunFinishes)
{
    addMany();
    migrate(u"userFiles"_s);
    writeBytes(destination + u"/Documents/kept.txt"_s, "edited after the migration\n");

    const CliRun refused = rollback({});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_TRUE(refused.err.contains("Documents/kept.txt")) << refused.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/many/f000.txt"_s), "source 0") << "refused whole";
    EXPECT_TRUE(QFileInfo::exists(destination + u"/Documents/new/deep/made.txt"_s));

    // Cut short while it snapshots what it replaces, then while it stages: each next run goes on, --force or not.
    const QDir records(destination + u"/.local/share/kivo/vault-changes"_s);
    for (const QString& phase : {u"snapshot"_s, u"restore"_s}) {
        QStringList args{u"vault"_s, u"rollback"_s, u"latest"_s, u"--home"_s, destination, u"--json"_s};
        if (phase == u"snapshot"_s)
            args << u"--force"_s;
        CliProcess cut(kivoCli(), args, env);
        for (QJsonObject p = cut.waitForEvent(u"vaultProgress"_s); !p.isEmpty(); p = cut.waitForEvent(u"vaultProgress"_s))
            if (p.value(u"phase"_s).toString() == phase)
                break;
        cut.killHard();
        ASSERT_EQ(records.entryList({u"*.rollback"_s}, QDir::Files).size(), 1) << "cut short in " << phase.toStdString();
        EXPECT_EQ(contents(destination + u"/Documents/many/f000.txt"_s), "source 0") << "nothing moved yet";
    }

    const CliRun finished = rollback({});
    ASSERT_EQ(finished.exitCode, 0) << finished.err.toStdString();
    EXPECT_TRUE(finished.events(u"rollback"_s).value(0).value(u"resumed"_s).toBool());
    for (int i = 0; i < kMany; ++i)
        ASSERT_EQ(contents(destination + u"/Documents/many/f%1.txt"_s.arg(i, 3, 10, QChar(u'0'))),
                  "destination " + QByteArray::number(i));
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Documents/new"_s));
    EXPECT_TRUE(records.entryList({u"*.rollback"_s}, QDir::Files).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(destination + u"/.local/share/kivo/rollback"_s)) << "nothing staged is left";
    EXPECT_GE(kinds().count(u"pre-rollback"_s), 1) << "the later edit is kept there";
}

TEST_F(Rollback, AFolderThatRefusesChangesOrAForgottenSnapshotStopsItBeforeAnythingMoves)
{
    migrate(u"userFiles"_s);
    // Immutable: even root may not change it, as on a read-only mount.
    if (QProcess::execute(u"chattr"_s, {u"+i"_s, destination + u"/Documents"_s}) != 0)
        KIVO_SKIP_OR_FAIL("making a folder immutable needs root");
    const CliRun blocked = rollback({});
    QProcess::execute(u"chattr"_s, {u"-i"_s, destination + u"/Documents"_s});
    EXPECT_EQ(blocked.exitCode, 1);
    EXPECT_EQ(blocked.events(u"rollback"_s).value(0).value(u"blocked"_s).toArray(), QJsonArray{u"Documents"_s});
    EXPECT_TRUE(blocked.err.contains("Documents")) << blocked.err.toStdString();
    EXPECT_EQ(kinds(), QStringList{u"pre-change"_s}) << "the snapshot is kept, nothing else taken";
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");


    // With what it would put back forgotten, it stops before it takes or changes anything.
    ASSERT_EQ(runCli({u"vault"_s, u"forget"_s, u"--keep-last"_s, u"0"_s, u"--home"_s, destination}, env).exitCode, 0);
    const CliRun gone = rollback({});
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_TRUE(gone.err.contains("no longer in the vault")) << gone.err.toStdString();
    EXPECT_TRUE(kinds().isEmpty());
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");
    EXPECT_TRUE(QDir(destination + u"/.local/share/kivo/vault-changes"_s).entryList({u"*.rollback"_s}, QDir::Files).isEmpty());
}

TEST_F(Rollback, SettingsGoBackKeyByKey)
{
    if (QStandardPaths::findExecutable(u"dconf"_s).isEmpty() || QStandardPaths::findExecutable(u"dbus-daemon"_s).isEmpty())
        KIVO_SKIP_OR_FAIL("dconf and dbus-daemon are needed");
    // The receive and the rollback reach the settings service on the account's login bus when there is
    // one, and that one serves the real home: only a private bus, started for the home served, will do.
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") || QFileInfo::exists(u"/run/user/%1/bus"_s.arg(effectiveUid())))
        GTEST_SKIP() << "this account has a session bus of its own";
    const auto seed = [&](const QString& home, const QByteArray& keyfile) {
        SystemAccount account = *accountWithUid(effectiveUid());
        account.home = home;
        QDir().mkpath(dir.filePath(u"run"_s));
        dconf::load(keyfile, SessionBus::open(account, dir.filePath(u"run"_s))->clientOptions());
    };
    const auto settingsOf = [](const QString& home) { return parseSettings(dconf::dumpHome(home)); };
    const QString font = u"/org/gnome/desktop/interface/font-name"_s;
    const QString theme = u"/org/gnome/desktop/interface/gtk-theme"_s;
    const QString clock = u"/org/gnome/desktop/interface/clock-format"_s;
    const QString buttons = u"/org/gnome/desktop/wm/preferences/button-layout"_s;
    seed(source, "[org/gnome/desktop/interface]\nfont-name='Serif 12'\ngtk-theme='Dark'\nclock-format='24h'\n");
    seed(destination, "[org/gnome/desktop/interface]\nfont-name='Sans 10'\nclock-format='24h'\n\n"
                      "[org/gnome/desktop/wm/preferences]\nbutton-layout='close'\n");
    migrate(u"userFiles,systemSettings"_s);
    ASSERT_EQ(settingsOf(destination).value(font), u"'Serif 12'"_s);
    ASSERT_EQ(settingsOf(destination).value(theme), u"'Dark'"_s);
    seed(destination, "[org/gnome/desktop/interface]\ngtk-theme='Light'\n"); // its owner changes one since

    const CliRun dry = rollback({u"--category"_s, u"systemSettings"_s, u"--dry-run"_s});
    ASSERT_EQ(dry.exitCode, 0) << dry.err.toStdString();
    const QJsonObject planned = dry.events(u"rollback"_s).value(0);
    EXPECT_EQ(planned.value(u"settingsRestoredKeys"_s).toArray(), QJsonArray{font});
    EXPECT_EQ(planned.value(u"settingsResetKeys"_s).toArray(), QJsonArray{theme});
    EXPECT_EQ(planned.value(u"settingsChanged"_s).toArray(), QJsonArray{theme});
    EXPECT_EQ(settingsOf(destination).value(font), u"'Serif 12'"_s) << "a dry run changes nothing";
    const CliRun refused = rollback({u"--category"_s, u"systemSettings"_s});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_TRUE(refused.err.contains(theme.toUtf8())) << refused.err.toStdString();
    EXPECT_EQ(settingsOf(destination).value(font), u"'Serif 12'"_s) << "refused whole";

    const CliRun undone = rollback({u"--category"_s, u"systemSettings"_s, u"--force"_s});
    ASSERT_EQ(undone.exitCode, 0) << undone.err.toStdString();
    const QJsonObject done = undone.events(u"rollback"_s).value(0);
    EXPECT_EQ(done.value(u"settingsRestored"_s).toInt(), 1);
    EXPECT_EQ(done.value(u"settingsReset"_s).toInt(), 1);
    const SettingsValues after = settingsOf(destination);
    EXPECT_EQ(after.value(font), u"'Sans 10'"_s) << "changed by the migration: back";
    EXPECT_FALSE(after.contains(theme)) << "added by the migration: reset, forced over the later change";
    EXPECT_EQ(after.value(clock), u"'24h'"_s);
    EXPECT_EQ(after.value(buttons), u"'close'"_s) << "never the migration's: kept";
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n") << "the other category stays";
    EXPECT_TRUE(kinds().contains(u"pre-rollback"_s)) << "the settings as they were are kept first";
}

TEST_F(Rollback, KeychainItemsGoBackPerAttributeSet)
{
    for (const QString& tool : {u"dbus-daemon"_s, u"gnome-keyring-daemon"_s, u"secret-tool"_s})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            KIVO_SKIP_OR_FAIL("dbus-daemon, gnome-keyring-daemon and secret-tool are needed");
    KeyringSession sourceKeys, destinationKeys;
    ASSERT_TRUE(sourceKeys.isRunning() && destinationKeys.isRunning()) << "scripts/keyring-session start failed";
    const QStringList mail{u"service"_s, u"mail"_s, u"account"_s, u"ann"_s};
    const QStringList wifi{u"service"_s, u"wifi"_s, u"account"_s, u"home"_s};
    const QStringList notes{u"service"_s, u"notes"_s, u"account"_s, u"ann"_s};
    ASSERT_TRUE(sourceKeys.store(u"Mail"_s, mail, "mail-from-source"));
    ASSERT_TRUE(sourceKeys.store(u"Wi-Fi"_s, wifi, "wifi-from-source"));
    ASSERT_TRUE(destinationKeys.store(u"Old mail"_s, mail, "mail-of-destination"));
    ASSERT_TRUE(destinationKeys.store(u"Notes"_s, notes, "notes-of-destination"));
    QProcessEnvironment sourceEnv = env;
    sourceEnv.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, sourceKeys.address());
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, destinationKeys.address());
    CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles,keychain"_s,
                                  u"--confirm-sensitive"_s, u"--conflict-policy"_s, u"overwrite"_s, u"--json"_s}, sourceEnv);
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().toStdString();
    const CliRun received = runProcess(kivoCli(), receiveFrom(destination, advertised), env);
    sender.finish();
    ASSERT_EQ(received.exitCode, 0) << received.err.toStdString();
    const auto secretOf = [&](const QStringList& attributes) { return destinationKeys.secretTool(QStringList{u"lookup"_s} + attributes); };
    ASSERT_EQ(secretOf(mail), "mail-from-source");
    ASSERT_EQ(secretOf(wifi), "wifi-from-source");
    ASSERT_TRUE(destinationKeys.store(u"Wi-Fi"_s, wifi, "wifi-set-since")); // its owner changes one since

    const CliRun dry = rollback({u"--category"_s, u"keychain"_s, u"--dry-run"_s});
    ASSERT_EQ(dry.exitCode, 0) << dry.err.toStdString();
    const QJsonObject planned = dry.events(u"rollback"_s).value(0);
    EXPECT_EQ(planned.value(u"secretsRestored"_s).toInt(), 1);
    EXPECT_EQ(planned.value(u"secretsRemoved"_s).toInt(), 1);
    ASSERT_EQ(planned.value(u"secretsChanged"_s).toArray().size(), 1);
    EXPECT_TRUE(planned.value(u"secretsChanged"_s).toArray()[0].toString().contains(u"\"Wi-Fi\" (account=home"_s));
    const CliRun refused = rollback({u"--category"_s, u"keychain"_s});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_TRUE(refused.err.contains("1 keychain item changed")) << refused.err.toStdString();
    EXPECT_EQ(secretOf(mail), "mail-from-source") << "refused whole";

    const CliRun undone = rollback({u"--category"_s, u"keychain"_s, u"--force"_s});
    ASSERT_EQ(undone.exitCode, 0) << undone.err.toStdString();
    EXPECT_EQ(secretOf(mail), "mail-of-destination") << "replaced by the migration: back";
    EXPECT_TRUE(destinationKeys.secretTool({u"search"_s, u"service"_s, u"mail"_s}).contains("label = Old mail"));
    EXPECT_EQ(secretOf(wifi), QByteArray()) << "added by the migration: deleted, forced over the later change";
    EXPECT_EQ(secretOf(notes), "notes-of-destination") << "never the migration's: kept";
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n") << "the other category stays";
    EXPECT_TRUE(kinds().contains(u"pre-rollback"_s)) << "the items as they were are kept first";
    // Secrets only ever sit in restic's encrypted packs: no plain file holds one.
    for (const QByteArray secret : {"mail-from-source", "mail-of-destination", "wifi-set-since", "notes-of-destination"})
        for (QDirIterator it(dir.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            EXPECT_FALSE(contents(it.next()).contains(secret)) << it.filePath().toStdString();
}
