// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QByteArray native(const QString& path) { return QFile::encodeName(path); }

void setTime(const QByteArray& path, std::int64_t secs, long nsecs, bool noFollow = false)
{
    const timespec times[2] = {{secs, nsecs}, {secs, nsecs}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.constData(), times, noFollow ? AT_SYMLINK_NOFOLLOW : 0), 0) << path.constData();
}

void writeBytes(const QByteArray& path, const QByteArray& bytes, mode_t mode = 0644)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << path.constData();
    ASSERT_EQ(::write(fd, bytes.constData(), size_t(bytes.size())), bytes.size());
    ::close(fd);
    ::chmod(path.constData(), mode);
}

// Three MiB of data at the start, in the middle (not on a chunk boundary) and at the end of a 64 MiB file.
constexpr std::int64_t kSparseSize = 64ll << 20;
constexpr int kSparseRegions = 3;

void writeSparse(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    ASSERT_GE(fd, 0);
    QByteArray data(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + 1);
    for (const std::int64_t at : {std::int64_t(0), (std::int64_t(21) << 20) + 123 * 1024, kSparseSize - (1 << 20)})
        ASSERT_EQ(::pwrite(fd, data.constData(), size_t(data.size()), at), data.size());
    ::close(fd);
}

// A tree holding what a faithful copy must keep; `home` is the old home folder.
struct FidelityTree {
    QString home;
    QByteArray docs;

    explicit FidelityTree(const QString& homeFolder) : home(homeFolder), docs(native(homeFolder + "/Documents")) {}

    void build() const
    {
        ASSERT_TRUE(QDir().mkpath(home + QStringLiteral("/Documents/nested/deeper")));
        writeBytes(docs + "/a.txt", "alpha\n");
        writeBytes(docs + "/nested/deeper/b.txt", "beta\n", 0600);
        writeBytes(docs + "/nested/run.sh", "#!/bin/sh\n", 0755);
        writeBytes(docs + "/empty-file", "");
        // Names: not UTF-8, a line break, a backslash, a component of 255 bytes.
        ASSERT_EQ(::mkdir(docs + "/dir-\xff", 0750), 0);
        writeBytes(docs + "/dir-\xff/caf\xe9.txt", "latin-1 name\n");
        writeBytes(docs + "/line\nbreak", "newline\n");
        writeBytes(docs + "/back\\slash", "backslash\n");
        writeBytes(docs + "/" + QByteArray(255, 'n'), "long name\n");
        // Empty folders with odd modes.
        ASSERT_EQ(::mkdir(docs + "/empty-private", 0700), 0);
        ASSERT_EQ(::mkdir(docs + "/empty-sticky", 0777), 0);
        ::chmod(docs + "/empty-sticky", 01777);
        ASSERT_EQ(::mkdir(docs + "/empty-readonly", 0555), 0);
        // Links: relative, absolute, dangling, and one into the old home.
        ASSERT_EQ(::symlink("../a.txt", docs + "/nested/relative-link"), 0);
        ASSERT_EQ(::symlink("/etc/hostname", docs + "/absolute-link"), 0);
        ASSERT_EQ(::symlink("no/such/file", docs + "/dangling-link"), 0);
        ASSERT_EQ(::symlink(docs + "/a.txt", docs + "/home-link"), 0);
        // The user's own attributes on a file and on a folder.
        ASSERT_EQ(::setxattr(docs + "/a.txt", "user.comment", "first file", 10, 0), 0);
        ASSERT_EQ(::setxattr(docs + "/a.txt", "user.tag", "\x00\x01binary", 8, 0), 0);
        ASSERT_EQ(::setxattr(docs + "/nested", "user.colour", "green", 5, 0), 0);
        writeSparse(docs + "/disk.img");
        // Never opened, only reported.
        ASSERT_EQ(::mkfifo(docs + "/pipe", 0644), 0);
        ASSERT_EQ(::mkdir(docs + "/locked", 0755), 0);
        writeBytes(docs + "/locked/diary.txt", "private");
        ASSERT_EQ(::chmod(docs + "/locked", 0), 0);

        // Times to the nanosecond, folders last and innermost first, as a copy must set them.
        long n = 123456789;
        for (const char* path : {"/a.txt", "/nested/deeper/b.txt", "/nested/run.sh", "/empty-file", "/dir-\xff/caf\xe9.txt",
                                 "/line\nbreak", "/back\\slash", "/disk.img"}) {
            setTime(docs + path, 1600000000 + (n % 1000), n);
            ++n;
        }
        setTime(docs + "/" + QByteArray(255, 'n'), 1500000000, 999999999);
        for (const char* link : {"/nested/relative-link", "/absolute-link", "/dangling-link", "/home-link"})
            setTime(docs + link, 1400000000, n++, true);
        for (const char* folder : {"/nested/deeper", "/nested", "/dir-\xff", "/empty-private", "/empty-sticky",
                                   "/empty-readonly", ""})
            setTime(docs + folder, 1300000000, n++);
    }
};

