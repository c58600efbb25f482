// SPDX-License-Identifier: Apache-2.0
// Vaults in a real S3 store: radosgw on loopback, started by scripts/objectstore
// once for the suite (or the one KIVO_OBJECTSTORE_DIR names, left running).
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/ProfileWriter.h"
#include "support/TreeCompare.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

QString script() { return QStringLiteral(KIVO_SOURCE_DIR "/scripts/objectstore"); }

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(QRandomGenerator::global()->generate());
    return bytes;
}

} // namespace

class ObjectStore : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        QString folder = qEnvironmentVariable("KIVO_OBJECTSTORE_DIR");
        owned = folder.isEmpty();
        if (owned) {
            storeDir = std::make_unique<QTemporaryDir>();
            folder = storeDir->path();
        }
        const CliRun started = runProcess(script(), {owned ? u"up"_s : u"env"_s, folder},
                                          QProcessEnvironment::systemEnvironment(), std::chrono::minutes(3));
        if (started.exitCode != 0) {
            problem = u"the object store did not start:\n"_s + QString::fromUtf8(started.err);
            return;
        }
        for (const QByteArray& line : started.out.split('\n'))
            if (const qsizetype eq = line.indexOf('='); eq > 0)
                store.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
        storeFolder = folder;
    }
    static void TearDownTestSuite()
    {
        if (owned && !storeFolder.isEmpty())
            runProcess(script(), {u"down"_s, storeFolder});
        storeDir.reset();
    }

    void SetUp() override
    {
        restic = QStandardPaths::findExecutable(u"restic"_s);
        if (restic.isEmpty())
            KIVO_SKIP_OR_FAIL("restic is not installed (scripts/setup-deps installs it)");
        if (!problem.isEmpty())
            KIVO_SKIP_OR_FAIL(problem.toStdString());
        home = dir.filePath(u"home"_s);
        writeBytes(home + u"/Documents/report.bin"_s, randomBytes(300 * 1024));
        writeBytes(home + u"/Documents/notes/todo.txt"_s, "milk\n");
        writeBytes(home + u"/.config/editor/settings.json"_s, R"({"theme":"dark"})");
        writeBytes(home + u"/.config/mimeapps.list"_s, "[Default Applications]\n");
        passwordFile = dir.filePath(u"password"_s);
        writeBytes(passwordFile, "correct horse battery staple\n");
        bucket = u"kivo-"_s + QString::number(QRandomGenerator::global()->generate64(), 16);
        repository = u"s3:"_s + store.value(u"OBJECTSTORE_ENDPOINT"_s) + u'/' + bucket + u"/acme"_s;
        for (const char* name : {"KIVO_VAULT_PASSWORD_FILE", "KIVO_RESTIC", "KIVO_CONFIG_PROFILE", "AWS_ACCESS_KEY_ID",
                                 "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN"})
            env.remove(QString::fromLatin1(name));
        env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
        keyed = env;
        keyed.insert(u"AWS_ACCESS_KEY_ID"_s, store.value(u"OBJECTSTORE_ACCESS_KEY"_s));
        keyed.insert(u"AWS_SECRET_ACCESS_KEY"_s, store.value(u"OBJECTSTORE_SECRET_KEY"_s));
    }

    CliRun vault(const QStringList& args, const QProcessEnvironment& e) const
    {
        return runCli(QStringList{u"vault"_s} + args + QStringList{u"--home"_s, home, u"--json"_s}, e);
    }
    CliRun s3(const QStringList& args) const
    {
        return vault(args + QStringList{u"--vault"_s, repository, u"--password-file"_s, passwordFile}, keyed);
    }
    CliRun resticAlone(const QStringList& args) const
    {
        QProcessEnvironment e = keyed;
        e.insert(u"RESTIC_PASSWORD_FILE"_s, passwordFile);
        return runProcess(restic, QStringList{u"-r"_s, repository} + args, e);
    }
    CliRun admin(const QStringList& args) const
    {
        return runProcess(u"radosgw-admin"_s, QStringList{u"-c"_s, store.value(u"OBJECTSTORE_CONF"_s), u"-n"_s, u"client.rgw"_s} + args);
    }

    // The organisation's bucket, its keys and the vault's password, all in the profile.
    QString s3Profile(const QString& name = u"profile.plist"_s, const QJsonObject& extra = {}) const
    {
        QJsonObject keys{{u"kivo.brandingName"_s, u"Acme"_s}, {u"kivo.vaultStorageType"_s, u"s3"_s},
                         {u"kivo.vaultEndpoint"_s, store.value(u"OBJECTSTORE_ENDPOINT"_s)},
                         {u"kivo.vaultBucketName"_s, bucket}, {u"kivo.vaultPrefix"_s, u"acme"_s},
                         {u"kivo.awsAccessKeyID"_s, store.value(u"OBJECTSTORE_ACCESS_KEY"_s)},
                         {u"kivo.awsSecretAccessKey"_s, store.value(u"OBJECTSTORE_SECRET_KEY"_s)},
                         {u"kivo.vaultCredentialSecret"_s, u"correct horse battery staple"_s},
                         {u"kivo.userPrincipal"_s, u"ann@acme.example"_s}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            keys.insert(it.key(), it.value());
        return writeProfile(dir.filePath(name), keys);
    }

    // A role the store's user may assume, and a profile that names it.
    QString roleProfile() const
    {
        const QString trust = uR"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":{"AWS":)"
                              uR"(["arn:aws:iam:::user/%1"]},"Action":["sts:AssumeRole"]}]})"_s.arg(store.value(u"OBJECTSTORE_USER"_s));
        const QString role = u"vault-"_s + bucket;
        EXPECT_EQ(admin({u"role"_s, u"create"_s, u"--role-name="_s + role, u"--assume-role-policy-doc="_s + trust}).exitCode, 0);
        EXPECT_EQ(admin({u"role-policy"_s, u"put"_s, u"--role-name="_s + role, u"--policy-name=s3"_s,
                         uR"(--policy-doc={"Version":"2012-10-17","Statement":{"Effect":"Allow","Action":["s3:*"],)"
                         uR"("Resource":"arn:aws:s3:::*"}})"_s})
                      .exitCode, 0);
        return s3Profile(u"role.plist"_s, {{u"kivo.vaultCredentialARN"_s, u"arn:aws:iam:::role/"_s + role}});
    }

    static inline std::unique_ptr<QTemporaryDir> storeDir;
    static inline QMap<QString, QString> store;
    static inline QString storeFolder, problem;
    static inline bool owned = false;

    QTemporaryDir dir;
    QString home, restic, passwordFile, bucket, repository;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QProcessEnvironment keyed;
};

