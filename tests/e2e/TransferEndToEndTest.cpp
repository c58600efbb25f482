// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/TreeCompare.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

QString peerProgram()
{
    const QString build = qEnvironmentVariable("KIVO_BUILD_DIR");
    return build.isEmpty() ? QString() : build + QStringLiteral("/bench/kivo-transfer-peer");
}

void writeFile(const QString& path, qint64 size, int seed, mode_t mode = 0644)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    QByteArray block(1048576, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + seed) ^ (i >> 10));
    for (qint64 written = 0, n = 0; written < size; ++n) {
        // Every MiB differs, so a chunk landing at the wrong offset shows.
        std::memcpy(block.data(), &n, sizeof n);
        const qint64 len = std::min<qint64>(block.size(), size - written);
        f.write(block.constData(), len);
        written += len;
    }
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}

// One peer process; its JSON summary is the last line it prints.
struct Peer : CliProcess {
    explicit Peer(const QStringList& args) : CliProcess(peerProgram(), args) {}
    QJsonObject finish()
    {
        CliProcess::finish(std::chrono::minutes(5));
        const QList<QJsonObject> lines = events(QString()); // the summary names no event
        return lines.isEmpty() ? QJsonObject() : lines.last();
    }
};

class TransferEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (peerProgram().isEmpty() || !QFile::exists(peerProgram()))
            KIVO_SKIP_OR_FAIL("kivo-transfer-peer not built (KIVO_BUILD_DIR unset)");
        QDir().mkpath(source());
        QDir().mkpath(home());
    }
    QString source() const { return dir.filePath(QStringLiteral("source")); }
    QString home() const { return dir.filePath(QStringLiteral("home")); }
    QString transfers() const { return TransferEngine::transfersDirectory(home()); }

    // Destination listens, source connects; both with the same transfer id.
    std::pair<std::unique_ptr<Peer>, std::unique_ptr<Peer>> launch(const QString& id, QStringList sourceExtra = {})
    {
        const QString portFile = dir.filePath(QStringLiteral("port-") + QString::number(++m_runs));
        auto destination = std::make_unique<Peer>(QStringList{"--role", "destination", "--home", home(), "--listen", "0",
                                                              "--port-file", portFile, "--transfer-id", id});
        QString port;
        EXPECT_TRUE(waitUntil([&] {
            port = QFile::exists(portFile) ? QString::fromLatin1(readBytes(portFile)) : QString();
            return !port.isEmpty();
        }));
        auto sourcePeer = std::make_unique<Peer>(QStringList{"--role", "source", "--folder", source(), "--connect",
                                                             "127.0.0.1:" + port, "--transfer-id", id} + sourceExtra);
        return {std::move(sourcePeer), std::move(destination)};
    }

    // Waits until the destination's checkpoint shows `path` with at least `chunks` chunks acknowledged.
    std::optional<ResumeState> waitForProgress(const QString& id, const QString& path, std::uint32_t chunks)
    {
        std::optional<ResumeState> state;
        const bool reached = waitUntil([&] {
            state = ResumeState::load(transfers(), id);
            return state && state->inProgressFile && state->inProgressFile->relativePath == path
                && state->inProgressFile->lastAcknowledgedChunk + 1 >= chunks;
        }, std::chrono::seconds(60));
        return reached ? state : std::nullopt;
    }

    QTemporaryDir dir;
    int m_runs = 0;
};

} // namespace

