// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/ResumeState.h"

#include <QDirIterator>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

class OwnershipRecorder : public OwnershipCorrector {
public:
    QCoro::Task<void> correctOwnership(QString, QString, WrittenFiles paths) override
    {
        handedOver = paths.toList();
        co_return;
    }
    QStringList handedOver;
};

} // namespace

class DestinationIntegrity : public DestinationFixture {
protected:
    int modeOf(const QString& relativePath) const
    {
        struct stat st {};
        return ::stat(QFile::encodeName(at(relativePath)).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    }
    // Temporary names left in the home, wherever they are.
    QStringList partials() const
    {
        QStringList out;
        QDirIterator it(home(), {u".kivo-*"_s}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            out.append(it.next());
        return out;
    }
    // Drops the last `lines` events of the journal, as a crash before they were written would.
    void loseJournalTail(int lines)
    {
        const QString path = ResumeState::journalPath(transfers(), u"T-1"_s);
        QList<QByteArray> events = readBytes(path).split('\n');
        events.removeLast(); // after the final newline
        ASSERT_GE(events.size(), lines);
        events.resize(events.size() - lines);
        writeBytes(path, events.isEmpty() ? QByteArray() : events.join('\n') + '\n');
    }
};

// A source that lies about what it sent never gets a file counted complete:
// a file takes its name only when every chunk arrived and the whole matches.
TEST_F(DestinationIntegrity, LyingSourceGetsNoFileCompleted)
{
    const QByteArray big = patterned(2 * 1048576 + 500, 7);
    struct Row {
        QString path;
        QByteArray content;
        QList<std::uint32_t> chunks; // sent in this order, then fileComplete
        std::optional<QByteArray> claimed; // what fileComplete says the file hashes to
        QString error; // empty: completed with its content
    };
    const QList<Row> rows = {
        {u"~/never.txt"_s, "never sent", {}, "never sent", u"File data never arrived"_s},
        {u"~/half.bin"_s, big, {0, 1}, big, u"File data incomplete"_s},
        {u"~/gap.bin"_s, big, {0, 2}, big, u"File data incomplete"_s}, // chunk 2 refused as out of order
        {u"~/wrong.txt"_s, "right", {0}, "wrong", u"File hash mismatch"_s},
        {u"~/nohash.txt"_s, "x", {0}, std::nullopt, u"No file hash from the source"_s},
        {u"~/repeat.bin"_s, big, {0, 1, 0, 1, 2}, big, {}},
        {u"~/late.txt"_s, "good", {0}, "good", {}},
    };
    for (const Row& row : rows)
        addItem(row.path, row.content);
    addItem(u"~/dropped.bin"_s, big);
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    for (const Row& row : rows) {
        for (std::uint32_t c : row.chunks)
            pushChunk(row.path, c, row.content.mid(c * 1048576, 1048576));
        pushComplete(row.path, row.claimed ? std::optional(FileHasher::sha256Hex(*row.claimed)) : std::nullopt);
    }
    pushChunk(u"~/late.txt"_s, 0, "evil"); // after its fileComplete
    pushComplete(u"~/late.txt"_s, FileHasher::sha256Hex("evil"));
    pushChunk(u"~/dropped.bin"_s, 0, big.left(1048576)); // then the source gives up on it
    peer.push(header(MessageType::fileSkip, u"~/dropped.bin"_s));
    pushEnd();
    receive();

    ASSERT_TRUE(progress()->isComplete());
    QStringList failed;
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const auto status = engine().manifest()->items[i].transferStatus;
        if (row.error.isEmpty()) {
            EXPECT_EQ(status, FileTransferStatus::completed) << row.path.toStdString();
            EXPECT_EQ(readBytes(at(row.path)), row.content) << row.path.toStdString();
            continue;
        }
        failed.append(row.path);
        EXPECT_EQ(status, FileTransferStatus::failed) << row.path.toStdString();
        EXPECT_FALSE(QFile::exists(at(row.path))) << row.path.toStdString();
        EXPECT_TRUE(errorsOf(*progress()).contains(row.path + u": "_s + row.error)) << row.path.toStdString();
    }
    EXPECT_EQ(repliesTo(u"~/late.txt"_s).last().header.errorMessage, u"File already finished"_s);
    EXPECT_EQ(progress()->filesCompleted(), 2);
    EXPECT_TRUE(partials().isEmpty()) << partials().join(u' ').toStdString();
    // The source hears of every failed file as a verification mismatch.
    failed.sort();
    EXPECT_EQ(mismatches(), failed);
    EXPECT_EQ(verified().size(), failed.size() + 2);
}

// The destination dies at each step of a transfer; a new run from what it recorded
// ends with every file whole, with its mode, and no conflict with its own files.
TEST_F(DestinationIntegrity, ResumeFromEveryPhaseEndsWholeWithModesAndNoConflicts)
{
    addItem(u"~/a.txt"_s, "alpha").mode = 0640;
    addItem(u"~/empty"_s, "").mode = 0600;
    addItem(u"~/big.bin"_s, patterned(2 * 1048576 + 77, 3)).mode = 0755;
    addItem(u"~/z/last.txt"_s, "omega", u"applicationData"_s).mode = 0444;
    struct Phase {
        const char* name;
        int messages;     // how many of the source's messages arrived before the crash
        int lostJournal;  // trailing journal events the crash lost
    };
    // The full run is: manifest, categoryStart, a (chunk, complete), empty (complete),
    // big (3 chunks, complete), categoryComplete, categoryStart, last (chunk, complete),
    // categoryComplete, verificationRequest, transferComplete.
    const QList<Phase> phases = {
        {"before the manifest was accepted", 0, 0},
        {"after the manifest", 1, 0},
        {"at the empty file's mode change", 5, 1},
        {"mid-file", 7, 0},
        {"after a chunk, before it was recorded", 7, 1},
        {"after fileComplete, before it was recorded", 9, 1},
        {"after the category", 10, 0},
        {"during verification", 15, 0},
        {"after transferComplete", 16, 0},
    };
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
        restart();
        pushManifest();
        pushRest();
        peer.inbox.resize(std::size_t(phase.messages));
        receive();
        if (phase.lostJournal)
            loseJournalTail(phase.lostJournal);

        auto recorded = ResumeState::load(transfers(), u"T-1"_s);
        if (recorded)
            recorded->forgetAllContent(); // the destination's own, never sent
        auto owner = std::make_shared<OwnershipRecorder>();
        resumeRun([&](DestinationTransfer& e) { e.setOwnershipCorrector(owner); });
        ASSERT_FALSE(progress()->error()) << progress()->error()->toStdString();
        // After a clean stop the source hears exactly what was recorded, so it sends only what is missing.
        const auto handed = peer.sentOfType(MessageType::manifestAck).value(0).header.resumeState;
        if (!phase.lostJournal) {
            EXPECT_EQ(handed ? std::optional(ResumeState::decode(*handed)) : std::nullopt, recorded);
        }
        EXPECT_TRUE(progress()->isComplete());
        // The counts are the whole migration's, whichever run moved each file.
        EXPECT_EQ(progress()->filesCompleted(), manifest.items.size());
        // Every file kivo wrote gets its owner, whichever run wrote it (the last run wrote none).
        if (phase.messages < 16) {
            EXPECT_EQ(owner->handedOver.size(), manifest.items.size());
        }
        for (qsizetype i = 0; i < manifest.items.size(); ++i) {
            const auto& item = manifest.items[i];
            EXPECT_EQ(readBytes(at(item.relativePath)), contents[i]) << item.relativePath.toStdString();
            EXPECT_EQ(modeOf(item.relativePath), int(*item.mode)) << item.relativePath.toStdString();
        }
        EXPECT_TRUE(progress()->conflictsResolved().isEmpty());
        EXPECT_TRUE(progress()->fileErrors().isEmpty());
        EXPECT_TRUE(mismatches().isEmpty()) << mismatches().join(u' ').toStdString();
        EXPECT_TRUE(partials().isEmpty());
        EXPECT_FALSE(ResumeState::load(transfers(), u"T-1"_s));
    }
}

