// SPDX-License-Identifier: Apache-2.0
#include "platform/FileSystem.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

TEST(AtomicWrite, ReplacesTheWholeFileLeavesNoTemporaryAndAFailureKeepsTheOldContent)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/nested/state.json");
    fs::writeFileAtomically(path, "first version, longer than the second");
    fs::writeFileAtomically(path, "second");
    EXPECT_EQ(readBytes(path), "second");
    EXPECT_EQ(QDir(dir.path() + QStringLiteral("/nested")).entryList(QDir::Files), QStringList{QStringLiteral("state.json")});
    // A folder where the temporary file would go makes the write fail before the rename.
    ASSERT_TRUE(QDir().mkpath(path + QStringLiteral(".tmp/x")));
    EXPECT_THROW(fs::writeFileAtomically(path, "lost"), SystemError);
    EXPECT_EQ(readBytes(path), "second");
}

TEST(FileStatus, KindsSizesAndLinks)
{
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/f");
    const QString dangling = dir.path() + QStringLiteral("/dangling");
    writeBytes(file, "12345");
    ASSERT_TRUE(QFile::link(dir.path() + QStringLiteral("/missing"), dangling));
    ASSERT_TRUE(QFile::link(file, dir.path() + QStringLiteral("/link")));

    const auto regular = fs::status(file, fs::Links::follow);
    ASSERT_TRUE(regular);
    EXPECT_TRUE(regular->isRegular());
    EXPECT_EQ(regular->size, 5u);
    // A dangling link exists only when links are not followed.
    EXPECT_FALSE(fs::status(dangling, fs::Links::follow));
    ASSERT_TRUE(fs::status(dangling, fs::Links::dontFollow));
    EXPECT_EQ(fs::status(dangling, fs::Links::dontFollow)->kind, fs::FileStatus::Kind::other);
    EXPECT_TRUE(fs::status(dir.path() + QStringLiteral("/link"), fs::Links::follow)->isRegular());
    EXPECT_FALSE(fs::status(dir.path() + QStringLiteral("/link"), fs::Links::dontFollow)->isRegular());
}

TEST(Reading, ReadAtStopsShortOnlyAtTheEndAndMissingFilesAreTyped)
{
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/f");
    writeBytes(file, "0123456789");
    const UniqueFd fd = fs::openForReading(file);
    char buffer[16] = {};
    EXPECT_EQ(fs::readAt(fd, buffer, 4, 3, file), 4);
    EXPECT_EQ(QByteArray(buffer, 4), "3456");
    EXPECT_EQ(fs::readAt(fd, buffer, 16, 8, file), 2);
    EXPECT_EQ(fs::readAt(fd, buffer, 16, 10, file), 0);
    EXPECT_EQ(fs::sizeOf(fd), 10u);
    try {
        fs::openForReading(dir.path() + QStringLiteral("/absent"));
        FAIL() << "opened a missing file";
    } catch (const fs::OpenFailure& e) {
        EXPECT_FALSE(e.isPermissionDenied());
        EXPECT_TRUE(e.description().contains(QStringLiteral("absent")));
    }
}
