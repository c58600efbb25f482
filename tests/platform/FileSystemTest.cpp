// SPDX-License-Identifier: Apache-2.0
#include "platform/DestinationWriter.h"
#include "platform/DirectoryEntries.h"
#include "platform/FileSystem.h"
#include "platform/TreeWalk.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

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

// Reading a home to move it, or reading back what was written, is not using
// it: no reader may stamp a new access time on a file or a folder of its own.
// (On a volume mounted without access times this cannot fail.)
TEST(Reading, EveryReaderLeavesAccessTimesAsTheyWere)
{
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/home/Documents");
    const QString file = folder + QStringLiteral("/notes.txt");
    ASSERT_TRUE(QDir().mkpath(folder));
    writeBytes(file, "what was written");
    const auto readWhole = [&file](const UniqueFd& fd) {
        char buffer[32];
        return fs::readAt(fd, buffer, sizeof buffer, 0, file);
    };
    const struct {
        const char* reader;
        QString watched;
        std::function<void()> read;
    } cases[] = {
        {"openForReading", file, [&] { readWhole(fs::openForReading(file)); }},
        {"DestinationWriter::openForReading", file,
         [&] { readWhole(DestinationWriter(dir.path() + QStringLiteral("/home")).openForReading(file)); }},
        {"walkTree", folder,
         [&] {
             fs::walkTree(dir.path() + QStringLiteral("/home"), [](const fs::TreeEntry&) {},
                          [](const QString&, const QString&) {});
         }},
        {"forEachRegularFile", folder,
         [&] {
             fs::forEachRegularFile(dir.path() + QStringLiteral("/home"), false,
                                    [](const QString&, const fs::FileStatus&) {});
         }},
        {"listDirectory", folder, [&] { fs::listDirectory(folder, false); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reader);
        // A day-old access time is one any ordinary read would renew.
        const struct timespec old[2] = {{1000000000, 0}, {0, UTIME_OMIT}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(c.watched).constData(), old, 0), 0);
        c.read();
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(c.watched).constData(), &st), 0);
        EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    }
}

// Only an owner may keep the access time; a file of someone else's that this
// user may read is still read, by each of the two file readers.
TEST(Reading, AnotherOwnersFileIsStillRead)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to read as another user";
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/shared.txt");
    writeBytes(file, "readable by all");
    ASSERT_TRUE(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                                      | QFile::ExeOther));
    ASSERT_TRUE(QFile::setPermissions(file, QFile::ReadOwner | QFile::ReadOther));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto readAsNobody = [&file](bool throughWriter) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        char buffer[32];
        const UniqueFd fd = throughWriter ? DestinationWriter(QFileInfo(file).path()).openForReading(file)
                                          : fs::openForReading(file);
        ::_exit(fs::readAt(fd, buffer, sizeof buffer, 0, file) == 15 ? 0 : 1);
    };
    EXPECT_EXIT(readAsNobody(false), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(readAsNobody(true), testing::ExitedWithCode(0), "");
}