// A file that changed on the source between runs is received again from its
// first chunk, never spliced from two versions.
TEST_F(DestinationIntegrity, AFileChangedBetweenRunsStartsAgain)
{
    const QByteArray before = patterned(3 * 1048576, 1), after = patterned(3 * 1048576 - 5, 2);
    addItem(u"~/done.txt"_s, "done").sourceModified = QDateTime::fromSecsSinceEpoch(100, Qt::UTC);
    addItem(u"~/big.bin"_s, before).sourceModified = QDateTime::fromSecsSinceEpoch(100, Qt::UTC);
    pushManifest();
    pushRest();
    peer.inbox.resize(6); // done.txt finished, two chunks of big.bin
    receive();

    // Both files changed on the source; the manifest of the new run says so.
    contents = {"DONE!", after};
    for (qsizetype i = 0; i < 2; ++i) {
        manifest.items[i].size = std::uint64_t(contents[i].size());
        manifest.items[i].sourceModified = QDateTime::fromSecsSinceEpoch(200, Qt::UTC);
    }
    resumeRun();

    const auto ack = peer.sentOfType(MessageType::manifestAck);
    ASSERT_TRUE(ack.size() == 1 && ack[0].header.resumeState);
    const ResumeState handed = ResumeState::decode(*ack[0].header.resumeState);
    EXPECT_EQ(handed.completedCount(), 0);
    EXPECT_FALSE(handed.inProgressFile);
    ASSERT_FALSE(progress()->error());
    EXPECT_EQ(readBytes(at(u"~/done.txt"_s)), QByteArray("DONE!"));
    EXPECT_EQ(readBytes(at(u"~/big.bin"_s)), after);
    EXPECT_TRUE(progress()->conflictsResolved().isEmpty());
}

