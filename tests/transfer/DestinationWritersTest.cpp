// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "transfer/DestinationWriters.h"
#include "transfer/FileHasher.h"

#include <QCoroFuture>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

TEST(DestinationWriters, AdmitsWithinTheCapAndAnythingIntoAnEmptyQueue)
{
    const struct {
        std::uint64_t queued, bytes, cap;
        bool admitted;
    } cases[] = {
        {0, 10, 100, true},   {90, 10, 100, true}, {91, 10, 100, false},
        {0, 500, 100, true}, // larger than the cap: alone
        {1, 500, 100, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DestinationWriters::admits(c.queued, c.bytes, c.cap), c.admitted) << c.queued << " + " << c.bytes;
    const std::pair<int, int> threads[] = {{0, 2}, {1, 2}, {2, 2}, {3, 3}, {16, 4}};
    for (const auto& [cores, expected] : threads)
        EXPECT_EQ(DestinationWriters::threadsFor(cores), expected) << cores;
}

// One whole file as a writer places it: checked, written with its time and
// mode, then renamed only onto a free name unless replacing was decided.
TEST(DestinationWriters, PlacesAWholeFileOrSaysWhyNot)
{
    using Step = WholeFileOutcome::Step;
    QTemporaryDir dir;
    const QString home = dir.filePath(u"home"_s);
    QDir().mkpath(home);
    const QByteArray body = "the bytes of the file";
    const QString hash = FileHasher::sha256Hex(body);
    enum class There { nothing, otherFile, link, linkedFolder };
    const struct {
        const char* name;
        QString relative;
        There there;
        bool replace;
        QString expectedHash;
        Step step;
        QByteArray finalContent;
    } cases[] = {
        {"fresh name", u"a.txt"_s, There::nothing, false, hash, Step::placed, body},
        {"new folders on the way", u"x/y/z/b.txt"_s, There::nothing, false, hash, Step::placed, body},
        {"wrong hash", u"c.txt"_s, There::nothing, false, QString(64, u'0'), Step::hashMismatch, "<missing>"},
        {"name taken, kept", u"d.txt"_s, There::otherFile, false, hash, Step::nameTaken, "theirs"},
        {"name taken, replaced", u"e.txt"_s, There::otherFile, true, hash, Step::placed, body},
        {"link at the name", u"f.txt"_s, There::link, false, hash, Step::nameTaken, "<missing>"},
        {"link in the folder path", u"lf/g.txt"_s, There::linkedFolder, false, hash, Step::writeFailed, "<missing>"},
    };
    DestinationWriter writer(home);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString destination = home + u'/' + c.relative;
        const QString partial = destination + u".part"_s;
        if (c.there == There::otherFile)
            writeBytes(destination, "theirs");
        if (c.there == There::link) {
            ASSERT_TRUE(QFile::link(dir.filePath(u"nowhere"_s), destination));
        }
        if (c.there == There::linkedFolder) {
            ASSERT_TRUE(QFile::link(dir.path(), home + u"/lf"_s));
        }
        WholeFile file{"head" + body + "tail", 4, body.size(), c.expectedHash, partial, destination, c.replace, false,
                       {0640, fs::FileTime{1700000000, 5}, {}}};
        const WholeFileOutcome out = placeWholeFile(writer, file);
        EXPECT_EQ(out.step, c.step);
        EXPECT_EQ(readBytes(destination), c.finalContent);
        EXPECT_EQ(out.linkAtName, c.there == There::link);
        if (c.step == Step::placed) {
            ASSERT_TRUE(out.status);
            EXPECT_EQ(out.status->mode & 0777, 0640);
            EXPECT_EQ(out.status->modifiedSecs, 1700000000);
            EXPECT_FALSE(QFile::exists(partial));
        }
        // A rejected file starts afresh for its resend; nothing else leaves a hidden copy.
        EXPECT_EQ(QFileInfo(partial).exists(), c.step == Step::hashMismatch);
        EXPECT_FALSE(QFile::exists(dir.filePath(u"g.txt"_s)) || QFile::exists(dir.filePath(u"g.txt.part"_s)));
    }
}

