// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/PreFlightConflict.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

class RecordingAdapter : public AccountAdapter {
public:
    QCoro::Task<void> adaptCategory(QString categoryID, WrittenFiles files) override
    {
        calls.append(categoryID + u':' + files.toList().join(u'|'));
        co_return;
    }
    QStringList calls;
};

class RecordingCorrector : public OwnershipCorrector {
public:
    QCoro::Task<void> correctOwnership(QString home, QString owner, WrittenFiles written) override
    {
        const QStringList paths = written.toList();
        calls.append({home, owner, paths.join(u'|')});
        for (const QString& path : paths)
            if (!QFileInfo::exists(path))
                missing.append(path);
        co_return;
    }
    QCoro::Task<bool> setFileMode(QString path, std::uint16_t mode) override
    {
        modes.append(path + u':' + QString::number(mode, 8));
        co_return true;
    }
    QList<QStringList> calls;
    QStringList modes, missing;
};

} // namespace

TEST_F(DestinationFixture, ManifestLargerThanTheFreeSpaceIsRefusedBeforeAnythingIsWritten)
{
    addItem(u"~/a"_s, "a");
    manifest.items[0].size = manifest.totalSize = std::uint64_t(1) << 50;
    pushManifest();
    receive();
    ASSERT_TRUE(progress()->error());
    EXPECT_TRUE(progress()->error()->startsWith(u"Not enough disk space. Need "_s));
    // Told, so the source need not wait out its deadline for an acknowledgement.
    ASSERT_EQ(peer.sent.size(), 1);
    EXPECT_EQ(peer.sent[0].header.type, MessageType::error);
    EXPECT_EQ(peer.sent[0].header.errorCode, u"disk_full"_s);
    EXPECT_EQ(peer.sent[0].header.spaceNeeded, manifest.totalSize);
    EXPECT_TRUE(peer.sent[0].header.spaceAvailable);
    EXPECT_FALSE(QFile::exists(transfers()));
}

