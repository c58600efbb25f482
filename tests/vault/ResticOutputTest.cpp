// SPDX-License-Identifier: Apache-2.0
#include "cli/VaultCommand.h"
#include "vault/ResticOutput.h"
#include "vault/VaultSnapshot.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::Literals::StringLiterals;

// Standard error as restic 0.14 wrote it, recorded from real runs, and what the
// person is told: the kind and the exit code.
TEST(ResticErrors, RecordedStandardErrorMapsToTheKindAndTheExitCode)
{
    const struct {
        const char* recorded;
        VaultErrorKind kind;
        int exitCode;
    } cases[] = {
        {"Fatal: wrong password or no key found\n", VaultErrorKind::wrongPassword, 6},
        {"Fatal: unable to open config file: stat /tmp/x/config: no such file or directory\n"
         "Is there a repository at the following location?\n/tmp/x\n",
         VaultErrorKind::noVault, 6},
        {"unable to create lock in backend: repository is already locked by PID 12099 on vm by root (UID 0, GID 0)\n"
         "lock was created at 2026-12-07 04:26:22 (2.096996221s ago)\nstorage ID dc0623b8\n"
         "the `unlock` command can be used to remove stale locks\n",
         VaultErrorKind::locked, 7},
        {"unable to create lock in backend: repository is already locked exclusively by PID 4242 on vm by ann\n",
         VaultErrorKind::locked, 7},
        {"no parent snapshot found, will read all files\nFatal: unable to save snapshot: write "
         "/tmp/rt/small/repo/data/39/39f8d77a-tmp-2559217250: no space left on device\n",
         VaultErrorKind::full, 1},
        {"Fatal: unable to open config file: Stat: Get \"http://127.0.0.1:9/bucket/?location=\": dial tcp "
         "127.0.0.1:9: connect: connection refused\nIs there a repository at the following location?\n"
         "s3:http://127.0.0.1:9/bucket\n",
         VaultErrorKind::unreachable, 7},
        {"invalid id \"deadbeef\": no matching ID found for prefix \"deadbeef\"\n", VaultErrorKind::unknownSnapshot, 6},
        // Against radosgw: a bucket over its quota, keys it
        // refuses, a bucket that is not there, and a store that stopped while being created in.
        {"Save(<data/ce3310b42c>) returned error, retrying after 552.330144ms: client.PutObject: Error response code "
         "QuotaExceeded.\nFatal: unable to save snapshot: client.PutObject: Error response code QuotaExceeded.\n",
         VaultErrorKind::full, 1},
        {"Fatal: unable to open config file: Stat: Access Denied.\nIs there a repository at the following location?\n"
         "s3:http://127.0.0.1:57607/bucket1/org\n",
         VaultErrorKind::missingKey, 6},
        {"Fatal: unable to open config file: Stat: The specified bucket does not exist.\nIs there a repository at the "
         "following location?\ns3:http://127.0.0.1:57607/nobucket/org\n",
         VaultErrorKind::noVault, 6},
        {"Fatal: create repository at s3:http://127.0.0.1:49507/bucket2/org failed: client.BucketExists: Get "
         "\"http://127.0.0.1:49507/bucket2/?location=\": dial tcp 127.0.0.1:49507: connect: connection refused\n",
         VaultErrorKind::unreachable, 7},
        {"Fatal: repository contains errors\n", VaultErrorKind::damaged, 1},
        {"Fatal: create repository at repo failed: config file already exists\n", VaultErrorKind::failed, 1},
        {"", VaultErrorKind::failed, 1},
    };
    for (const auto& c : cases) {
        const VaultErrorKind kind = restic::classifyError(QByteArray(c.recorded));
        EXPECT_EQ(kind, c.kind) << c.recorded;
        EXPECT_EQ(cli::exitCodeFor(kind), c.exitCode) << c.recorded;
    }
    // A full bucket ends the run at the engine's first retry; a lock or an
    // unreachable store is left to the engine's retries.
    EXPECT_TRUE(restic::isHopeless("Save(<data/ce3310b42c>) returned error, retrying after 552.330144ms: "
                                   "client.PutObject: Error response code QuotaExceeded.\n"));
    EXPECT_FALSE(restic::isHopeless("unable to create lock in backend: repository is already locked by PID 1\n"));
    EXPECT_FALSE(restic::isHopeless("Load(<lock/1>) returned error, retrying after 1s: dial tcp: connection refused\n"));
    // The line shown is the engine's reason, not its advice.
    EXPECT_EQ(restic::errorReason("Fatal: wrong password or no key found\n"), u"wrong password or no key found"_s);
    // The object store's failures are said plainly.
    EXPECT_EQ(restic::describeError("Fatal: unable to open config file: Stat: Get \"http://127.0.0.1:9/b/?location=\": dial "
                                    "tcp 127.0.0.1:9: connect: connection refused\n"),
              u"the vault's object store at 127.0.0.1:9 cannot be reached (connection refused): is it running, and is the "
              "address right?"_s);
    EXPECT_TRUE(restic::describeError("Fatal: unable to save snapshot: client.PutObject: Error response code QuotaExceeded.\n")
                    .startsWith(u"the vault's bucket is over its storage quota"_s));
    EXPECT_TRUE(restic::describeError("Fatal: unable to open config file: Stat: Access Denied.\n")
                    .startsWith(u"the object store refused the vault's keys (Access Denied)"_s));
    EXPECT_EQ(restic::errorReason("no parent snapshot found, will read all files\nunable to create lock in backend: "
                                  "repository is already locked by PID 1\nthe `unlock` command can be used\n"),
              u"unable to create lock in backend: repository is already locked by PID 1"_s);
}

