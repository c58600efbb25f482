// SPDX-License-Identifier: Apache-2.0
#include "platform/Error.h"
#include "platform/Json.h"
#include "transfer/ConflictResolver.h"
#include "transfer/MDMSafetyChecker.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fcntl.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// Written entry by entry, a checkpoint is still the whole document pretty-printed; a transfer ID
// names a file, so one that could lead elsewhere is refused.
TEST(ResumeState, EncodedWholeListedNewestFirstAndJunkSkipped)
{
    QTemporaryDir dir;
    ResumeState older{u"A"_s, u"h"_s, QDateTime::fromSecsSinceEpoch(100, Qt::UTC),
                      QDateTime::fromSecsSinceEpoch(200, Qt::UTC), {}, std::nullopt, {}, 0, {}};
    ResumeState newer = older;
    newer.transferID = u"B"_s;
    newer.updatedAt = QDateTime::fromSecsSinceEpoch(300, Qt::UTC);
    newer.markCompleted(u"~/a \"q\" ]}"_s);
    newer.markCompleted(u"~/b\n"_s);
    newer.completedCategories = {u"userFiles"_s};
    newer.inProgressFile = ResumeState::InProgressFile{u"~/c"_s, u"userFiles"_s, 5, 6291456};
    newer.setIdentity(u"~/c"_s, {7340032, QDateTime::fromSecsSinceEpoch(50, Qt::UTC)});
    newer.setIdentity(u"~/d}"_s, {0, std::nullopt});
    newer.unconfirmedFiles = {{u"~/e"_s, QString(64, u'e')}, {u"~/f"_s, QString(64, u'f')}};
    newer.setContent(u"~/a \"q\" ]}"_s, CompletedContent{*Sha256Digest::fromHex(QString(64, u'a')), 5, -86400, 999999999});
    newer.setContent(u"~/e"_s, CompletedContent{*Sha256Digest::fromHex(QString(64, u'b')), 0, 1, 2}); // in place, not completed
    for (const ResumeState* state : {&older, &newer}) {
        EXPECT_EQ(state->encoded(), json::toFileBytes(state->toJson()));
        state->save(dir.path());
    }
    ResumeState many = newer; // more entries than one block of the writer holds
    for (int i = 0; i < 2500; ++i) {
        many.markCompleted(u"~/m%1"_s.arg(i));
        many.setIdentity(u"~/m%1"_s.arg(i), {std::uint64_t(i), std::nullopt});
        if (i % 3 == 0) // every list skips some of the records the others hold
            many.setContent(u"~/m%1"_s.arg(i), CompletedContent{*Sha256Digest::fromHex(QString(64, u'c')), 1, 2, 3});
        if (i % 7 == 0)
            many.setIdentity(u"~/n%1"_s.arg(i), {std::uint64_t(i), QDateTime::fromSecsSinceEpoch(i, Qt::UTC)});
    }
    EXPECT_EQ(many.encoded(), json::toFileBytes(many.toJson()));
    EXPECT_EQ(ResumeState::decode(many.encoded()), many);
    // The source's copy: everything but what the files here hold.
    ResumeState handed = ResumeState::decode(many.encoded(ResumeState::Content::leftOut));
    EXPECT_FALSE(handed.content(u"~/m0"_s));
    many.forgetAllContent();
    EXPECT_EQ(handed, many);
    writeBytes(dir.path() + u"/broken.json"_s, "{not json");
    writeBytes(dir.path() + u"/notes.txt"_s, "{}");
    EXPECT_EQ(ResumeState::listAll(dir.path()), (QList<ResumeState>{newer, older}));
    ResumeState::remove(dir.path(), u"B"_s);
    ResumeState::remove(dir.path(), u"missing"_s);
    EXPECT_FALSE(ResumeState::load(dir.path(), u"B"_s));
    EXPECT_FALSE(ResumeState::isValidTransferID(u"../etc"_s));
    EXPECT_FALSE(ResumeState::isValidTransferID(u".hidden"_s));
    EXPECT_TRUE(ResumeState::isValidTransferID(u"0F6A8E52-3C1B-4D8A-9E0C-5B2F7D9A1C33"_s));
}