// A re-run that keeps what is there leaves a file changed since alone without a
// mismatch: it cannot be told from the user's own file, which the policy keeps.
// A deleted file comes back (other policies: ManifestPolicy's table).
TEST_F(DestinationIntegrity, ARerunKeepsWhatChangedWithoutAMismatchAndRestoresWhatWasDeleted)
{
    for (const QString& name : {u"~/changed.txt"_s, u"~/deleted.txt"_s, u"~/intact.txt"_s})
        addItem(name, name.toUtf8());
    resumeRun();
    ASSERT_TRUE(progress()->isComplete());

    writeBytes(at(u"~/changed.txt"_s), "damaged");
    QFile::remove(at(u"~/deleted.txt"_s));
    restart();
    engine().setConflictPolicy(ConflictPolicy::skip);
    pushManifest();
    pushRest();
    receive();
    ASSERT_TRUE(progress()->isComplete());
    EXPECT_EQ(mismatches(), QStringList());
    EXPECT_EQ(progress()->verificationFilesChecked(), 1) << "only the restored file: kivo wrote nothing else";
    EXPECT_EQ(readBytes(at(u"~/changed.txt"_s)), QByteArray("damaged"));
    EXPECT_EQ(readBytes(at(u"~/deleted.txt"_s)), contents[1]);
}

// Files an earlier run finished and someone removed or rewrote before the resume are
// received again; damage no look can see (same size, the time set back) is reported
// by verification and repaired by the next run. The resume may agree on the other
// hash scheme: what the first run recorded is checked in its own (so an intact large
// file passes), every answer goes out in the new one, and the checkpoint names it.
TEST_F(DestinationIntegrity, DamageBetweenRunsIsReceivedAgainOrReportedAndRepairedInEitherScheme)
{
    using S = FileHashScheme;
    for (const auto& [first, second] : {std::pair(S::wholeFile, S::wholeFile), std::pair(S::wholeFile, S::chunkDigests),
                                        std::pair(S::chunkDigests, S::wholeFile)}) {
        SCOPED_TRACE(toString(first).toStdString() + " then " + toString(second).toStdString());
        reset();
        addItem(u"~/deleted.txt"_s, "deleted");
        addItem(u"~/rewritten.txt"_s, "rewritten");
        addItem(u"~/disguised.bin"_s, patterned(2 * FileHasher::kChunkSize + 3, 2));
        addItem(u"~/large.bin"_s, patterned(2 * FileHasher::kChunkSize + 7, 1));
        addItem(u"~/later.txt"_s, "later");
        scheme = first;
        pushManifest();
        pushRest();
        peer.inbox.resize(14); // the first four files finished
        receive();
        const std::optional<ResumeState> stopped = ResumeState::load(transfers(), u"T-1"_s);
        ASSERT_TRUE(stopped);
        ASSERT_EQ(stopped->completedCount(), 4);
        EXPECT_EQ(stopped->fileHashScheme, first);

        QFile::remove(at(u"~/deleted.txt"_s));
        writeBytes(at(u"~/rewritten.txt"_s), "damaged");
        // The second chunk changes; the size and time stay.
        QByteArray disguised = contents[2];
        disguised[qsizetype(FileHasher::kChunkSize) + 10] ^= 0x20;
        struct stat before {};
        ASSERT_EQ(::stat(QFile::encodeName(at(u"~/disguised.bin"_s)).constData(), &before), 0);
        writeBytes(at(u"~/disguised.bin"_s), disguised);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(at(u"~/disguised.bin"_s)).constData(), times, 0), 0);

        scheme = second;
        resumeRun();
        const MessageHeader ack = peer.sentOfType(MessageType::manifestAck)[0].header;
        EXPECT_EQ(ack.fileHashScheme.has_value(), second == S::chunkDigests);
        const ResumeState handed = ResumeState::decode(*ack.resumeState);
        EXPECT_EQ(handed.completedFiles(), (QStringList{u"~/disguised.bin"_s, u"~/large.bin"_s}));
        EXPECT_FALSE(handed.content(u"~/disguised.bin"_s)) << "the destination's own record stays here";
        ASSERT_TRUE(progress()->isComplete());
        EXPECT_EQ(readBytes(at(u"~/deleted.txt"_s)), contents[0]);
        EXPECT_EQ(readBytes(at(u"~/rewritten.txt"_s)), contents[1]);
        EXPECT_EQ(verified().size(), 5);
        EXPECT_EQ(mismatches(), QStringList{u"~/disguised.bin"_s});
        EXPECT_EQ(failedPaths(), QStringList{u"~/disguised.bin"_s});
        const std::optional<ResumeState> kept = ResumeState::load(transfers(), u"T-1"_s);
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->fileHashScheme, second);
        EXPECT_FALSE(kept->isCompleted(u"~/disguised.bin"_s));

        // The next run, in the same scheme, repairs it.
        resumeRun();
        ASSERT_TRUE(progress()->isComplete());
        EXPECT_TRUE(progress()->fileErrors().isEmpty());
        EXPECT_TRUE(mismatches().isEmpty());
        for (qsizetype i = 0; i < manifest.items.size(); ++i)
            EXPECT_EQ(readBytes(at(manifest.items[i].relativePath)), contents[i]);
        EXPECT_FALSE(ResumeState::load(transfers(), u"T-1"_s));
    }
}

