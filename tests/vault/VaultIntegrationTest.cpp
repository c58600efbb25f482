// SPDX-License-Identifier: Apache-2.0
// kivo-cli's vault commands against the real restic on real folders.
#include "support/FileBytes.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->generate());
    return bytes;
}

qint64 folderBytes(const QString& root)
{
    qint64 total = 0;
    for (QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        total += QFileInfo(it.next()).size();
    return total;
}

class Vault : public ::testing::Test {
protected:
    void SetUp() override
    {
        restic = QStandardPaths::findExecutable(u"restic"_s);
        if (restic.isEmpty())
            KIVO_SKIP_OR_FAIL("restic is not installed (scripts/setup-deps installs it)");
        ASSERT_TRUE(dir.isValid());
        home = dir.filePath(u"home"_s);
        writeBytes(home + u"/Documents/report.bin"_s, randomBytes(300 * 1024), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        writeBytes(home + u"/Documents/notes/todo.txt"_s, "milk\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        writeBytes(home + u"/Documents/empty"_s, {});
        writeBytes(home + u"/Pictures/a,b=c.jpg"_s, randomBytes(50 * 1024));
        writeBytes(home + u"/.config/editor/settings.json"_s, R"({"theme":"dark"})");
        writeBytes(home + u"/.config/mimeapps.list"_s, "[Default Applications]\n");
        // kivo's own folder: never part of a snapshot.
        writeBytes(home + u"/.local/share/kivo/logs/old.json"_s, "{}");
        env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
        env.remove(u"KIVO_VAULT_PASSWORD_FILE"_s);
        env.remove(u"KIVO_RESTIC"_s);
    }

    CliRun vault(const QStringList& args, const QProcessEnvironment& environment) const
    {
        return runCli(QStringList{u"vault"_s} + args + QStringList{u"--home"_s, home, u"--json"_s}, environment);
    }
    CliRun vault(const QStringList& args) const { return vault(args, env); }

    QString vaultFolder() const { return home + u"/.local/share/kivo/vault"_s; }

    QTemporaryDir dir;
    QString home;
    QString restic;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

} // namespace

TEST_F(Vault, ThreeCategoriesRoundTripByteAndModeIdenticalAndResticAloneReadsThem)
{
    const CliRun init = vault({u"init"_s});
    ASSERT_EQ(init.exitCode, 0) << init.err.toStdString();
    EXPECT_TRUE(init.event(u"vaultInit"_s).value(u"created"_s).toBool());
    const QString key = vaultFolder() + u".key"_s;
    EXPECT_EQ(QFileInfo(key).permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    EXPECT_EQ(vault({u"init"_s}).event(u"vaultInit"_s).value(u"created"_s).toBool(), false);

    const CliRun taken = vault({u"snapshot"_s, u"--categories"_s, u"userFiles,applicationData,systemSettings"_s});
    ASSERT_EQ(taken.exitCode, 0) << taken.err.toStdString();
    EXPECT_FALSE(taken.events(u"vaultProgress"_s).isEmpty());
    const QJsonObject snap = taken.event(u"vaultSnapshot"_s);
    ASSERT_EQ(snap.value(u"categories"_s).toArray().size(), 3) << taken.out.toStdString();

    const CliRun listed = vault({u"list"_s});
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    const QList<QJsonObject> lines = listed.events(u"snapshot"_s);
    ASSERT_EQ(lines.size(), 1);
    const QJsonObject line = lines.first();
    for (const char* field : {"id", "kind", "time", "host", "username", "home", "migrationID", "categories"})
        EXPECT_TRUE(line.contains(QString::fromLatin1(field))) << field;
    EXPECT_EQ(line.value(u"id"_s), snap.value(u"id"_s));
    EXPECT_EQ(line.value(u"kind"_s).toString(), u"manual"_s);
    EXPECT_EQ(line.value(u"home"_s).toString(), home);
    const QJsonObject userFiles = line.value(u"categories"_s).toArray().first().toObject();
    EXPECT_EQ(userFiles.value(u"category"_s).toString(), u"userFiles"_s);
    EXPECT_EQ(userFiles.value(u"files"_s).toInt(), 4);
    EXPECT_EQ(userFiles.value(u"bytes"_s).toInteger(), 350 * 1024 + 5);

    EXPECT_EQ(vault({u"check"_s, u"--read-data"_s}).exitCode, 0);

    const QString target = dir.filePath(u"restored"_s);
    const CliRun restored = vault({u"restore"_s, u"latest"_s, u"--target"_s, target});
    ASSERT_EQ(restored.exitCode, 0) << restored.err.toStdString();
    EXPECT_EQ(treeDifferences(home, target), QStringList());
    EXPECT_FALSE(QFileInfo::exists(target + u"/.local/share/kivo"_s));

    // Without kivo: restic, the password file and the id a list line gave.
    const QString alone = dir.filePath(u"alone"_s);
    const CliRun byRestic = runProcess(restic, {u"-r"_s, vaultFolder(), u"--password-file"_s, key, u"restore"_s,
                                                userFiles.value(u"engineSnapshot"_s).toString(), u"--target"_s, alone},
                                       env);
    ASSERT_EQ(byRestic.exitCode, 0) << byRestic.err.toStdString();
    EXPECT_EQ(treeDifferences(home + u"/Documents"_s, alone + u"/Documents"_s), QStringList());

    // Nothing changed: the second snapshot costs next to nothing.
    const qint64 before = folderBytes(vaultFolder());
    ASSERT_EQ(vault({u"snapshot"_s, u"--categories"_s, u"userFiles,applicationData,systemSettings"_s}).exitCode, 0);
    EXPECT_LT(folderBytes(vaultFolder()) - before, 1024 * 1024);

    const CliRun forgot = vault({u"forget"_s, u"--keep-last"_s, u"1"_s, u"--prune"_s});
    ASSERT_EQ(forgot.exitCode, 0) << forgot.err.toStdString();
    EXPECT_EQ(forgot.events(u"vaultForgotten"_s).size(), 1);
    EXPECT_EQ(vault({u"list"_s}).events(u"snapshot"_s).size(), 1);
}

TEST_F(Vault, FailuresSayWhyWithTheDocumentedExitCode)
{
    ASSERT_EQ(vault({u"init"_s}).exitCode, 0);
    ASSERT_EQ(vault({u"snapshot"_s, u"--categories"_s, u"userFiles"_s}).exitCode, 0);
    const QString wrongPassword = dir.filePath(u"wrong"_s);
    writeBytes(wrongPassword, "not-the-key\n");
    const QString oldRestic = dir.filePath(u"old-restic"_s);
    writeBytes(oldRestic, "#!/bin/sh\necho 'restic 0.13.1 compiled with go1.18 on linux/amd64'\n",
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(dir.filePath(u"empty"_s));

    const struct {
        QStringList args;
        QString resticOverride;
        int exitCode;
        const char* kind;
    } cases[] = {
        {{u"list"_s, u"--password-file"_s, wrongPassword}, {}, 6, "wrongPassword"},
        {{u"list"_s, u"--password-file"_s, dir.filePath(u"missing"_s)}, {}, 6, "missingKey"},
        {{u"list"_s, u"--vault"_s, dir.filePath(u"empty"_s), u"--password-file"_s, wrongPassword}, {}, 6, "noVault"},
        {{u"restore"_s, u"ffffffffff"_s, u"--target"_s, dir.filePath(u"t"_s)}, {}, 6, "unknownSnapshot"},
        {{u"list"_s}, dir.filePath(u"no-such-restic"_s), 7, "noEngine"},
        {{u"list"_s}, oldRestic, 7, "noEngine"},
        {{u"restore"_s, u"latest"_s}, {}, 2, nullptr},
        // Never over files already there, the home's least of all.
        {{u"restore"_s, u"latest"_s, u"--target"_s, home}, {}, 5, "changedSince"},
    };
    for (const auto& c : cases) {
        QProcessEnvironment e = env;
        if (!c.resticOverride.isEmpty())
            e.insert(u"KIVO_RESTIC"_s, c.resticOverride);
        const CliRun run = vault(c.args, e);
        const QString what = c.args.join(u' ');
        EXPECT_EQ(run.exitCode, c.exitCode) << what.toStdString() << "\n" << run.err.toStdString();
        EXPECT_EQ(run.err.count('\n'), c.kind ? 1 : 2) << run.err.toStdString();
        if (c.kind)
            EXPECT_EQ(run.event(u"error"_s).value(u"kind"_s).toString(), QString::fromLatin1(c.kind)) << what.toStdString();
    }
}

TEST_F(Vault, ALockedVaultIsReportedAndLeftIntact)
{
    ASSERT_EQ(vault({u"init"_s}).exitCode, 0);
    ASSERT_EQ(vault({u"snapshot"_s, u"--categories"_s, u"userFiles"_s}).exitCode, 0);
    // A restic run of its own holds the vault while it waits for its input.
    QProcessEnvironment holderEnv = env;
    holderEnv.insert(u"RESTIC_PASSWORD_FILE"_s, vaultFolder() + u".key"_s);
    QProcess holder;
    holder.setProcessEnvironment(holderEnv);
    holder.start(restic, {u"-r"_s, vaultFolder(), u"backup"_s, u"--stdin"_s});
    ASSERT_TRUE(holder.waitForStarted());
    const QDir locks(vaultFolder() + u"/locks"_s);
    for (int i = 0; i < 300 && locks.isEmpty(QDir::Files); ++i)
        QThread::msleep(50);
    ASSERT_FALSE(locks.isEmpty(QDir::Files)) << "restic never took its lock";
    const CliRun blocked = vault({u"forget"_s, u"--keep-last"_s, u"0"_s});
    holder.closeWriteChannel();
    holder.waitForFinished();
    EXPECT_EQ(blocked.exitCode, 7) << blocked.err.toStdString();
    EXPECT_EQ(blocked.event(u"error"_s).value(u"kind"_s).toString(), u"locked"_s);
    EXPECT_EQ(vault({u"list"_s}).events(u"snapshot"_s).size(), 1);
}

TEST_F(Vault, ThePasswordIsNeverOnACommandLineOrInWhatKivoPrints)
{
    const QByteArray password = "pw-" + randomBytes(12).toHex();
    const QString passwordFile = dir.filePath(u"password"_s);
    writeBytes(passwordFile, password + '\n');
    const QString argvLog = dir.filePath(u"argv.log"_s);
    const QString wrapper = dir.filePath(u"restic-wrapper"_s);
    writeBytes(wrapper, ("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + argvLog + "'\nexec '" + restic + "' \"$@\"\n").toUtf8(),
              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment e = env;
    e.insert(u"KIVO_RESTIC"_s, wrapper);
    e.insert(u"KIVO_VAULT_PASSWORD_FILE"_s, passwordFile);
    const QString folder = dir.filePath(u"usb/vault"_s);
    QByteArray printed;
    for (const QStringList& args : {QStringList{u"init"_s}, QStringList{u"snapshot"_s, u"--categories"_s, u"userFiles"_s},
                                    QStringList{u"list"_s}, QStringList{u"check"_s}}) {
        const CliRun run = vault(args + QStringList{u"--vault"_s, folder}, e);
        EXPECT_EQ(run.exitCode, 0) << args.join(u' ').toStdString() << run.err.toStdString();
        printed += run.out + run.err;
    }
    QFile log(argvLog);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray argv = log.readAll();
    EXPECT_TRUE(argv.contains("backup")) << "the wrapper was not used";
    EXPECT_FALSE(argv.contains(password));
    EXPECT_FALSE(printed.contains(password));
    EXPECT_FALSE(QFileInfo::exists(folder + u".key"_s)) << "a password was given: no key of our own";
}