TEST(ResumeJournal, EventsSurviveWithoutRewritingTheCheckpointAndReplayIsIdempotent)
{
    QTemporaryDir dir;
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    ResumeState fresh{u"T"_s, u"old-mac"_s, t0, t0, {}, std::nullopt, {}, 0, {}};
    {
        ResumeJournal journal(dir.path(), fresh);
        journal.fileStarted(u"~/a"_s, {1048586, t0}, t0);
        journal.chunkWritten(u"~/a"_s, u"userFiles"_s, 0, 1048576, 1048576, t0.addSecs(1));
        journal.chunkWritten(u"~/a"_s, u"userFiles"_s, 1, 1048586, 10, t0.addSecs(2));
        journal.fileCompleted(u"~/a"_s, t0.addSecs(3));
        journal.contentRecorded(u"~/a"_s, CompletedContent{*Sha256Digest::fromHex(QString(64, u'a')), 1048586, 7, 8});
        journal.contentRecorded(u"~/gone"_s, CompletedContent{});
        journal.contentRecorded(u"~/gone"_s, std::nullopt);
        journal.chunkWritten(u"~/b"_s, u"userFiles"_s, 0, 1048576, 1048576, t0.addSecs(4));
        // The JSON file is written on opening and untouched by per-chunk and per-file events.
        QFile json(ResumeState::jsonPath(dir.path(), u"T"_s));
        ASSERT_TRUE(json.open(QIODevice::ReadOnly));
        EXPECT_EQ(ResumeState::decode(json.readAll()), fresh);
    }
    // A torn last line (the process died mid-append) is ignored.
    QFile journalFile(ResumeState::journalPath(dir.path(), u"T"_s));
    ASSERT_TRUE(journalFile.open(QIODevice::Append));
    journalFile.write(R"({"e":"file","p":"~/b")");
    journalFile.close();

    const auto loaded = ResumeState::load(dir.path(), u"T"_s);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->completedFiles(), QStringList{u"~/a"_s});
    ASSERT_TRUE(loaded->inProgressFile);
    EXPECT_EQ(loaded->inProgressFile->relativePath, u"~/b"_s);
    EXPECT_EQ(loaded->inProgressFile->lastAcknowledgedChunk, 0u);
    EXPECT_EQ(loaded->totalBytesReceived, 2u * 1048576 + 10);
    EXPECT_EQ(loaded->updatedAt, t0.addSecs(4));
    EXPECT_EQ(loaded->identity(u"~/a"_s), (ResumeState::FileIdentity{1048586, t0}));
    EXPECT_EQ(loaded->content(u"~/a"_s)->modifiedNsecs, 8);
    EXPECT_FALSE(loaded->content(u"~/gone"_s));
    EXPECT_FALSE(loaded->files.contains(u"~/gone"_s)) << "a record with nothing left in it goes";

    // Reopening folds the journal into the JSON; a crash before the old journal
    // is replaced must not count anything twice.
    QFile::copy(ResumeState::journalPath(dir.path(), u"T"_s), dir.path() + u"/old.journal"_s);
    {
        ResumeJournal reopened(dir.path(), *loaded);
        EXPECT_TRUE(reopened.wasStarted(u"~/b"_s));
        EXPECT_FALSE(reopened.wasStarted(u"~/a"_s));
    }
    QFile::remove(ResumeState::journalPath(dir.path(), u"T"_s));
    QFile::copy(dir.path() + u"/old.journal"_s, ResumeState::journalPath(dir.path(), u"T"_s));
    EXPECT_EQ(*ResumeState::load(dir.path(), u"T"_s), *loaded);

    ResumeJournal last(dir.path(), *loaded);
    last.categoryCompleted(u"userFiles"_s, t0.addSecs(9));
    last.remove();
    EXPECT_TRUE(QDir(dir.path()).entryList({u"T.*"_s}).isEmpty());
}