// While kivo's copy is still arriving, a file the user creates at its name is theirs
// to keep; a link planted there is not a file the user kept: nothing is written
// through it, and the file counts as failed.
TEST_F(DestinationIntegrity, SomethingAppearingAtTheNameMeanwhileIsKeptButNeverWrittenThrough)
{
    addItem(u"~/new.txt"_s, "from the source");
    addItem(u"~/target.txt"_s, "payload");
    const QString elsewhere = dir.filePath(u"elsewhere.txt"_s);
    writeBytes(elsewhere, "untouched");
    pushManifest();
    pushRest();
    peer.onSend = [&](const Message& m) {
        if (m.header.type == MessageType::chunkAck && m.header.filePath == u"~/new.txt"_s)
            writeBytes(at(u"~/new.txt"_s), "written by the user meanwhile");
        if (m.header.type == MessageType::chunkAck && m.header.filePath == u"~/target.txt"_s)
            QFile::link(elsewhere, at(u"~/target.txt"_s));
    };
    receive();
    ASSERT_TRUE(progress()->isComplete());
    EXPECT_EQ(readBytes(at(u"~/new.txt"_s)), QByteArray("written by the user meanwhile"));
    ASSERT_EQ(progress()->conflictsResolved().size(), 1);
    EXPECT_EQ(progress()->conflictsResolved()[0].resolution, u"skipped"_s);
    EXPECT_EQ(failedPaths(), QStringList{u"~/target.txt"_s});
    EXPECT_EQ(engine().manifest()->items[1].transferStatus, FileTransferStatus::failed);
    EXPECT_EQ(readBytes(elsewhere), QByteArray("untouched"));
    EXPECT_TRUE(partials().isEmpty());
    EXPECT_TRUE(engine().writtenPaths().isEmpty());
}

// A source that says it is done after one file of three: the two it never sent
// are failures, and the checkpoint stays so that a later run can finish them.
TEST_F(DestinationIntegrity, ATransferEndedEarlyFailsTheFilesNeverSentAndKeepsTheCheckpoint)
{
    for (const QString& name : {u"~/sent.txt"_s, u"~/never-1.txt"_s, u"~/never-2.txt"_s})
        addItem(name, name.toUtf8());
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    pushChunk(u"~/sent.txt"_s, 0, contents[0]);
    pushComplete(u"~/sent.txt"_s, FileHasher::sha256Hex(contents[0]));
    peer.push(header(MessageType::transferComplete));
    receive();

    EXPECT_EQ(failedPaths(), (QStringList{u"~/never-1.txt"_s, u"~/never-2.txt"_s}));
    EXPECT_EQ(readBytes(at(u"~/sent.txt"_s)), contents[0]);
    // Resuming from it is the resume-from-every-phase table's.
    const std::optional<ResumeState> kept = ResumeState::load(transfers(), manifest.transferID);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->completedFiles(), QStringList{u"~/sent.txt"_s});
}