TEST(ResticOutput, VersionsAreReadAndComparedAgainstTheOldestSupported)
{
    const struct {
        const char* output;
        bool parses;
        bool supported;
    } cases[] = {
        {"restic 0.14.0 compiled with go1.19.8 on linux/amd64\n", true, true},
        {"restic 0.16.4 compiled with go1.21.6 on linux/arm64", true, true},
        {"restic 1.0.0 compiled with go1.23 on linux/amd64", true, true},
        {"restic 0.13.1 compiled with go1.18 on linux/amd64", true, false},
        {"restic 0.9.6 compiled with go1.13 on linux/amd64", true, false},
        {"resticprofile 0.20.0", false, false},
        {"", false, false},
    };
    for (const auto& c : cases) {
        const auto v = restic::parseVersion(QByteArray(c.output));
        EXPECT_EQ(v.has_value(), c.parses) << c.output;
        if (v) {
            EXPECT_EQ(v->atLeast(0, 14), c.supported) << c.output;
        }
    }
}

TEST(ResticOutput, BackupLinesGiveProgressAndTheSnapshotID)
{
    const auto status = restic::parseBackupLine(
        R"({"message_type":"status","seconds_elapsed":2,"seconds_remaining":8,"percent_done":0.2,"total_files":10,)"
        R"("files_done":2,"total_bytes":1000,"bytes_done":200,"current_files":["/home/ann/Documents/a.txt"]})");
    EXPECT_EQ(status.type, restic::BackupLine::Type::status);
    EXPECT_EQ(status.files, 2u);
    EXPECT_EQ(status.totalBytes, 1000u);
    EXPECT_EQ(status.bytes, 200u);
    EXPECT_EQ(status.secondsRemaining, 8.0);
    EXPECT_EQ(status.currentFile, u"/home/ann/Documents/a.txt"_s);

    const auto summary = restic::parseBackupLine(
        R"({"message_type":"summary","files_new":1,"data_added":717,"total_files_processed":1,)"
        R"("total_bytes_processed":3,"total_duration":0.25,"snapshot_id":"2005edf4"})");
    EXPECT_EQ(summary.type, restic::BackupLine::Type::summary);
    EXPECT_EQ(summary.snapshotID, u"2005edf4"_s);
    EXPECT_EQ(summary.dataAdded, 717u);

    for (const char* other : {"", "not json", "[1,2]", R"({"message_type":"verbose_status"})",
                              R"({"message_type":"status","files_done":-5})"})
        EXPECT_EQ(restic::parseBackupLine(other).files, 0u) << other;
}

TEST(ResticOutput, TagValuesSurviveCommasAndOtherBytesTheEngineWouldSplitOn)
{
    const QString values[] = {u"/home/ann"_s, u"/home/a,b=c"_s, u"100%"_s, u"Zoë's Mac"_s, u"a b\tc"_s, u""_s};
    for (const QString& v : values) {
        const QString t = restic::tag(u"home"_s, v);
        EXPECT_FALSE(t.mid(5).contains(u',')) << t.toStdString();
        EXPECT_EQ(restic::tagValues({u"kivo"_s, t}).value(u"home"_s), v) << t.toStdString();
    }
}