// Bundled files are recorded in compact lines that name them by number; read
// back, they give the same checkpoint the per-file events give, a journal of
// an earlier version mixed in still reads, and a line naming a number never
// given ends the replay there.
TEST(ResumeJournal, BundledFilesReadBackAsTheSameCheckpointAsFileByFileEvents)
{
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    const CompletedContent content{*Sha256Digest::fromHex(QString(64, u'c')), 5, 7, 8};
    const QString hash(64, u'c');
    auto record = [&](const QString& dir, bool bundled) {
        ResumeJournal journal(dir, ResumeState{u"T"_s, u"old-mac"_s, t0, t0, {}, std::nullopt, {}, 0, {}});
        journal.fileStarted(u"~/earlier \"one\""_s, {5, t0}, t0); // as an earlier version wrote it
        for (const QString& path : {u"~/a"_s, u"~/b"_s, u"~/c"_s, u"~/d"_s}) {
            if (bundled) {
                journal.bundledFileStarted(path, {5, t0}, t0);
                journal.bytesReceived(5);
            } else {
                journal.fileStarted(path, {5, t0}, t0);
                journal.chunkWritten(path, u"userFiles"_s, 0, 5, 5, t0);
            }
        }
        journal.flush();
        journal.fileAbandoned(u"~/d"_s, t0);
        for (const QString& path : {u"~/a"_s, u"~/b"_s, u"~/c"_s, u"~/earlier \"one\""_s}) {
            if (bundled) {
                journal.bundledFileLanded(path, hash, content, t0);
            } else {
                journal.contentRecorded(path, content);
                journal.fileInPlace(path, hash, t0);
            }
        }
        journal.filesCompleted({u"~/a"_s, u"~/c"_s, u"~/earlier \"one\""_s}, t0);
        journal.flush();
        return journal.stats();
    };
    QTemporaryDir plain, compact;
    const ResumeJournal::Stats plainCost = record(plain.path(), false);
    const ResumeJournal::Stats compactCost = record(compact.path(), true);
    const auto expected = ResumeState::load(plain.path(), u"T"_s);
    ASSERT_TRUE(expected);
    EXPECT_EQ(expected->completedFiles(), (QStringList{u"~/a"_s, u"~/c"_s, u"~/earlier \"one\""_s}));
    EXPECT_EQ(expected->unconfirmedFiles.keys(), QStringList{u"~/b"_s});
    EXPECT_FALSE(expected->identity(u"~/d"_s));
    EXPECT_EQ(ResumeState::load(compact.path(), u"T"_s), expected);
    EXPECT_LT(compactCost.bytes, plainCost.bytes);

    // A completion naming a number the journal never gave: what came before still stands.
    QFile journalFile(ResumeState::journalPath(compact.path(), u"T"_s));
    ASSERT_TRUE(journalFile.open(QIODevice::Append));
    journalFile.write(R"({"e":"done","r":[[1,9]],"u":"1970-01-01T00:20:00Z"})" "\n");
    journalFile.close();
    EXPECT_EQ(ResumeState::load(compact.path(), u"T"_s), expected);
}

