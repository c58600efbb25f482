// SPDX-License-Identifier: Apache-2.0
#include "support/FileBytes.h"
#include "transfer/EarlyReadBack.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

namespace {

Sha256Digest digestOf(const QByteArray& bytes) { return *Sha256Digest::fromHex(FileHasher::sha256Hex(bytes)); }

fs::FileStatus statusOf(const QString& path) { return fs::status(path, fs::Links::dontFollow).value_or(fs::FileStatus{}); }

} // namespace

TEST(EarlyReadBack, ReadsOnlyAChangeOlderThanTheKernelsClockCanRepeat)
{
    const EarlyReadBack::Clock::time_point t{std::chrono::seconds(1'800'000'000)};
    const struct {
        std::chrono::milliseconds age;
        bool settled;
    } cases[] = {{0ms, false}, {29ms, false}, {30ms, true}, {5s, true}, {-1s, false} /* clock stepped back */};
    for (const auto& c : cases)
        EXPECT_EQ(EarlyReadBack::settled(t, t + c.age, 30ms), c.settled) << c.age.count();
}

// A mark holds until anything touches the file; every way of touching it is caught.
TEST(EarlyReadBack, HoldsAFileThatReadBackWholeUntilAnythingChangesIt)
{
    QTemporaryDir home;
    const QString root = home.path();
    const QByteArray bytes = QByteArray("the bytes that were sent").repeated(1000);
    enum Item { kept, wrongHash, rewritten, modeChanged, renamedOver, neverAdded, missing, tooSmall, count };
    const auto path = [&](int i) { return root + QStringLiteral("/f%1").arg(i); };
    for (int i = 0; i < count; ++i)
        if (i != missing)
            writeBytes(path(i), i == tooSmall ? bytes.left(EarlyReadBack::kSmallest - 1) : bytes);

    EarlyReadBack readBack(std::make_shared<DestinationWriter>(root), FileHashScheme::chunkDigests, count);
    for (int i = 0; i < count; ++i)
        if (i != neverAdded && i != tooSmall)
            readBack.add(i, path(i), i == wrongHash ? digestOf("other bytes") : digestOf(bytes), bytes.size());
    readBack.add(tooSmall, path(tooSmall), digestOf(bytes.left(EarlyReadBack::kSmallest - 1)), EarlyReadBack::kSmallest - 1);
    readBack.add(count, path(kept), digestOf(bytes), bytes.size()); // no such item: ignored
    readBack.drain();

    writeBytes(path(rewritten), bytes.toUpper()); // same size, other bytes
    ASSERT_EQ(::chmod(QFile::encodeName(path(modeChanged)).constData(), 0600), 0);
    writeBytes(root + "/twin", bytes); // the same bytes, another file
    ASSERT_EQ(::rename(QFile::encodeName(root + "/twin").constData(), QFile::encodeName(path(renamedOver)).constData()), 0);
    readBack.stop();

    const struct {
        int item;
        bool holds;
    } expected[] = {{kept, true},         {wrongHash, false}, {rewritten, false}, {modeChanged, false},
                    {renamedOver, false}, {neverAdded, false}, {missing, false},  {tooSmall, false}, {count, false}};
    for (const auto& e : expected)
        EXPECT_EQ(readBack.holds(e.item, statusOf(path(e.item))), e.holds) << e.item;
}

TEST(EarlyReadBack, StoppingLeavesWhatWaitsToVerification)
{
    QTemporaryDir home;
    const QString file = home.path() + "/f";
    const QByteArray bytes(EarlyReadBack::kSmallest, 'x');
    writeBytes(file, bytes);
    // Nothing settles within the test: the file waits until the stop.
    EarlyReadBack readBack(std::make_shared<DestinationWriter>(home.path()), FileHashScheme::wholeFile, 1, 24h);
    readBack.add(0, file, digestOf(bytes), bytes.size());
    readBack.stop();
    readBack.add(0, file, digestOf(bytes), bytes.size()); // after the stop: ignored
    EXPECT_FALSE(readBack.holds(0, statusOf(file)));
}