// A killed destination resuming, with the edge cases of a whole tree, is
// FidelityEndToEnd's; every crash point of the destination is DestinationIntegrity's.
// Between the runs one finished file is deleted and one rewritten on the destination:
// the resumed run sends both again and the tree still arrives whole.
TEST_F(TransferEndToEnd, KilledSourceResumesFromTheDestinationsCheckpointAndTheTreeArrivesWhole)
{
    const QString id = QStringLiteral("resume-src");
    writeFile(source() + QStringLiteral("/a_first.txt"), 5000, 1);
    writeFile(source() + QStringLiteral("/b_second.txt"), 70000, 2);
    writeFile(source() + QStringLiteral("/b_third.txt"), 3000, 5);
    writeFile(source() + QStringLiteral("/c_large.bin"), 48 * 1048576 + 123, 3, 0640);
    writeFile(source() + QStringLiteral("/d_after.txt"), 10, 4, 0600);
    const QString large = QStringLiteral("~/c_large.bin");
    {
        // A cap keeps the large file in flight long enough to interrupt it.
        auto [src, dst] = launch(id, {"--cap", "160"});
        ASSERT_TRUE(waitForProgress(id, large, 6)) << "the large file never got going";
        src->killHard();
        dst->finish();
    }
    const auto checkpoint = ResumeState::load(transfers(), id);
    ASSERT_TRUE(checkpoint);
    ASSERT_TRUE(checkpoint->inProgressFile);
    // Finished, whether or not a flush has confirmed them yet; the next run confirms them by their hashes.
    EXPECT_EQ(checkpoint->completedFiles() + checkpoint->unconfirmedFiles.keys(),
              (QStringList{QStringLiteral("~/a_first.txt"), QStringLiteral("~/b_second.txt"),
                           QStringLiteral("~/b_third.txt")}));
    const std::uint32_t resumeAt = checkpoint->inProgressFile->lastAcknowledgedChunk + 1;
    ASSERT_LT(resumeAt, 49u) << "interrupted too late to show a resume";
    ASSERT_TRUE(QFile::remove(home() + QStringLiteral("/a_first.txt")));
    writeFile(home() + QStringLiteral("/b_second.txt"), 70000, 9);

    auto [src, dst] = launch(id);
    const QJsonObject sent = src->finish();
    const QJsonObject received = dst->finish();
    ASSERT_TRUE(sent.value(QStringLiteral("ok")).toBool()) << QJsonDocument(sent).toJson().toStdString();
    ASSERT_TRUE(received.value(QStringLiteral("ok")).toBool()) << QJsonDocument(received).toJson().toStdString();
    EXPECT_TRUE(sent.value(QStringLiteral("resumed")).toBool());
    EXPECT_EQ(sent.value(QStringLiteral("resumedCompletedFiles")).toInt(), 1);
    const QJsonObject first = sent.value(QStringLiteral("firstChunks")).toObject();
    EXPECT_EQ(first.value(QStringLiteral("~/a_first.txt")).toInt(-1), 0);
    EXPECT_EQ(first.value(QStringLiteral("~/b_second.txt")).toInt(-1), 0);
    EXPECT_FALSE(first.contains(QStringLiteral("~/b_third.txt")));
    EXPECT_EQ(first.value(large).toInt(-1), int(resumeAt));
    EXPECT_EQ(sent.value(QStringLiteral("chunksSent")).toInt(), int(49 - resumeAt) + 1 + 2);
    EXPECT_TRUE(sent.value(QStringLiteral("mismatches")).toArray().isEmpty());
    // The destination verifies every file, those finished before the kill included.
    EXPECT_EQ(sent.value(QStringLiteral("verificationChecked")).toInt(), 5);
    EXPECT_TRUE(sent.value(QStringLiteral("fileErrors")).toArray().isEmpty());
    EXPECT_EQ(treeDifferences(source(), home()), QStringList());
    EXPECT_FALSE(ResumeState::load(transfers(), id));
    EXPECT_TRUE(QDir(transfers()).entryList(QDir::Files).isEmpty());
}

// Either side killed while small files travel in bundles: the same commands
// again end with the tree byte-identical, and no file the checkpoint had as
// finished is sent a second time.
TEST_F(TransferEndToEnd, EitherSideKilledMidBundleResumesWithNothingFinishedSentTwice)
{
    constexpr int kFiles = 3000;
    for (const bool killSource : {true, false}) {
        SCOPED_TRACE(killSource ? "source killed" : "destination killed");
        const QString id = killSource ? QStringLiteral("bundle-src") : QStringLiteral("bundle-dst");
        QDir(source()).removeRecursively();
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
        for (int i = 0; i < kFiles; ++i) {
            const QString path = source() + QStringLiteral("/d%1/f%2").arg(i % 30).arg(i);
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(QByteArray::number(i) + QByteArray(1000 + (i * 37) % 7000, char('a' + i % 26)));
        }
        QStringList done;
        {
            // A cap keeps the bundles coming long enough to interrupt them.
            auto [src, dst] = launch(id, {"--cap", "24"});
            ASSERT_TRUE(waitUntil([&] {
                const auto state = ResumeState::load(transfers(), id);
                return state && state->completedCount() >= 300;
            }, std::chrono::seconds(60))) << "no bundle was recorded";
            (killSource ? src : dst)->killHard();
            (killSource ? dst : src)->finish();
        }
        const auto checkpoint = ResumeState::load(transfers(), id);
        ASSERT_TRUE(checkpoint);
        // Finished, whether or not a flush has confirmed them yet; the next run confirms them by their hashes.
        done = checkpoint->completedFiles() + checkpoint->unconfirmedFiles.keys();
        ASSERT_LT(done.size(), kFiles) << "interrupted too late to show a resume";

        auto [src, dst] = launch(id);
        const QJsonObject sent = src->finish();
        const QJsonObject received = dst->finish();
        ASSERT_TRUE(sent.value(QStringLiteral("ok")).toBool()) << QJsonDocument(sent).toJson().toStdString();
        ASSERT_TRUE(received.value(QStringLiteral("ok")).toBool()) << QJsonDocument(received).toJson().toStdString();
        const QJsonObject first = sent.value(QStringLiteral("firstChunks")).toObject();
        qsizetype resent = 0;
        for (const QString& path : done)
            resent += first.contains(path);
        EXPECT_EQ(resent, 0) << "files the checkpoint had as finished were sent again";
        EXPECT_GE(sent.value(QStringLiteral("chunksSent")).toInt(), kFiles - int(done.size()));
        EXPECT_TRUE(sent.value(QStringLiteral("fileErrors")).toArray().isEmpty());
        EXPECT_TRUE(sent.value(QStringLiteral("mismatches")).toArray().isEmpty());
        EXPECT_EQ(treeDifferences(source(), home()), QStringList());
        EXPECT_FALSE(ResumeState::load(transfers(), id));
    }
}