// A file counts as left alone only while it is a regular file of the recorded
// size and time; a checkpoint's spelling of it reads back exactly or not at all.
TEST(CompletedContent, SpellingRoundTripsAndOnlyTheSameSizeAndTimeMayHoldIt)
{
    const Sha256Digest hash = *Sha256Digest::fromHex(FileHasher::sha256Hex("x"));
    const CompletedContent left{hash, 10, -5, 123};
    EXPECT_EQ(CompletedContent::parse(hash.toHex(), left.stamp()), left);
    for (const QString& bad : {u"10:-5"_s, u"10:-5:123:4"_s, u"x:-5:123"_s, u"-1:-5:123"_s, u"10:-5:1000000000"_s, u""_s})
        EXPECT_FALSE(CompletedContent::parse(hash.toHex(), bad)) << qPrintable(bad);
    EXPECT_FALSE(CompletedContent::parse(u"zz"_s, left.stamp()));

    fs::FileStatus same;
    same.kind = fs::FileStatus::Kind::regular;
    same.size = 10;
    same.modifiedSecs = -5;
    same.modifiedNsecs = 123;
    EXPECT_TRUE(left.mayBeHeldBy(same));
    const QList<std::function<void(fs::FileStatus&)>> changes = {
        [](fs::FileStatus& s) { s.size = 11; },
        [](fs::FileStatus& s) { s.modifiedSecs = 0; },
        [](fs::FileStatus& s) { s.modifiedNsecs = 124; },
        [](fs::FileStatus& s) { s.kind = fs::FileStatus::Kind::other; },
    };
    for (const auto& change : changes) {
        fs::FileStatus other = same;
        change(other);
        EXPECT_FALSE(left.mayBeHeldBy(other));
    }
    EXPECT_FALSE(left.mayBeHeldBy(std::nullopt));
}

// A record's content stamp is kept as its nanoseconds alone when it repeats the
// source's size and second; every other stamp, before 1970, at the edges or far
// off, reads back exactly, through the table's growth, removals and
// reinsertions alike.
TEST(ResumeState, PackedRecordsReadBackExactly)
{
    const Sha256Digest hash = *Sha256Digest::fromHex(FileHasher::sha256Hex("x"));
    const auto at = [](std::int64_t msecs) { return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC); };
    struct Case {
        const char* name;
        std::optional<ResumeState::FileIdentity> identity;
        CompletedContent content;
    };
    const QList<Case> cases = {
        {"the source's size and time", ResumeState::FileIdentity{7, at(1700000000000)}, {hash, 7, 1700000000, 123456789}},
        {"the source's, before 1970", ResumeState::FileIdentity{7, at(-1000)}, {hash, 7, -1, 999999999}},
        {"the source's, at a whole second", ResumeState::FileIdentity{0, at(-2000)}, {hash, 0, -2, 0}},
        {"another size", ResumeState::FileIdentity{7, at(5000)}, {hash, 8, 5, 0}},
        {"another second", ResumeState::FileIdentity{7, at(5000)}, {hash, 7, 6, 0}},
        {"a time without a source time", ResumeState::FileIdentity{7, std::nullopt}, {hash, 7, 5, 0}},
        {"no identity", std::nullopt, {hash, 9, -86400, 999999999}},
        {"seconds past any millisecond count", ResumeState::FileIdentity{7, at(0)}, {hash, 7, INT64_MAX, 1}},
    };
    ResumeState state{u"T"_s, u"h"_s, at(0), at(1000), {}, std::nullopt, {}, 0, {}};
    state.files.reserve(4);
    const auto path = [](qsizetype i) { return u"~/case %1"_s.arg(i); };
    const auto check = [&](const char* when) {
        for (qsizetype i = 0; i < cases.size(); ++i) {
            EXPECT_EQ(state.identity(path(i)), cases[i].identity) << cases[i].name << ", " << when;
            EXPECT_EQ(state.content(path(i)), cases[i].content) << cases[i].name << ", " << when;
            EXPECT_TRUE(state.isCompleted(path(i))) << cases[i].name << ", " << when;
        }
    };
    for (qsizetype i = 0; i < cases.size(); ++i) {
        if (cases[i].identity)
            state.setIdentity(path(i), *cases[i].identity);
        state.setContent(path(i), cases[i].content);
        state.markCompleted(path(i));
    }
    check("stored");
    // Removed and stored again, then grown far past what was reserved.
    for (int i = 0; i < 3000; ++i) {
        state.setIdentity(u"~/other %1"_s.arg(i), {std::uint64_t(i), at(i * 1000)});
        if (i % 2 == 0)
            state.forgetIdentity(u"~/other %1"_s.arg(i));
    }
    for (qsizetype i = 0; i < cases.size(); ++i) {
        state.forgetCompletion(path(i));
        state.forgetIdentity(path(i));
        EXPECT_FALSE(state.files.contains(path(i))) << cases[i].name;
    }
    EXPECT_EQ(state.files.size(), 1500);
    for (qsizetype i = cases.size() - 1; i >= 0; --i) {
        state.setContent(path(i), cases[i].content);
        if (cases[i].identity)
            state.setIdentity(path(i), *cases[i].identity);
        state.markCompleted(path(i));
    }
    check("stored again");
    EXPECT_EQ(state.files.size(), 1500 + cases.size());
    EXPECT_EQ(std::count_if(state.files.cbegin(), state.files.cend(), [](const auto& r) { return r.hasContent; }),
              cases.size());
    EXPECT_EQ(ResumeState::decode(state.encoded()), state);
    ResumeState otherOrder;
    for (qsizetype i = 0; i < cases.size(); ++i) {
        otherOrder.setContent(path(i), cases[i].content);
        if (cases[i].identity)
            otherOrder.setIdentity(path(i), *cases[i].identity);
        otherOrder.markCompleted(path(i));
    }
    for (int i = 2999; i >= 0; i -= 2)
        otherOrder.setIdentity(u"~/other %1"_s.arg(i), {std::uint64_t(i), at(i * 1000)});
    EXPECT_EQ(otherOrder.files, state.files);
    otherOrder.setContent(path(0), CompletedContent{hash, 7, 1700000000, 123456788});
    EXPECT_NE(otherOrder.files, state.files);
}

