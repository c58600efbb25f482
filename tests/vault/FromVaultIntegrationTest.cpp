// SPDX-License-Identifier: Apache-2.0
// A send's snapshot received from the vault, with no source running: as a live migration.
#include "platform/Accounts.h"
#include "platform/FileSystem.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

// Every file's and folder's modification time, to the nanosecond, by home-relative
// path; the folders kivo keeps its own records in are no one's data.
QMap<QString, QPair<qint64, qint64>> timesUnder(const QString& root)
{
    QMap<QString, QPair<qint64, qint64>> out;
    for (QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        if (path.startsWith(root + u"/.local"_s))
            continue;
        if (const auto st = fs::status(path, fs::Links::dontFollow))
            out.insert(path.mid(root.size()), {st->modifiedSecs, st->modifiedNsecs});
    }
    return out;
}

} // namespace

class FromVault : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(u"restic"_s).isEmpty())
            KIVO_SKIP_OR_FAIL("restic is not installed (scripts/setup-deps installs it)");
        source = dir.filePath(u"ann"_s);
        destination = dir.filePath(u"bob"_s);
        vault = dir.filePath(u"vault"_s);
        writeBytes(source + u"/Documents/report.txt"_s, "quarterly numbers\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        writeBytes(source + u"/Documents/deep/er/data.bin"_s, patterned(300 * 1024, 7));
        writeBytes(source + u"/Pictures/photo.jpg"_s, patterned(70 * 1024, 3), QFile::ReadOwner | QFile::WriteOwner);
        QDir().mkpath(source + u"/Documents/empty"_s);
        for (const QString& p : {u"/Documents/report.txt"_s, u"/Documents/deep"_s, u"/Pictures/photo.jpg"_s})
            runProcess(u"touch"_s, {u"-h"_s, u"-d"_s, u"2024-02-03 04:05:06.123456789"_s, source + p});
        QDir().mkpath(destination);
        env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
        env.remove(u"KIVO_VAULT_PASSWORD_FILE"_s);
    }

    // What `send --vault-snapshot` leaves in the vault; the send itself is not needed after.
    void snapshotSource()
    {
        CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles"_s,
                                      u"--vault-snapshot"_s, u"--vault"_s, vault, u"--json"_s}, env);
        ASSERT_FALSE(sender.waitForEvent(u"vaultSnapshot"_s, std::chrono::minutes(2)).isEmpty()) << sender.errors().toStdString();
        ASSERT_FALSE(sender.waitForEvent(u"advertising"_s).isEmpty()) << sender.errors().toStdString();
        sender.killHard();
    }

    QStringList receiveArgs(const QString& snapshot = u"latest"_s) const
    {
        return {u"receive"_s, u"--from-vault"_s, snapshot, u"--vault"_s, vault, u"--home"_s, destination, u"--json"_s};
    }

    QString stagingFolder() const { return destination + u"/.local/share/kivo/from-vault"_s; }
    bool stagingLeft() const { return !QDir(stagingFolder()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot); }

    QTemporaryDir dir;
    QString source;
    QString destination;
    QString vault;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

