// SPDX-License-Identifier: Apache-2.0
// A receive over files already there keeps them in the home's vault first.
#include "support/FileBytes.h"
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo::test;
using namespace Qt::Literals::StringLiterals;

namespace {

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

class PreChange : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QStandardPaths::findExecutable(u"restic"_s).isEmpty())
            KIVO_SKIP_OR_FAIL("restic is not installed (scripts/setup-deps installs it)");
        source = dir.filePath(u"source"_s);
        destination = dir.filePath(u"destination"_s);
        writeBytes(source + u"/Documents/kept.txt"_s, "the source's kept.txt\n");
        writeBytes(source + u"/Documents/new.txt"_s, "only the source has this\n");
        writeBytes(source + u"/.config/placeholder"_s, "");
        writeBytes(destination + u"/Documents/kept.txt"_s, "the destination's own kept.txt\n", QFile::ReadOwner | QFile::WriteOwner);
        writeBytes(destination + u"/.config/placeholder"_s, "");
        env.insert(u"XDG_CACHE_HOME"_s, dir.filePath(u"cache"_s));
        env.remove(u"KIVO_VAULT_PASSWORD_FILE"_s);
    }

    // One send of userFiles that overwrites, and the receive's result.
    CliRun migrate(const QStringList& receiveExtra, const QProcessEnvironment& receiveEnv)
    {
        CliProcess sender(kivoCli(), {u"send"_s, u"--home"_s, source, u"--categories"_s, u"userFiles"_s,
                                      u"--conflict-policy"_s, u"overwrite"_s, u"--json"_s});
        const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
        EXPECT_FALSE(advertised.isEmpty());
        const CliRun received = runProcess(kivoCli(), receiveFrom(destination, advertised) + receiveExtra, receiveEnv);
        sender.finish();
        return received;
    }

    QString vaultFolder() const { return destination + u"/.local/share/kivo/vault"_s; }

    QTemporaryDir dir;
    QString source;
    QString destination;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
};

} // namespace

TEST_F(PreChange, WhatAReceiveReplacesIsInTheVaultUnderTheMigrationsLogID)
{
    const CliRun received = migrate({}, env);
    ASSERT_EQ(received.exitCode, 0) << received.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");

    const CliRun listed = runCli({u"vault"_s, u"list"_s, u"--home"_s, destination, u"--json"_s}, env);
    ASSERT_EQ(listed.exitCode, 0) << listed.err.toStdString();
    const QList<QJsonObject> snapshots = listed.events(u"snapshot"_s);
    ASSERT_EQ(snapshots.size(), 1);
    EXPECT_EQ(snapshots[0].value(u"kind"_s).toString(), u"pre-change"_s);
    const CliRun logs = runCli({u"log"_s, u"list"_s, u"--home"_s, destination, u"--json"_s});
    const QJsonArray logList = QJsonDocument::fromJson(logs.out).array();
    ASSERT_FALSE(logList.isEmpty()) << logs.out.toStdString();
    EXPECT_EQ(snapshots[0].value(u"migrationID"_s).toString(), logList.last().toObject().value(u"id"_s).toString());
    const QJsonArray categories = snapshots[0].value(u"categories"_s).toArray();
    ASSERT_EQ(categories.size(), 1);
    EXPECT_EQ(categories[0].toObject().value(u"files"_s).toInt(), 1) << "only what was replaced";

    const QString target = dir.filePath(u"before"_s);
    ASSERT_EQ(runCli({u"vault"_s, u"restore"_s, u"latest"_s, u"--home"_s, destination, u"--target"_s, target}, env).exitCode, 0);
    EXPECT_EQ(contents(target + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_EQ(QFileInfo(target + u"/Documents/kept.txt"_s).permissions() & 0x0777, 0x0600 & 0x0777);
    EXPECT_FALSE(QFileInfo::exists(target + u"/Documents/new.txt"_s));

    // What it created is on record, so that undoing it can remove it.
    const QDir records(destination + u"/.local/share/kivo/vault-changes"_s);
    const QStringList names = records.entryList({u"*.json"_s}, QDir::Files);
    ASSERT_EQ(names.size(), 1);
    const QJsonObject record = QJsonDocument::fromJson(contents(records.filePath(names.first()))).object();
    EXPECT_EQ(record.value(u"created"_s).toInt(), 1);
    EXPECT_TRUE(contents(records.filePath(record.value(u"transferID"_s).toString() + u".after"_s))
                    .contains(QByteArray("c\0userFiles\0Documents/new.txt\0-\0f ", 34)))
        << "with what the migration left there";
    EXPECT_EQ(record.value(u"snapshotID"_s), snapshots[0].value(u"id"_s));
}

TEST_F(PreChange, NoSnapshotMeansNothingWrittenAndNoVaultOptsOut)
{
    QProcessEnvironment noRestic = env;
    noRestic.insert(u"KIVO_RESTIC"_s, dir.filePath(u"no-such-restic"_s));
    const CliRun refused = migrate({}, noRestic);
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_TRUE(refused.err.contains("--no-vault")) << refused.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the destination's own kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(destination + u"/Documents/new.txt"_s));

    const CliRun optedOut = migrate({u"--no-vault"_s}, noRestic);
    ASSERT_EQ(optedOut.exitCode, 0) << optedOut.err.toStdString();
    EXPECT_EQ(contents(destination + u"/Documents/kept.txt"_s), "the source's kept.txt\n");
    EXPECT_FALSE(QFileInfo::exists(vaultFolder()));
}