// What a crash would leave: the events of small files only once flushed, a large
// chunk at once, and a completion after the placing it confirms.
TEST(ResumeJournal, SmallFilesEventsGatherUntilFlushedLargeChunksAreWrittenAtOnce)
{
    QTemporaryDir dir;
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1000, Qt::UTC);
    ResumeJournal journal(dir.path(), ResumeState{u"T"_s, u"old-mac"_s, t0, t0, {}, std::nullopt, {}, 0, {}});
    const auto onDisk = [&] { return *ResumeState::load(dir.path(), u"T"_s); };
    const QString hash(64, u'a');

    journal.fileStarted(u"~/s"_s, {10, t0}, t0);
    journal.chunkWritten(u"~/s"_s, u"userFiles"_s, 0, 10, 10, t0);
    EXPECT_FALSE(onDisk().identity(u"~/s"_s));
    journal.flush();
    EXPECT_EQ(onDisk().identity(u"~/s"_s), (ResumeState::FileIdentity{10, t0}));
    EXPECT_EQ(onDisk().totalBytesReceived, 10u);

    journal.fileInPlace(u"~/s"_s, hash, t0);
    journal.chunkWritten(u"~/big"_s, u"userFiles"_s, 0, 1048576, 1048576, t0);
    ResumeState seen = onDisk();
    EXPECT_EQ(seen.unconfirmedFiles.value(u"~/s"_s), hash) << "written with the large chunk, in order";
    ASSERT_TRUE(seen.inProgressFile);
    EXPECT_EQ(seen.inProgressFile->relativePath, u"~/big"_s);

    journal.fileInPlace(u"~/t"_s, hash, t0);
    journal.filesCompleted({u"~/s"_s, u"~/t"_s}, t0);
    seen = onDisk();
    EXPECT_EQ(seen.completedFiles(), (QStringList{u"~/s"_s, u"~/t"_s}));
    EXPECT_TRUE(seen.unconfirmedFiles.isEmpty()) << "each placing is read before the completion that confirms it";
}