// A resumed transfer asks room only for what its checkpoint does not already have in place.
TEST(DestinationSpace, WhatAnEarlierRunLandedIsNotAskedForAgain)
{
    TransferManifest manifest;
    for (const auto& [path, size] : {std::pair{u"~/a"_s, 100}, {u"~/b"_s, 200}, {u"~/c"_s, 400}, {u"~/d"_s, 800}}) {
        TransferManifest::FileItem item;
        item.relativePath = path;
        item.size = std::uint64_t(size);
        manifest.items.append(item);
        manifest.totalSize += item.size;
    }
    const ItemsByPath index(manifest.items);
    const auto partly = [](qsizetype bytes, const QString& path = u"~/c"_s) {
        ResumeState s;
        s.inProgressFile = ResumeState::InProgressFile{path, u"userFiles"_s, 0, std::uint64_t(bytes)};
        return s;
    };
    const struct {
        const char* name;
        std::optional<ResumeState> earlier;
        std::uint64_t needed;
    } cases[] = {
        {"no checkpoint", std::nullopt, 1500},
        {"a fresh checkpoint", ResumeState{}, 1500},
        {"two completed", [] { ResumeState s; s.markCompleted(u"~/a"_s); s.markCompleted(u"~/d"_s); return s; }(), 600},
        {"one in place, not yet confirmed", [] { ResumeState s; s.unconfirmedFiles.insert(u"~/b"_s, u"h"_s); return s; }(), 1300},
        {"completed and unconfirmed counted once",
         [] { ResumeState s; s.markCompleted(u"~/b"_s); s.unconfirmedFiles.insert(u"~/b"_s, u"h"_s); return s; }(), 1300},
        {"part of a file", partly(150), 1350},
        {"more of a file than the file now holds", partly(5000), 1100},
        {"a path the manifest no longer has", [] { ResumeState s; s.markCompleted(u"~/gone"_s); return s; }(), 1500},
        {"everything", [] {
             ResumeState s;
             for (const QString& p : {u"~/a"_s, u"~/b"_s, u"~/c"_s, u"~/d"_s})
                 s.markCompleted(p);
             return s;
         }(), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DestinationTransfer::bytesStillToCome(manifest, index, c.earlier, false), c.needed) << c.name;
}

// Names of one file (a link group) land once when the later ones come as links, each in full when they cannot.
TEST(DestinationSpace, AFileWithSeveralNamesIsAskedForOnceWhenItsOtherNamesComeAsLinks)
{
    TransferManifest manifest;
    for (const auto& [path, size, group] : {std::tuple{u"~/a"_s, 100, 0}, {u"~/c"_s, 400, 1}, {u"~/c2"_s, 400, 1},
                                            {u"~/c3"_s, 400, 1}, {u"~/d"_s, 800, 2}, {u"~/d2"_s, 800, 2}}) {
        TransferManifest::FileItem item;
        item.relativePath = path;
        item.size = std::uint64_t(size);
        item.linkGroup = std::uint32_t(group);
        manifest.items.append(item);
        manifest.totalSize += item.size;
    }
    const ItemsByPath index(manifest.items);
    const auto earlier = [](const QString& completed, const QString& partly, std::uint64_t bytes) {
        ResumeState s;
        if (!completed.isEmpty())
            s.markCompleted(completed);
        if (!partly.isEmpty())
            s.inProgressFile = ResumeState::InProgressFile{partly, u"userFiles"_s, 0, bytes};
        return s;
    };
    const struct {
        const char* name;
        std::optional<ResumeState> earlier;
        bool linksTaken;
        std::uint64_t needed;
    } cases[] = {
        {"links taken", std::nullopt, true, 1300},
        {"links not taken", std::nullopt, false, 2900},
        {"a later name already in place", earlier(u"~/c3"_s, {}, 0), true, 900},
        {"part of one name: the rest links to it", earlier({}, u"~/c2"_s, 150), true, 1150},
        {"part of one name, links not taken", earlier({}, u"~/c2"_s, 150), false, 2750},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DestinationTransfer::bytesStillToCome(manifest, index, c.earlier, c.linksTaken), c.needed) << c.name;
}

// Which names are refused is the path check's table; here, that both the pre-flight answerer and
// the writer apply it, what a link or pipe in the home does to each, the checks only the engine can
// make before anything is created, and that verification hashes only what it wrote, never through a link.
TEST_F(DestinationFixture, HostileChunksAreRefusedAndVerificationHashesOnlyWhatItWrote)
{
    const QString outside = dir.filePath(u"outside"_s);
    QDir().mkpath(outside);
    writeBytes(outside + u"/target"_s, "untouched");
    // Links planted inside the destination tree that point out of it; a pipe where a file
    // should go is refused at once, never waited on for a reader.
    ASSERT_EQ(::symlink(QFile::encodeName(outside).constData(), QFile::encodeName(home() + u"/linkdir"_s).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(outside + u"/target"_s).constData(),
                        QFile::encodeName(home() + u"/linkfile"_s).constData()), 0);
    ASSERT_EQ(::mkfifo(QFile::encodeName(home() + u"/pipe"_s).constData(), 0600), 0);
    writeBytes(home() + u"/exists.txt"_s, "here");
    // A file of the user's where the source has a folder.
    writeBytes(home() + u"/filedir"_s, "mine");
    // Pre-flight questions, and the answer each should get.
    enum class Answer { conflict, absent, refused };
    const QList<std::pair<QString, Answer>> questions = {
        {u"~/exists.txt"_s, Answer::conflict},
        {u"~/absent.txt"_s, Answer::absent},
        {u"~/linkdir/target"_s, Answer::absent}, // never looked at through the link
        {u"~/linkfile"_s, Answer::conflict},     // the link itself, not its target
        {outside + u"/target"_s, Answer::refused},
        {u"~/../outside/target"_s, Answer::refused},
    };
    QStringList asked;
    for (const auto& [path, expected] : questions)
        asked.append(path);
    peer.push(header(MessageType::preFlightConflictRequest), PreFlightConflictRequest{asked, u"R1"_s, {}, {}, {}}.encoded());
    // A link or pipe at a file's own name is never opened: the bytes gather under a temporary name.
    const QList<std::pair<QString, QString>> refused = {
        {u"~/linkdir/x"_s, u"A link stands in its folder path at "_s + home() + u"/linkdir; nothing was written through it"_s},
        {u"~/filedir/x"_s, u"A file stands in its folder path at "_s + home() + u"/filedir; it was left as it is"_s},
        {u"~/linkfile"_s, u"ack"_s},
        {u"~/pipe"_s, u"ack"_s},      {outside + u"/evil.sh"_s, u"Outside home folder"_s},
        {u"~/../outside/x"_s, u"Invalid path"_s}, {u"~/not-in-manifest"_s, u"Unknown file"_s}};
    for (const auto& [path, reason] : refused)
        if (path != u"~/not-in-manifest"_s)
            addItem(path, "evil", u"hostile"_s);
    addItem(u"~/small"_s, "1234", u"hostile"_s);
    // Announced far larger than sent: a chunk near its end must leave no sparse giant behind.
    addItem(u"~/far.bin"_s, "", u"hostile"_s).size = std::uint64_t(64) << 30;
    addItem(u"~/a.txt"_s, "alpha");
    addItem(u"~/b.txt"_s, "beta");
    // Already there and never sent: completing it must not hand out its digest.
    writeBytes(home() + u"/before.txt"_s, "private");
    addItem(u"~/before.txt"_s, "private", u"applicationData"_s);
    pushManifest();
    for (const auto& [path, reason] : refused)
        pushChunk(path, 0, "evil");
    pushChunk(u"~/small"_s, 1, "1234");                      // offset beyond the item's size
    pushChunk(u"~/small"_s, 0, "12345");                     // longer than the item
    pushChunk(u"~/small"_s, 0, "1234", QString(64, u'a'));   // corrupted
    peer.push(header(MessageType::chunkData, u"~/small"_s, 0)); // no payload
    pushChunk(u"~/far.bin"_s, 60000, "evil");
    pushCategory(u"userFiles"_s);
    peer.push(header(MessageType::fileComplete, u"~/before.txt"_s));
    pushEnd();
    // Once written, a.txt is swapped for a link to the file outside.
    peer.onSend = [&](const Message& m) {
        if (m.header.type == MessageType::fileAck && m.header.filePath == u"~/a.txt"_s) {
            const QByteArray path = QFile::encodeName(home() + u"/a.txt"_s);
            ::unlink(path.constData());
            ASSERT_EQ(::symlink(QFile::encodeName(outside + u"/target"_s).constData(), path.constData()), 0);
        }
    };
    engine().setConflictPolicy(ConflictPolicy::overwrite);
    receive();

    const auto answer = PreFlightConflictResponse::decode(
        peer.sentOfType(MessageType::preFlightConflictResponse).value(0).payload.value_or(QByteArray()));
    QStringList conflicts;
    for (const ConflictSummary& c : answer.conflicts) {
        conflicts.append(c.path);
        EXPECT_EQ(c.destSize, c.path == u"~/exists.txt"_s ? 4u : 0u) << "a link is not measured by its target";
    }
    for (const auto& [path, expected] : questions) {
        EXPECT_EQ(conflicts.contains(path), expected == Answer::conflict) << path.toStdString();
        EXPECT_EQ(answer.refusedPaths.contains(path), expected == Answer::refused) << path.toStdString();
    }
    for (const auto& [path, reason] : refused) {
        const auto replies = repliesTo(path);
        ASSERT_EQ(replies.size(), 1) << path.toStdString();
        EXPECT_EQ(replies[0].header.errorMessage.value_or(u"ack"_s), reason) << path.toStdString();
        // Failed for good: the source is told not to send it again.
        EXPECT_EQ(replies[0].header.errorCode == QLatin1String(RequestWindow::kFileFailed), reason.contains(u"folder path"_s))
            << path.toStdString();
    }
    QStringList reasons;
    for (const Message& m : repliesTo(u"~/small"_s))
        reasons.append(m.header.type == MessageType::chunkNack ? *m.header.errorMessage : u"ack"_s);
    EXPECT_EQ(reasons, (QStringList{u"Chunk beyond end of file"_s, u"Chunk beyond end of file"_s, u"Hash mismatch"_s,
                                    u"Missing chunk data"_s}));
    EXPECT_EQ(repliesTo(u"~/far.bin"_s).value(0).header.errorMessage, u"Chunk out of order"_s);
    EXPECT_FALSE(QFile::exists(DestinationTransfer::partialPathFor(home() + u"/far.bin"_s, u"T-1"_s, u"~/far.bin"_s)));
    // The link on the folder path fails its file, listed, instead of passing unnoticed.
    EXPECT_TRUE(failedPaths().contains(u"~/linkdir/x"_s)) << failedPaths().join(u' ').toStdString();
    EXPECT_TRUE(failedPaths().contains(u"~/filedir/x"_s)) << failedPaths().join(u' ').toStdString();
    EXPECT_EQ(readBytes(home() + u"/filedir"_s), QByteArray("mine"));
    EXPECT_EQ(QDir(outside).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList{u"target"_s});
    EXPECT_EQ(readBytes(outside + u"/target"_s), QByteArray("untouched"));
    EXPECT_FALSE(QFile::exists(home() + u"/small"_s));
    EXPECT_EQ(engine().writtenPaths(), (QStringList{home() + u"/a.txt"_s, home() + u"/b.txt"_s}));

    // a.txt, now a link, reads as missing; before.txt never arrived: both go back without a digest. The
    // source already knows why linkdir/x and filedir/x failed: they are no verification failures.
    QStringList reported;
    for (const FileVerification& v : verified())
        reported.append(v.filePath + u' ' + v.sha256Hash);
    reported.sort();
    EXPECT_EQ(reported, (QStringList{u"~/a.txt "_s, u"~/b.txt "_s + FileHasher::sha256Hex("beta"), u"~/before.txt "_s}));
    EXPECT_EQ(engine().manifest()->items.last().transferStatus, FileTransferStatus::failed);
}

// Whether a conflicting destination already holds the incoming content is read from it:
// a pipe there must neither hold that read up for ever nor pass for an empty file.
TEST_F(DestinationFixture, APipeWhereAFileGoesIsAConflictNeverWaitedOn)
{
    for (const auto& [name, content] : {std::pair(u"~/notes.txt"_s, QByteArray("hello")), std::pair(u"~/empty"_s, QByteArray())}) {
        ASSERT_EQ(::mkfifo(QFile::encodeName(at(name)).constData(), 0600), 0);
        addItem(name, content);
    }
    engine().setConflictPolicy(ConflictPolicy::skip);
    pushManifest();
    pushRest();
    receive();

    ASSERT_TRUE(progress()->isComplete());
    QStringList kept;
    for (const ConflictOutcome& c : progress()->conflictsResolved())
        kept.append(c.relativePath + u' ' + c.resolution);
    EXPECT_EQ(kept, (QStringList{u"~/notes.txt skipped"_s, u"~/empty skipped"_s}));
    for (const auto& item : engine().manifest()->items) {
        EXPECT_EQ(item.transferStatus, FileTransferStatus::skipped) << item.relativePath.toStdString();
        EXPECT_TRUE(QFileInfo(at(item.relativePath)).exists() && !QFileInfo(at(item.relativePath)).isFile());
    }
}

// Resuming from a checkpoint is the resume-from-every-phase table's; here, that cancelling
// an interrupted run removes what it wrote and keeps the checkpoint for another try.
TEST_F(DestinationFixture, CancellingAnInterruptedRunRemovesWhatItWroteAndKeepsTheCheckpoint)
{
    const QByteArray data = patterned(2 * 1048576, 5);
    addItem(u"~/done.txt"_s, "done");
    addItem(u"~/big.bin"_s, data);
    pushManifest();
    peer.push(header(MessageType::categoryStart, u"userFiles"_s));
    pushChunk(u"~/done.txt"_s, 0, "done");
    pushComplete(u"~/done.txt"_s, FileHasher::sha256Hex("done"));
    pushChunk(u"~/big.bin"_s, 0, data.left(1048576));
    receive(); // ends with the connection

    EXPECT_EQ(progress()->error(), u"Connection to the other Mac was lost"_s);
    ASSERT_EQ(engine().writtenPaths(), QStringList{home() + u"/done.txt"_s});
    runTask(engine().cancelAndCleanup());
    EXPECT_FALSE(QFile::exists(home() + u"/done.txt"_s));
    EXPECT_FALSE(QFile::exists(DestinationTransfer::partialPathFor(home() + u"/big.bin"_s, u"T-1"_s, u"~/big.bin"_s)));
    EXPECT_TRUE(progress()->isCancelled());
    EXPECT_TRUE(ResumeState::load(transfers(), u"T-1"_s));
}

// A refused file is answered with fileSkip and never written; a failed import fails what arrived for
// its category; each finished category's written files go, by where they landed, to the account
// adapter and the callback; across accounts the helper sets modes before the final name and owners after.
TEST_F(DestinationFixture, FinishedCategoriesGoThroughTheHandlerAdapterCorrectorAndCallback)
{
    const QString plist = u"~/Library/Preferences/com.vendor.app.plist"_s, apps = u"applicationData"_s;
    const QString config = u"~/Library/Application Support/App/config.json"_s;
    auto handler = std::make_shared<RecordingHandler>(apps);
    handler->refusals = {{plist, u"App not installed on destination"_s}};
    auto adapter = std::make_shared<RecordingAdapter>();
    auto corrector = std::make_shared<RecordingCorrector>();
    QStringList finalized;
    engine().registerHandler(handler);
    engine().registerHandler(std::make_shared<RecordingHandler>(u"userFiles"_s, true));
    engine().setAccountAdapter(adapter);
    engine().setOwnershipCorrector(corrector);
    engine().setUserMapping(UserMapping::make(u"old"_s, u"/Users/old"_s, u"new"_s, home()));
    engine().setCategoryFinalized([&](QString id, QList<TransferManifest::FileItem> items) -> QCoro::Task<void> {
        finalized.append(id + u':' + QString::number(items.size()));
        co_return;
    });
    addItem(plist, "<plist/>", apps);
    addItem(config, "{\"home\":\"/Users/old\"}", apps).mode = 0600;
    addItem(u"/Users/old/Library/App/.ssh/id_ed25519"_s, "key", apps);
    addItem(u"~/Documents/note.txt"_s, "/Users/old");
    TransferManifest::Entry empty;
    empty.relativePath = u"~/Documents/Empty"_s;
    empty.categoryID = u"userFiles"_s;
    manifest.entries = {empty};
    pushManifest();
    pushCategory(apps);
    pushCategory(u"userFiles"_s);
    pushEnd();
    QStringList importFailures;
    QObject::connect(&engine(), &TransferEngine::categoryImportFailed, [&](const QString& id, const QString& error, bool) {
        importFailures.append(id + u": "_s + error);
    });
    receive();

    ASSERT_TRUE(progress()->isComplete());
    EXPECT_EQ(importFailures, QStringList{u"userFiles: cannot import"_s});
    // The source learns of it: verification answers the file as not arrived.
    EXPECT_EQ(mismatches(), QStringList{u"~/Documents/note.txt"_s});
    QStringList skips;
    for (const Message& skip : peer.sentOfType(MessageType::fileSkip))
        skips.append(*skip.header.filePath + u": "_s + skip.header.errorMessage.value_or(QString()));
    // This script sends the refused file's chunk and completion: both are answered.
    EXPECT_EQ(skips, QStringList(2, plist + u": App not installed on destination"_s));
    EXPECT_EQ(errorsOf(*progress()), (QStringList{plist + u": App not installed on destination"_s, u"~/Documents/note.txt: cannot import"_s}));
    EXPECT_FALSE(QFile::exists(home() + u"/Library/Preferences/com.vendor.app.plist"_s));
    EXPECT_EQ(engine().manifest()->items[3].transferStatus, FileTransferStatus::failed);
    const QString landed = home() + u"/Library/Application Support/App/config.json"_s;
    EXPECT_EQ(adapter->calls, (QStringList{apps + u':' + landed + u'|' + home() + u"/Library/App/.ssh/id_ed25519"_s,
                                           u"userFiles:"_s + home() + u"/Documents/note.txt"_s}));
    EXPECT_EQ(finalized, (QStringList{u"applicationData:3"_s, u"userFiles:1"_s}));
    EXPECT_EQ(corrector->modes, QStringList{DestinationTransfer::partialPathFor(landed, u"T-1"_s, config) + u":600"_s});
    ASSERT_EQ(corrector->calls.size(), 1);
    EXPECT_EQ(corrector->calls[0].mid(0, 2), (QStringList{home(), u"new"_s}));
    // The written files and the empty folder, which exists by then so that it is handed over too.
    EXPECT_EQ(corrector->calls[0][2].split(u'|').size(), 4);
    EXPECT_TRUE(corrector->calls[0][2].endsWith(home() + u"/Documents/Empty"_s)) << corrector->calls[0][2].toStdString();
    EXPECT_EQ(corrector->missing, QStringList());
}

// The pre-flight answers themselves are the hostile-source run's to check.
TEST_F(DestinationFixture, SourceErrorsPausesSkipsAndUnexpectedMessagesAreHandled)
{
    addItem(u"~/a"_s, "a");
    pushManifest();
    for (const MessageHeader& h : {header(MessageType::chunkAck), header(MessageType::pause),
                                   header(MessageType::fileSkip, u"~/a"_s), header(MessageType::error)})
        peer.push(h);
    receive();
    ASSERT_EQ(peer.sent[0].header.type, MessageType::manifestAck);
    EXPECT_FALSE(peer.sent[0].header.resumeState) << "no checkpoint existed";
    EXPECT_EQ(progress()->error(), u"Unknown error from source"_s);
    EXPECT_TRUE(progress()->isPaused());
    EXPECT_EQ(errorsOf(*progress()), QStringList{u"~/a: Skipped by source"_s});
    EXPECT_EQ(engine().manifest()->items[0].transferStatus, FileTransferStatus::skipped);
    EXPECT_TRUE(ResumeState::load(transfers(), u"T-1"_s)) << "the checkpoint stays for a later resume";

    ScriptedConnection other;
    other.push(header(MessageType::chunkData));
    DestinationTransfer second(&other, u"x"_s, home());
    runTask(second.run());
    EXPECT_EQ(second.progress()->error(),
              u"Invalid protocol message: Expected manifest or pre-flight conflict request, got chunkData"_s);
}