// `send` of the Documents folder. Root reads any folder: the source runs without that override.
struct Sender : CliProcess {
    explicit Sender(const QString& home) : CliProcess(program(), arguments(home)) {}
    static QString program() { return ::geteuid() == 0 ? QStandardPaths::findExecutable("setpriv") : kivoCli(); }
    static QStringList arguments(const QString& home)
    {
        const QStringList send{"send", "--home", home, "--categories", "userFiles", "--folders", "Documents", "--json"};
        return ::geteuid() == 0 ? QStringList{"--bounding-set=-dac_override,-dac_read_search", kivoCli()} + send : send;
    }
};

class FidelityEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { FidelityTree(source).build(); }
    // Names that are not UTF-8 and closed folders would outlive the temporary directory.
    void TearDown() override
    {
        ::chmod(native(source + "/Documents/locked"), 0755);
        runProcess(QStringLiteral("rm"), {"-rf", work.path()});
    }

    QTemporaryDir work;
    QString source = work.path() + QStringLiteral("/old");
    QString destination = work.path() + QStringLiteral("/new");
};

} // namespace

// Through two processes the copy is faithful: an independent copy tool finds
// nothing to change. What could not be copied is not silently left out: both
// sides list it with its reason and exit 1. A resume part-way through is
// DestinationIntegrity.ResumeFromEveryPhaseEndsWholeWithModesAndNoConflicts's.
TEST_F(FidelityEndToEnd, TimesLinksFoldersAttributesHolesAndNamesSurvive)
{
    Sender sender(source);
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    const CliRun received = runCli(receiveFrom(destination, advertised));
    const QJsonObject sent = sender.waitForEvent(QStringLiteral("summary"));
    EXPECT_EQ(sender.finish(), 1);
    EXPECT_EQ(received.exitCode, 1) << received.err.constData();
    const QJsonObject summary = received.event(QStringLiteral("summary"));
    EXPECT_EQ(summary.value(QStringLiteral("failed")).toInt(-1), 0) << received.out.constData();
    const QStringList notCopied{
        "~/Documents/locked | Folder could not be read: Permission denied | skipped",
        "~/Documents/pipe | Not copied: a named pipe; only files, folders and links are copied | skipped"};
    for (const QJsonObject& side : {summary, sent}) {
        QStringList listed;
        for (const QJsonValue& v : side.value(QStringLiteral("notTransferred")).toArray())
            listed << QStringList{v["path"].toString(), v["reason"].toString(), v["status"].toString()}.join(" | ");
        listed.sort();
        EXPECT_EQ(listed, notCopied);
    }
    // What an independent copy tool still finds different, besides the entries
    // that differ on purpose: the fifo and the unreadable folder stay behind, and
    // the link into the old home names the new one. Its default compares times in
    // whole seconds; a window of -1 holds them to the nanosecond.
    const CliRun rsync = runProcess(QStringLiteral("rsync"),
                                    {"-aAX", "--checksum", "--dry-run", "--itemize-changes", "--modify-window=-1", "--no-owner",
                                     "--no-group", "--exclude=/pipe", "--exclude=/locked", "--exclude=/home-link",
                                     source + "/Documents/", destination + "/Documents/"});
    EXPECT_EQ(rsync.exitCode, 0) << rsync.err.constData();
    EXPECT_EQ(rsync.out.toStdString(), std::string());
    const QByteArray dst = native(destination + "/Documents");
    char target[4096] = {};
    const ssize_t n = ::readlink(dst + "/home-link", target, sizeof target);
    EXPECT_EQ(QByteArray(target, int(std::max<ssize_t>(n, 0))), dst + "/a.txt");
    struct stat st {};
    EXPECT_NE(::lstat(dst + "/pipe", &st), 0) << "a named pipe is reported, not recreated";
    EXPECT_NE(::lstat(dst + "/locked/diary.txt", &st), 0);
    // Allocated blocks of the sparse file match within a block per data region.
    struct stat from {}, to {};
    ASSERT_EQ(::stat(native(source + "/Documents/disk.img"), &from), 0);
    ASSERT_EQ(::stat(dst + "/disk.img", &to), 0);
    EXPECT_EQ(to.st_size, kSparseSize);
    EXPECT_LE(std::abs(std::int64_t(to.st_blocks) - std::int64_t(from.st_blocks)) * 512, kSparseRegions * 4096)
        << from.st_blocks << " blocks at the source, " << to.st_blocks << " at the destination";
    EXPECT_TRUE(QDir(destination + QStringLiteral("/.local/share/kivo/transfers")).isEmpty());
    EXPECT_FALSE(QFile::exists(source + QStringLiteral("/.local/share/kivo/outgoing-transfer.json")));
}