// keepNewer compares at the precision both sides have: to the nanosecond only when the source sent it.
TEST(ConflictResolver, PoliciesAndTimesDecide)
{
    QTemporaryDir dir;
    const QString existing = dir.filePath(u"existing"_s);
    writeBytes(existing, "x");
    for (ConflictPolicy p : {ConflictPolicy::skip, ConflictPolicy::overwrite, ConflictPolicy::keepNewer, ConflictPolicy::ask})
        EXPECT_TRUE(ConflictResolver::resolve(dir.filePath(u"missing"_s), std::nullopt, p).write);

    constexpr std::int64_t s = 1700000000;
    const auto newer = ConflictDecision::skip(u"destination is newer"_s);
    const auto written = ConflictDecision::writeFile(u"source is newer or equal"_s);
    struct Case {
        std::int64_t destinationSecs;
        long destinationNanos;
        std::optional<std::int64_t> sourceSecs;
        std::optional<std::uint32_t> sourceNanos;
        ConflictPolicy policy;
        ConflictDecision expected;
    };
    const Case cases[] = {
        {s, 0, s - 1, {}, ConflictPolicy::skip, ConflictDecision::skip(u"destination exists, policy=skip"_s)},
        {s, 0, s - 1, {}, ConflictPolicy::overwrite, ConflictDecision::writeFile(u"policy=overwrite"_s)},
        {s, 0, {}, {}, ConflictPolicy::keepNewer, ConflictDecision::skip(u"missing mtime, defaulting to skip"_s)},
        {s, 0, s - 1, {}, ConflictPolicy::keepNewer, newer},
        {s, 500000000, s, 500000000u, ConflictPolicy::keepNewer, written},  // equal, fraction included
        {s, 500000000, s, {}, ConflictPolicy::keepNewer, written},          // equal to the second
        {s, 500000001, s, 500000000u, ConflictPolicy::keepNewer, newer},    // a nanosecond newer
        {s, 0, s, 999999999u, ConflictPolicy::keepNewer, written},          // source newer within the second
        {s - 1, 999999999, s, {}, ConflictPolicy::keepNewer, written},
    };
    for (const Case& c : cases) {
        const timespec times[2] = {{c.destinationSecs, c.destinationNanos}, {c.destinationSecs, c.destinationNanos}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(existing).constData(), times, 0), 0);
        const auto source = c.sourceSecs ? std::optional(QDateTime::fromSecsSinceEpoch(*c.sourceSecs, Qt::UTC)) : std::nullopt;
        EXPECT_EQ(ConflictResolver::resolve(existing, source, c.policy, c.sourceNanos), c.expected)
            << toString(c.policy).toStdString() << ' ' << c.destinationSecs - s << "s " << c.destinationNanos << "ns";
    }
}

TEST(MDMSafetyChecker, ProtectedPrefixesAreRefusedEvenWhenDisguised)
{
    MDMSafetyChecker checker;
    EXPECT_FALSE(checker.isPathSafe(u"/private/var/db/ConfigurationProfiles/Store"_s));
    EXPECT_TRUE(checker.isPathSafe(u"/Users/ana/var/db/MDM"_s));
    // Every way a clean-up changes a path; the exact path and one below it as they are.
    for (const QString& disguised :
         {u"/Users/ana/../../var/db/DetachedSignatures/a"_s, u"/var//db/MDM/a"_s, u"/var/db/./MDM/a"_s,
          u"/var/./db/MDM"_s, u"/var/db/x/../MDM/a"_s, u"/var/db/MDM/"_s, u"//var/db/MDM/a"_s, u"/var/db/MDM"_s,
          u"/var/db/MDM/a/b"_s})
        EXPECT_FALSE(checker.isPathSafe(disguised)) << disguised.toStdString();
    for (const QString& harmless : {u"/var/db/.MDM/a"_s, u"/var/db/..MDM"_s, u"/home/ana/.config/a"_s, u"/"_s, u""_s})
        EXPECT_TRUE(checker.isPathSafe(harmless)) << harmless.toStdString();

    MDMSafetyChecker relocated(u"/tmp/root"_s);
    EXPECT_TRUE(relocated.isPathSafe(u"/var/db/MDM/a"_s));
}