// Many files in folders that do not exist yet, placed by two threads at once:
// every folder is made before the files in it, whichever thread gets there first.
TEST(DestinationWriters, TwoThreadsPlaceFilesOfFoldersNotYetMade)
{
    QTemporaryDir dir;
    DestinationWriters writers(dir.path(), 2, 1 << 20);
    constexpr int kFiles = 120;
    auto placed = std::make_shared<WorkCountdown>(kFiles);
    auto outcomes = std::make_shared<std::vector<WholeFileOutcome>>(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        const QByteArray body = QByteArray::number(i).repeated(100 + i);
        const QString destination = dir.path() + u"/d%1/deeper/f%2"_s.arg(i % 6).arg(i);
        WholeFile file{body, 0, body.size(), FileHasher::sha256Hex(body), destination + u".part"_s, destination, false,
                       false, {}};
        runTask(writers.reserve(std::uint64_t(body.size())));
        writers.post(std::uint64_t(body.size()), [placed, outcomes, i, file](DestinationWriter& w) {
            (*outcomes)[std::size_t(i)] = placeWholeFile(w, file);
            placed->done();
        });
    }
    runTask([](QFuture<void> f) -> QCoro::Task<void> { co_await f; }(placed->future()));
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_EQ((*outcomes)[std::size_t(i)].step, WholeFileOutcome::Step::placed) << i;
        EXPECT_EQ(readBytes(dir.path() + u"/d%1/deeper/f%2"_s.arg(i % 6).arg(i)), QByteArray::number(i).repeated(100 + i));
    }
    // The last job counts itself done a moment before its thread gives its bytes back.
    const QDeadlineTimer deadline(5000);
    while (writers.queuedBytes() != 0 && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(writers.queuedBytes(), 0u);
}

// Jobs of one folder never run side by side and keep their order; a job whose
// folder is busy does not hold up a later one of another folder.
TEST(DestinationWriters, RunsOneJobPerFolderAtATimeAndOthersPastIt)
{
    QTemporaryDir dir;
    DestinationWriters writers(dir.path(), 2, 1 << 20);
    EXPECT_EQ(DestinationWriters::folderKey(u"/h/a/x.part"_s), DestinationWriters::folderKey(u"/h/a/y.part"_s));
    EXPECT_NE(DestinationWriters::folderKey(u"/h/a/x.part"_s), DestinationWriters::folderKey(u"/h/b/x.part"_s));
    EXPECT_NE(DestinationWriters::folderKey(u"x"_s), 0u);

    // a1 waits for b1, which is queued behind a2 of a1's folder: without passing a2 nothing moves.
    std::promise<void> bRan;
    std::shared_future<void> bDone = bRan.get_future().share();
    std::mutex m;
    std::vector<QString> order;
    const std::size_t a = DestinationWriters::folderKey(u"/h/a/f"_s);
    const std::size_t b = DestinationWriters::folderKey(u"/h/b/f"_s);
    auto all = std::make_shared<WorkCountdown>(3);
    const auto note = [&](const QString& name) {
        std::lock_guard lock(m);
        order.push_back(name);
    };
    writers.post(0, [&, all](DestinationWriter&) { bDone.wait_for(std::chrono::seconds(20)); note(u"a1"_s); all->done(); }, a);
    writers.post(0, [&, all](DestinationWriter&) { note(u"a2"_s); all->done(); }, a);
    writers.post(0, [&, all](DestinationWriter&) { note(u"b1"_s); bRan.set_value(); all->done(); }, b);
    runTask([](QFuture<void> f) -> QCoro::Task<void> { co_await f; }(all->future()));
    EXPECT_EQ(order, (std::vector<QString>{u"b1"_s, u"a1"_s, u"a2"_s}));

    // Many jobs over three folders on two threads: never two of a folder at once.
    std::array<std::atomic<int>, 3> running{};
    std::atomic<bool> overlapped = false;
    auto many = std::make_shared<WorkCountdown>(90);
    for (int i = 0; i < 90; ++i) {
        const int f = i % 3;
        writers.post(0, [&running, &overlapped, many, f](DestinationWriter&) {
            if (running[std::size_t(f)].fetch_add(1) != 0)
                overlapped = true;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            running[std::size_t(f)].fetch_sub(1);
            many->done();
        }, DestinationWriters::folderKey(u"/h/%1/f"_s.arg(f)));
    }
    runTask([](QFuture<void> f) -> QCoro::Task<void> { co_await f; }(many->future()));
    EXPECT_FALSE(overlapped);
}

// Past the cap a reservation waits until a job gives its bytes back; what is
// counted never exceeds the cap, except for one piece alone.
TEST(DestinationWriters, HoldsQueuedBytesUnderTheCap)
{
    QTemporaryDir dir;
    DestinationWriters writers(dir.path(), 2, 100);
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    runTask(writers.reserve(60));
    writers.post(60, [opened](DestinationWriter&) { opened.wait(); });
    bool reserved = false;
    auto waiting = [](DestinationWriters& w, bool& done) -> QCoro::Task<void> {
        co_await w.reserve(60);
        done = true;
    }(writers, reserved);
    EXPECT_FALSE(reserved);
    EXPECT_EQ(writers.queuedBytes(), 60u);
    gate.set_value();
    runTask(std::move(waiting));
    EXPECT_TRUE(reserved);
    EXPECT_EQ(writers.queuedBytes(), 60u);
    EXPECT_LE(writers.peakQueuedBytes(), 100u);
    writers.release(60);
    // Nothing queued: a piece larger than the cap goes alone.
    runTask(writers.reserve(500));
    EXPECT_EQ(writers.peakQueuedBytes(), 500u);
}