TEST_F(ObjectStore, TheProfilesVaultTakesThreeCategoriesThatResticAloneLists)
{
    QProcessEnvironment e = env; // no keys but the profile's
    e.insert(u"KIVO_CONFIG_PROFILE"_s, s3Profile());
    const CliRun init = vault({u"init"_s}, e);
    ASSERT_EQ(init.exitCode, 0) << init.err.toStdString();
    EXPECT_EQ(init.event(u"vaultInit"_s).value(u"vault"_s).toString(), repository);
    EXPECT_TRUE(init.event(u"vaultInit"_s).value(u"created"_s).toBool());
    const QStringList categories{u"snapshot"_s, u"--categories"_s, u"userFiles,applicationData,systemSettings"_s};
    const CliRun taken = vault(categories, e);
    ASSERT_EQ(taken.exitCode, 0) << taken.err.toStdString();
    ASSERT_EQ(taken.event(u"vaultSnapshot"_s).value(u"categories"_s).toArray().size(), 3) << taken.out.toStdString();
    const QList<QJsonObject> listed = vault({u"list"_s}, e).events(u"snapshot"_s);
    ASSERT_EQ(listed.size(), 1);
    EXPECT_EQ(listed.first().value(u"categories"_s).toArray().size(), 3);
    const QString target = dir.filePath(u"restored"_s);
    ASSERT_EQ(vault({u"restore"_s, u"latest"_s, u"--target"_s, target}, e).exitCode, 0);
    EXPECT_EQ(treeDifferences(home, target), QStringList());

    // restic alone, with the password and the store's keys, reads what kivo wrote.
    const CliRun engineList = resticAlone({u"snapshots"_s, u"--json"_s});
    ASSERT_EQ(engineList.exitCode, 0) << engineList.err.toStdString();
    const QJsonArray engineSnapshots = QJsonDocument::fromJson(engineList.out).array();
    ASSERT_EQ(engineSnapshots.size(), 3);
    QStringList tags;
    for (const QJsonValue& t : engineSnapshots.first().toObject().value(u"tags"_s).toArray())
        tags << t.toString().section(u'=', 0, 0);
    for (const char* wanted : {"kind", "category", "user", "principal"})
        EXPECT_TRUE(tags.contains(QString::fromLatin1(wanted))) << wanted << " in " << tags.join(u',').toStdString();

    // Keys for a role instead: the profile's keys only sign the token service's request.
    QProcessEnvironment viaRole = env;
    viaRole.insert(u"KIVO_CONFIG_PROFILE"_s, roleProfile());
    const CliRun asRole = vault({u"list"_s}, viaRole);
    EXPECT_EQ(asRole.exitCode, 0) << asRole.err.toStdString();
    EXPECT_EQ(asRole.events(u"snapshot"_s).size(), 1);
}

