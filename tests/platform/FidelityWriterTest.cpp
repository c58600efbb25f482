// SPDX-License-Identifier: Apache-2.0
#include "platform/DestinationWriter.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QByteArray native(const QString& path) { return QFile::encodeName(path); }

std::int64_t allocated(const QString& path)
{
    struct stat st {};
    return ::stat(native(path).constData(), &st) == 0 ? std::int64_t(st.st_blocks) * 512 : -1;
}

} // namespace

// Zero blocks become holes, also over bytes an earlier run left there, and the
// file still ends where its last chunk does.
TEST(SparseWrite, ZeroBlocksAreHolesOverOldBytesTooAndTheSizeIsKept)
{
    QTemporaryDir home;
    const QString path = home.path() + QStringLiteral("/d/img");
    DestinationWriter writer(home.path());
    const QByteArray stale(1 << 20, 's');
    writer.write(path, 0, stale, true);
    writer.write(path, 1 << 20, stale, false);
    ASSERT_GE(allocated(path), 2 << 20);

    // The same chunks again, now mostly zeros: a resumed file must not keep the old bytes.
    QByteArray chunk(1 << 20, '\0');
    chunk[5000] = 'x'; // one block of data, not on a block boundary of the chunk's start
    writer.write(path, 0, chunk, false, true);
    writer.write(path, 1 << 20, QByteArray(1 << 20, '\0'), false, true);
    writer.write(path, 3 << 20, QByteArray(100, '\0'), false, true); // a zero tail beyond the end
    writer.closeCurrent();
    EXPECT_EQ(readBytes(path), chunk + QByteArray((2 << 20) + 100, '\0'));
    EXPECT_LE(allocated(path), 8192);
}

// Links are made, never followed, and something else at their path stays unless replacing is asked;
// a folder always stays, and no folder is made through a link.
TEST(PlaceEntries, LinksAndFoldersNeverGoThroughALink)
{
    QTemporaryDir home;
    QTemporaryDir outside;
    ::chmod(native(outside.path()).constData(), 0755);
    const QString h = home.path();
    DestinationWriter writer(h);
    EXPECT_EQ(writer.placeLink(h + QStringLiteral("/a/link"), "/anywhere/at/all", fs::FileTime{1000, 7}, false),
              DestinationWriter::LinkPlacement::created);
    EXPECT_EQ(writer.linkTarget(h + QStringLiteral("/a/link")), QByteArray("/anywhere/at/all"));
    EXPECT_EQ(writer.placeLink(h + QStringLiteral("/a/link"), "/anywhere/at/all", std::nullopt, false),
              DestinationWriter::LinkPlacement::alreadyThere);
    EXPECT_EQ(writer.placeLink(h + QStringLiteral("/a/link"), "other", std::nullopt, false),
              DestinationWriter::LinkPlacement::kept);
    EXPECT_EQ(writer.placeLink(h + QStringLiteral("/a/link"), "other", std::nullopt, true),
              DestinationWriter::LinkPlacement::created);
    EXPECT_EQ(writer.placeLink(h + QStringLiteral("/a"), "x", std::nullopt, true), DestinationWriter::LinkPlacement::kept);

    ASSERT_EQ(::symlink(native(outside.path()).constData(), native(h + QStringLiteral("/out")).constData()), 0);
    EXPECT_THROW(writer.placeFolder(h + QStringLiteral("/out/made"), {}), WriteFailure);
    EXPECT_THROW(writer.placeLink(h + QStringLiteral("/out/l"), "x", std::nullopt, true), WriteFailure);
    EXPECT_THROW(writer.placeFolder(h + QStringLiteral("/out"), {0700, std::nullopt, {}}), WriteFailure);
    EXPECT_TRUE(QDir(outside.path()).isEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(native(outside.path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}