TEST_F(FromVault, TheNewestSendArrivesAsFromALiveSource)
{
    ASSERT_NO_FATAL_FAILURE(snapshotSource());
    const CliRun received = runCli(receiveArgs(), env);
    ASSERT_EQ(received.exitCode, 0) << received.err.toStdString();

    EXPECT_EQ(treeDifferences(source, destination).join(u'\n').toStdString(), "");
    const auto expected = timesUnder(source);
    const auto actual = timesUnder(destination);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        EXPECT_EQ(actual.value(it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(received.events(u"vaultSnapshot"_s).value(0).value(u"kind"_s).toString(), u"source"_s);
    EXPECT_FALSE(received.events(u"summary"_s).isEmpty()) << received.out.toStdString();
    EXPECT_FALSE(stagingLeft()) << "the staged snapshot is removed once it arrived";

    // Logged as any migration, from the machine the snapshot was taken on.
    const CliRun logs = runCli({u"log"_s, u"list"_s, u"--home"_s, destination, u"--json"_s});
    ASSERT_EQ(logs.events(u"log"_s).size(), 1) << logs.out.toStdString();
}

// Killed at any moment, the same command again finishes: the staging and the
// checkpoint carry on under the same transfer.
TEST_F(FromVault, KilledMidwayTheSameCommandFinishes)
{
    for (int i = 0; i < 400; ++i)
        writeBytes(source + u"/Documents/many/file-%1.bin"_s.arg(i), patterned(48 * 1024, i));
    ASSERT_NO_FATAL_FAILURE(snapshotSource());
    {
        CliProcess first(kivoCli(), receiveArgs(), env);
        ASSERT_FALSE(first.waitForEvent(u"categoryStart"_s, std::chrono::minutes(2)).isEmpty()) << first.errors().toStdString();
        first.killHard();
    }
    EXPECT_TRUE(stagingLeft()) << "kept for the run that finishes it";
    const CliRun again = runCli(receiveArgs(), env);
    ASSERT_EQ(again.exitCode, 0) << again.err.toStdString();
    EXPECT_EQ(treeDifferences(source, destination).join(u'\n').toStdString(), "");
    EXPECT_FALSE(stagingLeft());
}

// A snapshot forgotten by someone else between listing and restoring: a clear
// error, nothing written into the home, nothing staged left behind.
TEST_F(FromVault, ASnapshotForgottenMeanwhileStopsItBeforeAnythingIsWritten)
{
    ASSERT_NO_FATAL_FAILURE(snapshotSource());
    writeBytes(destination + u"/Documents/report.txt"_s, "bob's own\n");
    const QString racer = dir.filePath(u"racing-restic"_s);
    writeBytes(racer, "#!/bin/sh\n"
                      "# another run forgets the snapshot just as it is restored\n"
                      "if [ \"$4\" = restore ]; then restic \"$1\" \"$2\" \"$3\" forget \"$5\" >/dev/null 2>&1; fi\n"
                      "exec restic \"$@\"\n",
               QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment racing = env;
    racing.insert(u"KIVO_RESTIC"_s, racer);
    const CliRun received = runCli(receiveArgs(), racing);
    EXPECT_EQ(received.exitCode, 1) << received.err.toStdString();
    EXPECT_TRUE(received.err.contains("forgotten")) << received.err.toStdString();
    EXPECT_EQ(readBytes(destination + u"/Documents/report.txt"_s), "bob's own\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Pictures"_s));
    EXPECT_FALSE(stagingLeft());
}

// Not getting at the snapshot leaves the home as it was (every code: the vault commands' test).
TEST_F(FromVault, WhatCannotBeReadEndsWithItsCode)
{
    ASSERT_NO_FATAL_FAILURE(snapshotSource());
    const QString wrongPassword = dir.filePath(u"wrong"_s);
    writeBytes(wrongPassword, "not the key\n");
    struct Case {
        const char* what;
        QStringList args;
        int exitCode;
    };
    const Case cases[] = {
        {"unknown snapshot", receiveArgs(u"ffffffffff"_s), 6},
        {"wrong password", receiveArgs() << u"--password-file"_s << wrongPassword, 6},
        {"a source's options", receiveArgs() << u"--code"_s << u"123456"_s, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const CliRun r = runCli(c.args, env);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(destination + u"/Documents"_s));
    }
}

// The privileged helper as a live migration runs it; stopped when the test ends.
class RunningHelper {
public:
    RunningHelper()
    {
        m_process.start(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/helper/kivo-helper"_s,
                        {u"--socket"_s, socket(), u"--allow-exe"_s, kivoCli()});
        m_started = waitUntil([this] { return QFile::exists(socket()); }, std::chrono::seconds(10));
    }
    ~RunningHelper()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    bool started() const { return m_started; }
    QString socket() const { return m_dir.filePath(u"helper.sock"_s); }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    bool m_started = false;
};

// Into another account's home, by root with the helper running, as a live
// receive with --user: the files arrive there and every one, with every folder
// on its way, becomes that account's.
TEST_F(FromVault, IntoAnotherAccountTheFilesBecomeItsOwn)
{
    if (effectiveUid() != 0)
        GTEST_SKIP() << "receiving for another account needs root";
    if (QStandardPaths::findExecutable(u"useradd"_s).isEmpty())
        GTEST_SKIP() << "useradd is needed";
    ASSERT_NO_FATAL_FAILURE(snapshotSource());
    const QString name = u"kivo-vault-bob"_s;
    const QString home = dir.filePath(name);
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ReadOther);
    if (accountNamed(name))
        runProcess(u"userdel"_s, {name}); // left by an interrupted run
    ASSERT_EQ(runProcess(u"useradd"_s, {u"-m"_s, u"-d"_s, home, u"-s"_s, u"/bin/sh"_s, name}).exitCode, 0);
    struct Cleanup {
        QString name;
        ~Cleanup() { runProcess(u"userdel"_s, {name}); }
    } cleanup{name};
    const std::optional<SystemAccount> bob = accountNamed(name);
    ASSERT_TRUE(bob);
    const RunningHelper helper;
    ASSERT_TRUE(helper.started());
    QProcessEnvironment withHelper = env;
    withHelper.insert(u"KIVO_HELPER_SOCKET"_s, helper.socket());

    const CliRun received = runCli({u"receive"_s, u"--from-vault"_s, u"latest"_s, u"--vault"_s, vault, u"--user"_s, name,
                                    u"--json"_s}, withHelper);
    EXPECT_EQ(received.exitCode, 0) << received.err.toStdString();
    const QList<QJsonObject> ownership = received.events(u"ownership"_s);
    ASSERT_EQ(ownership.size(), 1) << received.out.toStdString();
    EXPECT_EQ(ownership[0].value(u"via"_s).toString(), u"helper"_s);
    EXPECT_TRUE(ownership[0].value(u"errors"_s).toArray().isEmpty()) << QJsonDocument(ownership[0]).toJson().toStdString();
    for (const QString& folder : {u"/Documents"_s, u"/Pictures"_s})
        EXPECT_EQ(treeDifferences(source + folder, home + folder).join(u'\n').toStdString(), "");
    ASSERT_TRUE(QFileInfo(home + u"/Documents/empty"_s).isDir());
    // Everything in the home, kivo's own records included: nothing is left to root.
    QStringList notBobs;
    for (QDirIterator it(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || st.st_uid != bob->uid || st.st_gid != bob->gid)
            notBobs << path;
    }
    EXPECT_EQ(notBobs.join(u'\n').toStdString(), "");
    EXPECT_FALSE(QFileInfo::exists(home + u"/.local/share/kivo/from-vault/"_s
                                   + received.events(u"vaultSnapshot"_s).value(0).value(u"id"_s).toString()));
}
