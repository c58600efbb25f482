// SPDX-License-Identifier: Apache-2.0
#include "postmigration/PermissionsCorrector.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

// Every path handed over, taken `batch` at a time.
QStringList handedOver(const QStringList& written, qsizetype batch, bool* touchedSsh = nullptr)
{
    const WrittenFiles files(written);
    PermissionsCorrector::PathsToCorrect paths(u"/home/u/"_s, files);
    QStringList out;
    for (QStringList more = paths.next(batch); !more.isEmpty(); more = paths.next(batch)) {
        EXPECT_LE(more.size(), batch);
        out += more;
    }
    if (touchedSsh)
        *touchedSsh = paths.touchedSsh();
    return out;
}

} // namespace

// Files come grouped by folder; each folder between them and the home is handed over once, before them.
TEST(OwnershipPaths, FoldersOnTheWayComeOnceBeforeTheirFilesAndPathsOutsideTheHomeAreDropped)
{
    const QStringList written = {
        u"/home/u/Documents/a/1.txt"_s,
        u"/home/u/Documents/a/2.txt"_s,
        u"~/Documents/b/3.txt"_s,          // a "~/" path is the home's
        u"/home/u/Documents//a/4.txt"_s,   // cleaned; its folder is known already
        u"/home/u/../other/5.txt"_s,       // outside once cleaned
        u"/home/uu/6.txt"_s,               // a neighbour sharing the prefix
        u"/home/u"_s,                      // the home itself is not handed over
        u"/home/u/top.txt"_s,
    };
    const QStringList expected = {
        u"/home/u/Documents"_s, u"/home/u/Documents/a"_s, u"/home/u/Documents/a/1.txt"_s, u"/home/u/Documents/a/2.txt"_s,
        u"/home/u/Documents/b"_s, u"/home/u/Documents/b/3.txt"_s, u"/home/u/Documents/a/4.txt"_s, u"/home/u/top.txt"_s,
    };
    bool ssh = true;
    for (qsizetype batch : {1, 2, 3, 500})
        EXPECT_EQ(handedOver(written, batch, &ssh), expected) << batch;
    EXPECT_FALSE(ssh);
    handedOver({u"/home/u/.ssh/config"_s}, 500, &ssh);
    EXPECT_TRUE(ssh);
}
