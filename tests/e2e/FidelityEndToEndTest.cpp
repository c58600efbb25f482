#include "support/CliProcess.h"
#include "support/CoroTest.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

QString cliPath() { return qEnvironmentVariable("KIVO_BUILD_DIR") + QStringLiteral("/cli/kivo-cli"); }

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

// Three MiB of data at the start, in the middle (not on a chunk boundary) and at the end of a 1 GiB file.
constexpr std::int64_t kSparseSize = 1ll << 30;
constexpr int kSparseRegions = 3;

void writeSparse(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0640);
    ASSERT_GE(fd, 0);
    QByteArray data(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + 1);
    for (const std::int64_t at : {std::int64_t(0), (std::int64_t(500) << 20) + 123 * 1024, kSparseSize - (1 << 20)})
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

struct ProcessRun {
    int exitCode = -1;
    QByteArray out;
};

ProcessRun run(const QString& program, const QStringList& args, int timeoutMs = 180000)
{
    QProcess p;
    p.start(program, args);
    p.closeWriteChannel();
    if (!p.waitForFinished(timeoutMs))
        p.kill();
    p.waitForFinished();
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardOutput() + p.readAllStandardError()};
}

struct Sender : CliProcess {
    explicit Sender(const QString& home, QStringList extra = {})
        : CliProcess(cliPath(), QStringList{"send", "--home", home, "--categories", "userFiles", "--folders", "Documents",
                                            "--json"} + extra)
    {
    }
};

QStringList receiveFrom(const QString& home, const QJsonObject& advertised)
{
    return {"receive", "--home", home, "--connect",
            QStringLiteral("127.0.0.1:%1").arg(advertised.value(QStringLiteral("port")).toInt()), "--code",
            advertised.value(QStringLiteral("code")).toString(), "--json"};
}

class FidelityEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariable("KIVO_BUILD_DIR").isEmpty())
            KIVO_SKIP_OR_FAIL("KIVO_BUILD_DIR unset");
        FidelityTree(source).build();
    }
    // Names that are not UTF-8 and read-only folders would outlive the temporary directory.
    void TearDown() override { run(QStringLiteral("rm"), {"-rf", work.path()}); }

    // What an independent copy tool still finds different, besides the two
    // entries that differ on purpose: the fifo stays behind, and the link into
    // the old home names the new one. Its default compares times in whole
    // seconds; a window of -1 holds them to the nanosecond.
    QByteArray rsyncDifferences() const
    {
        const ProcessRun r = run(QStringLiteral("rsync"),
                          {"-aAX", "--checksum", "--dry-run", "--itemize-changes", "--modify-window=-1", "--no-owner",
                           "--no-group",
                           "--exclude=/pipe", "--exclude=/home-link", source + "/Documents/", destination + "/Documents/"});
        EXPECT_EQ(r.exitCode, 0) << r.out.constData();
        return r.out;
    }

    void expectFaithfulCopy() const
    {
        EXPECT_EQ(rsyncDifferences().toStdString(), std::string());
        const QByteArray dst = native(destination + "/Documents");
        char target[4096] = {};
        const ssize_t n = ::readlink(dst + "/home-link", target, sizeof target);
        EXPECT_EQ(QByteArray(target, int(std::max<ssize_t>(n, 0))), dst + "/a.txt");
        struct stat st {};
        EXPECT_NE(::lstat(dst + "/pipe", &st), 0) << "a named pipe is reported, not recreated";
        // Allocated blocks of the sparse file match within a block per data region.
        struct stat from {}, to {};
        ASSERT_EQ(::stat(native(source + "/Documents/disk.img"), &from), 0);
        ASSERT_EQ(::stat(dst + "/disk.img", &to), 0);
        EXPECT_EQ(to.st_size, kSparseSize);
        EXPECT_LE(std::abs(std::int64_t(to.st_blocks) - std::int64_t(from.st_blocks)) * 512, kSparseRegions * 4096)
            << from.st_blocks << " blocks at the source, " << to.st_blocks << " at the destination";
    }

    QTemporaryDir work;
    QString source = work.path() + QStringLiteral("/old");
    QString destination = work.path() + QStringLiteral("/new");
};

} // namespace

TEST_F(FidelityEndToEnd, TimesLinksFoldersAttributesHolesAndNamesArriveAsTheyLeft)
{
    Sender sender(source);
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    const ProcessRun received = run(cliPath(), receiveFrom(destination, advertised));
    // The fifo is the one thing not copied, and it is listed with its reason; nothing failed.
    EXPECT_EQ(received.exitCode, 1) << received.out.constData();
    EXPECT_TRUE(received.out.contains("\"failed\":0,")) << received.out.constData();
    EXPECT_TRUE(received.out.contains("\"notTransferred\":[{\"path\":\"~/Documents/pipe\",\"reason\":\"Not copied: a named "
                                      "pipe; only files, folders and links are copied\",\"status\":\"skipped\"}]"))
        << received.out.constData();
    sender.finish();
    expectFaithfulCopy();
}

TEST_F(FidelityEndToEnd, AResumeAfterTheDestinationIsKilledMidTreeEndsInTheSameCopy)
{
    // Slow enough that the kill lands part-way through the tree.
    for (int i = 0; i < 6; ++i)
        writeBytes(native(source + QStringLiteral("/Documents/nested/filler-%1.bin").arg(i)), QByteArray(1 << 20, char('a' + i)));
    Sender first(source, {"--max-mbps", "16"});
    const QJsonObject advertised = first.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty()) << first.errors().constData();
    QProcess victim;
    victim.start(cliPath(), receiveFrom(destination, advertised));
    ASSERT_TRUE(waitUntil([&] { return QDir(destination + "/Documents/nested").entryList(QDir::Files).size() >= 2; },
                          std::chrono::seconds(60)));
    ::kill(pid_t(victim.processId()), SIGKILL);
    victim.waitForFinished();
    first.finish();

    Sender second(source);
    const QJsonObject again = second.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(again.isEmpty()) << second.errors().constData();
    const ProcessRun resumed = run(cliPath(), receiveFrom(destination, again));
    EXPECT_EQ(resumed.exitCode, 1) << resumed.out.constData(); // the fifo, as above
    EXPECT_TRUE(resumed.out.contains("\"failed\":0,")) << resumed.out.constData();
    second.finish();
    expectFaithfulCopy();
}