namespace {

restic::Snapshot engineSnapshot(const char* id, const char* time, const QString& snapshot, const QString& category,
                                const QStringList& extra = {})
{
    restic::Snapshot s;
    s.id = QString::fromLatin1(id);
    s.time = QDateTime::fromString(QString::fromLatin1(time), Qt::ISODate);
    s.hostname = u"old-laptop"_s;
    s.tags = QStringList{u"kivo"_s, restic::tag(u"snapshot"_s, snapshot), restic::tag(u"category"_s, category)} + extra;
    return s;
}

} // namespace

TEST(VaultSnapshots, EngineSnapshotsGroupIntoKivosAndNamesPickOne)
{
    const QList<restic::Snapshot> engine = {
        engineSnapshot("bbbb0001", "2026-12-02T10:00:01Z", u"20aa000000"_s, u"userFiles"_s,
                       {u"kind=pre-change"_s, u"migration=M-1"_s, u"files=3"_s, u"bytes=30"_s}),
        engineSnapshot("aaaa0001", "2026-12-01T10:00:00Z", u"10aa000000"_s, u"userFiles"_s),
        engineSnapshot("aaaa0002", "2026-12-01T10:00:05Z", u"10aa000000"_s, u"applicationData"_s),
        engineSnapshot("cccc0001", "2026-12-03T10:00:00Z", u"30bb000000"_s, u"applicationData"_s),
        // Taken by someone else with the engine: not kivo's.
        [] { restic::Snapshot s; s.id = u"dddd0001"_s; s.tags = {u"nightly"_s}; return s; }(),
    };
    const QList<VaultSnapshot> all = groupSnapshots(engine);
    ASSERT_EQ(all.size(), 3);
    EXPECT_EQ(all[0].id, u"10aa000000"_s);
    EXPECT_EQ(all[0].categories.size(), 2);
    EXPECT_EQ(all[1].kind, u"pre-change"_s);
    EXPECT_EQ(all[1].migrationID, u"M-1"_s);
    EXPECT_EQ(all[1].categories.first().files, 3u);

    const struct {
        QString name;
        std::optional<QString> category;
        QString expected; // empty: refused as unknown
    } cases[] = {
        {u"latest"_s, {}, u"30bb000000"_s},
        {u"latest"_s, u"userFiles"_s, u"20aa000000"_s},
        {u"10aa000000"_s, {}, u"10aa000000"_s},
        {u"20aa"_s, {}, u"20aa000000"_s},   // a start of an id
        {u"aaaa0002"_s, {}, u"10aa000000"_s}, // an engine snapshot
        {u"cccc"_s, u"userFiles"_s, {}},      // it has no userFiles
        {u"2"_s, {}, {}},                      // too short to mean one
        {u"aaaa"_s, {}, u"10aa000000"_s},      // two engine snapshots, one kivo snapshot
        {u"ffff"_s, {}, {}},
    };
    for (const auto& c : cases) {
        if (c.expected.isEmpty()) {
            EXPECT_THROW(pickSnapshot(all, c.name, c.category), VaultError) << c.name.toStdString();
            continue;
        }
        EXPECT_EQ(pickSnapshot(all, c.name, c.category).id, c.expected) << c.name.toStdString();
    }
    EXPECT_THROW(pickSnapshot({}, u"latest"_s), VaultError);
}

TEST(ResticOutput, SnapshotListsThatAreNotListsAreRefused)
{
    EXPECT_THROW(restic::parseSnapshots("{}"), VaultError);
    EXPECT_THROW(restic::parseSnapshots("Fatal"), VaultError);
    const auto parsed = restic::parseSnapshots(
        R"([{"time":"2026-12-07T04:25:45.797407038Z","paths":["/h/Documents"],"hostname":"vm","username":"root",)"
        R"("tags":["a=b"],"id":"2005edf4e73119d6b0c951124f4d46aa712c4b8ea9893ca4b3c52b569035992f"},)"
        R"({"id":"../../etc"}])");
    ASSERT_EQ(parsed.size(), 1);
    EXPECT_EQ(parsed[0].time, QDateTime(QDate(2026, 12, 7), QTime(4, 25, 45, 797), Qt::UTC));
}