TEST_F(ObjectStore, AFullBucketAndAStoppedStoreSayWhyAndLoseNothing)
{
    ASSERT_EQ(s3({u"init"_s}).exitCode, 0);
    ASSERT_EQ(s3({u"snapshot"_s, u"--categories"_s, u"userFiles"_s}).exitCode, 0);

    // Over quota: a clear error, the vault stays sound, and a retry with room works.
    ASSERT_EQ(admin({u"quota"_s, u"set"_s, u"--quota-scope=bucket"_s, u"--bucket="_s + bucket, u"--max-size=1M"_s}).exitCode, 0);
    ASSERT_EQ(admin({u"quota"_s, u"enable"_s, u"--quota-scope=bucket"_s, u"--bucket="_s + bucket}).exitCode, 0);
    writeBytes(home + u"/Documents/big.bin"_s, randomBytes(4 * 1024 * 1024));
    const CliRun full = s3({u"snapshot"_s, u"--categories"_s, u"userFiles"_s});
    EXPECT_EQ(full.exitCode, 1) << full.err.toStdString();
    EXPECT_EQ(full.event(u"error"_s).value(u"kind"_s).toString(), u"full"_s);
    EXPECT_TRUE(full.err.contains("over its storage quota")) << full.err.toStdString();
    EXPECT_EQ(s3({u"check"_s}).exitCode, 0);
    ASSERT_EQ(admin({u"quota"_s, u"set"_s, u"--quota-scope=bucket"_s, u"--bucket="_s + bucket, u"--max-size=100M"_s}).exitCode, 0);
    EXPECT_EQ(s3({u"snapshot"_s, u"--categories"_s, u"userFiles"_s}).exitCode, 0);
    EXPECT_EQ(s3({u"list"_s}).events(u"snapshot"_s).size(), 2);

    // The store stopped: 7, saying it cannot be reached. Last, as it ends the store for this suite.
    if (!owned)
        return;
    QFile pid(storeFolder + u"/run/client.rgw.pid"_s);
    ASSERT_TRUE(pid.open(QIODevice::ReadOnly));
    ASSERT_EQ(runProcess(u"kill"_s, {QString::fromLatin1(pid.readAll().trimmed())}).exitCode, 0);
    QThread::msleep(500);
    const CliRun gone = s3({u"list"_s});
    EXPECT_EQ(gone.exitCode, 7);
    EXPECT_EQ(gone.event(u"error"_s).value(u"kind"_s).toString(), u"unreachable"_s);
    EXPECT_TRUE(gone.err.contains("cannot be reached (connection refused)")) << gone.err.toStdString();
    QProcessEnvironment sending = keyed;
    sending.insert(u"KIVO_VAULT_PASSWORD_FILE"_s, passwordFile);
    const CliRun unsent = runCli({u"send"_s, u"--home"_s, home, u"--categories"_s, u"userFiles"_s, u"--vault-snapshot"_s,
                                  u"--vault"_s, repository, u"--json"_s}, sending);
    EXPECT_EQ(unsent.exitCode, 7) << unsent.err.toStdString();
    EXPECT_TRUE(unsent.events(u"advertising"_s).isEmpty()) << "nothing is offered without its snapshot";
}

// Needs no store: nothing is contacted when the keys are missing, whichever
// command opens the profile's vault, and a send advertises nothing.
TEST(ObjectStoreProfile, AnS3ProfileWithoutKeysStopsBeforeAnyConnection)
{
    QTemporaryDir dir;
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost));
    const QString profile = writeProfile(
        dir.filePath(u"profile.plist"_s),
        {{u"kivo.brandingName"_s, u"Acme"_s}, {u"kivo.vaultStorageType"_s, u"s3"_s}, {u"kivo.vaultEndpoint"_s, u"http://127.0.0.1:%1"_s.arg(listener.serverPort())},
         {u"kivo.vaultBucketName"_s, u"acme-vaults"_s}, {u"kivo.vaultCredentialSecret"_s, u"pw"_s}});
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "KIVO_VAULT_PASSWORD_FILE"})
        e.remove(QString::fromLatin1(name));
    e.insert(u"KIVO_CONFIG_PROFILE"_s, profile);
    e.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
    const QString home = dir.filePath(u"home"_s);
    writeBytes(home + u"/Documents/a.txt"_s, "a\n");
    const QStringList commands[] = {
        {u"vault"_s, u"list"_s},
        {u"send"_s, u"--categories"_s, u"userFiles"_s},
        {u"send"_s, u"--categories"_s, u"userFiles"_s, u"--vault-snapshot"_s},
        {u"receive"_s, u"--from-vault"_s, u"latest"_s},
    };
    for (const QStringList& command : commands) {
        SCOPED_TRACE(command.join(u' ').toStdString());
        const CliRun run = runCli(command + QStringList{u"--home"_s, home, u"--json"_s}, e);
        EXPECT_EQ(run.exitCode, 6) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains("kivo.awsAccessKeyID")) << run.err.toStdString();
        EXPECT_TRUE(run.events(u"advertising"_s).isEmpty());
        EXPECT_FALSE(listener.waitForNewConnection(200));
    }
    EXPECT_FALSE(QFileInfo::exists(home + u"/.local/share/kivo/from-vault"_s));
}
