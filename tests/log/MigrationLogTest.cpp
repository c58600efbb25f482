// SPDX-License-Identifier: Apache-2.0
#include "log/MigrationLogger.h"
#include "platform/Json.h"
#include "transfer/TransferProgress.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;

namespace {

MigrationLog sampleLog(const QString& id, const QDateTime& start)
{
    MigrationLog log;
    log.id = id;
    log.sourceSerialNumber = "C02XK1ABJG5H";
    log.sourceHostname = "old";
    log.destinationSerialNumber = "—";
    log.destinationHostname = "new";
    log.timestampStart = start;
    log.connectionType = "Wi-Fi";
    return log;
}

} // namespace

TEST(MigrationLog, EveryFieldSurvivesTheFileAndRequiredKeysAreRequired)
{
    MigrationLog log = sampleLog("A1", QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
    log.timestampEnd = log.timestampStart.addSecs(60);
    log.categoriesTransferred = {{"userFiles", "Files", 10, 2, CategoryResult::Status::partial}};
    log.profileIdentifier = "Acme";
    log.overallStatus = MigrationLog::Status::failed;
    log.pathRewrites = {{"~/.zshrc", "/home/a", "/home/b"}};
    EngineeringToolsLogEntry eng;
    eng.homebrewVersion = "4.2";
    eng.versionManagers = {{"nvm", 2, true}};
    eng.devDirectories = {{"~/Projects", 1.5, 3, false}};
    eng.sshKeysPresent = true;
    log.engineeringToolsAudit = eng;
    log.conflictsResolved = {{"~/a", "skipped"}};
    log.conflictPolicy = "skip";
    log.verificationMismatches = {"~/b"};
    log.ideMigration = IDEMigrationLogEntry{true, {"x.y-1.0.0"}, false, {}, false, {}, {"PyCharm2024.1"}, false};
    log.maxTransferMbps = 100;
    log.totalBytesTransferred = 5'000'000'000ull;
    EXPECT_EQ(MigrationLog::decode(log.encoded()), log);

    const MigrationLog bare = sampleLog("B2", log.timestampStart);
    const QJsonObject bareJson = bare.toJson();
    EXPECT_EQ(MigrationLog::fromJson(bareJson), bare);
    for (const char* required : {"filesSkipped", "id", "overallStatus", "verificationMismatches", "pathRewrites"}) {
        QJsonObject o = bareJson;
        o.remove(QLatin1String(required));
        EXPECT_THROW(MigrationLog::fromJson(o), DecodingError) << required;
    }
    QJsonObject badStatus = bareJson;
    badStatus.insert("overallStatus", "done");
    EXPECT_THROW(MigrationLog::fromJson(badStatus), DecodingError);
}

TEST(MigrationLog, LoadingKeepsOnlyLogsNewestFirstAndNeverWaitsOnAFifo)
{
    QTemporaryDir dir;
    const QString d = dir.path();
    const QDateTime t0(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    writeBytes(d + "/migration_OLD.json", sampleLog("OLD", t0).encoded());
    writeBytes(d + "/migration_NEW.json", sampleLog("NEW", t0.addDays(2)).encoded());
    writeBytes(d + "/migration_MID.json", sampleLog("MID", t0.addDays(1)).encoded());
    writeBytes(d + "/notes.txt", sampleLog("TXT", t0).encoded()); // not a .json file
    writeBytes(d + "/broken.json", "{ not json");
    writeBytes(d + "/other.json", "{\"hello\": 1}");
    QJsonObject missing = sampleLog("MISS", t0).toJson();
    missing.remove("filesSkipped");
    writeBytes(d + "/missing.json", json::toFileBytes(missing));
    writeBytes(d + "/unsafe.json", sampleLog("../../escape", t0).encoded());
    ASSERT_EQ(::mkfifo(QFile::encodeName(d + "/x.json").constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkdir(d + "/y.json"));

    MigrationLogger logger(d);
    QStringList ids;
    for (const MigrationLog& log : logger.allLogs())
        ids << log.id;
    EXPECT_EQ(ids, QStringList({"NEW", "MID", "OLD"}));
    EXPECT_EQ(logger.find("latest")->id, "NEW");
    EXPECT_EQ(logger.find("mid")->id, "MID");
    EXPECT_FALSE(logger.find("MISS"));
    EXPECT_EQ(logger.pathOf("OLD"), d + "/migration_OLD.json");
}

TEST(MigrationLog, ARecordFillsFromTheTransferAndCompletingTwiceRewritesOneFile)
{
    QTemporaryDir dir;
    MigrationLogger logger(dir.path() + "/logs/deeper");
    // Nothing happens without an open record.
    logger.addCategoryResult({"userFiles", "Files", 1, 1, CategoryResult::Status::success});
    logger.completeLog(MigrationLog::Status::completed);
    EXPECT_FALSE(logger.currentLog());
    EXPECT_TRUE(logger.allLogs().isEmpty());

    logger.startLog({"SER", "old", "—", "new", "Ethernet", false, std::nullopt});
    TransferProgress progress;
    progress.setBytesTransferred(1234);
    progress.setFilesCompleted(7);
    progress.addFileError({QUuid::createUuid(), "~/x", "userFiles", "Permission denied", QDateTime::currentDateTimeUtc()});
    progress.addConflictOutcome({QUuid::createUuid(), "~/a", "overwritten", QDateTime::currentDateTimeUtc()});
    progress.setICloudStubsSkipped(2);
    progress.setICloudStubsBytesSkipped(99);
    progress.setVerificationFilesChecked(7);
    progress.setVerificationMismatches({"~/m"});
    logger.attachTelemetry(progress, {QStringLiteral("overwrite"), 50});
    logger.attachIDEs({{"VSCode", "Visual Studio Code", "", "", {"a.b-1.0.0"}, 0},
                       {"JetBrains/PyCharm2024.1", "PyCharm2024.1", "", "", {}, 0},
                       {"Xcode", "Xcode", "", "", {}, 0},
                       {"Emacs", "Emacs", "", "", {}, 0}});
    logger.addCategoryResult({"userFiles", "Files", 1234, 7, CategoryResult::Status::success});

    const MigrationLog& log = *logger.currentLog();
    // Skipped counts the cloud placeholders; failed, the files with an error.
    EXPECT_EQ(std::tuple(log.totalBytesTransferred, log.filesCompleted, log.filesFailed, log.filesSkipped, log.iCloudStubsBytesSkipped),
              std::tuple(std::uint64_t(1234), 7, 1, 2, std::uint64_t(99)));
    EXPECT_EQ(log.conflictsResolved, (QList<ConflictLogEntry>{{"~/a", "overwritten"}}));
    EXPECT_EQ(std::tuple(log.conflictPolicy, log.maxTransferMbps, log.verificationMismatches),
              std::tuple(std::optional<QString>("overwrite"), std::optional<int>(50), QStringList{"~/m"}));
    const IDEMigrationLogEntry ide{true, {"a.b-1.0.0"}, false, {}, false, {}, {"PyCharm2024.1"}, true};
    EXPECT_EQ(log.ideMigration, ide);

    logger.completeLog(MigrationLog::Status::completed);
    logger.completeLog(MigrationLog::Status::failed);
    EXPECT_EQ(logger.allLogs().size(), 2);
    EXPECT_EQ(QDir(logger.logsDirectory()).entryList(QDir::Files), QStringList{MigrationLogger::fileNameFor(log.id)});
    EXPECT_EQ(MigrationLog::decode(readBytes(logger.pathOf(log.id))).overallStatus, MigrationLog::Status::failed);
}

TEST(MigrationLog, PendingPostsAreAListOfSafeIds)
{
    QTemporaryDir dir;
    MigrationLogger logger(dir.path());
    logger.addPendingPost("A");
    logger.addPendingPost("B");
    logger.addPendingPost("A");
    EXPECT_EQ(logger.pendingPosts(), QStringList({"A", "B"}));
    logger.removePendingPost("A");
    EXPECT_EQ(logger.pendingPosts(), QStringList({"B"}));
    writeBytes(dir.path() + "/pending-posts", "B\n../etc/passwd\n\nC\n");
    EXPECT_EQ(logger.pendingPosts(), QStringList({"B", "C"}));
    EXPECT_TRUE(logger.allLogs().isEmpty()); // the list is not a log
}

// A category reads as a success only when nothing of it was given up.
TEST(MigrationLog, ACategoryThatLostFilesIsNoSuccess)
{
    using S = CategoryResult::Status;
    const auto progress = [](CategoryStatus status, int files, std::uint64_t bytes) {
        CategoryProgress c;
        c.status = status;
        c.filesCompleted = files;
        c.bytesTransferred = bytes;
        return c;
    };
    const struct {
        CategoryProgress progress;
        int notTransferred;
        S expected;
    } cases[] = {
        {progress(CategoryStatus::completed, 3, 30), 0, S::success},
        {progress(CategoryStatus::completed, 3, 30), 1, S::partial},
        {progress(CategoryStatus::completed, 0, 0), 2, S::failed},
        {progress(CategoryStatus::failed, 1, 10), 0, S::failed},
        {progress(CategoryStatus::inProgress, 1, 10), 0, S::partial},
        {progress(CategoryStatus::inProgress, 0, 0), 0, S::skipped},
        {progress(CategoryStatus::pending, 0, 0), 0, S::skipped},
    };
    for (const auto& c : cases)
        EXPECT_EQ(categoryResultStatus(c.progress, c.notTransferred), c.expected)
            << int(c.progress.status) << " with " << c.notTransferred << " not transferred";
}
