// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// 1,000 files: 300 of them with two to four names each (900 names, some
// across folders, a few empty, one of several chunks), and 100 with one.
void buildLinkedTree(const QString& documents)
{
    for (int g = 0; g < 300; ++g) {
        const qsizetype size = g == 7 ? 3 * 1048576 + 11 : g % 50 == 0 ? 0 : (g * 37) % 3000 + 1;
        const QString first = documents + u"/f%1/file-%2"_s.arg(g % 10).arg(g);
        writeBytes(first, patterned(size, g));
        for (int n = 1; n < 2 + g % 3; ++n) {
            const QString other = documents + u"/names%1/link-%2-%3"_s.arg((g + n) % 7).arg(g).arg(n);
            QDir().mkpath(QFileInfo(other).path());
            ASSERT_EQ(::link(QFile::encodeName(first).constData(), QFile::encodeName(other).constData()), 0);
        }
    }
    for (int s = 0; s < 100; ++s)
        writeBytes(documents + u"/single/s-%1"_s.arg(s), patterned(s * 13 + 1, 1000 + s));
}

qint64 diskUsage(const QString& folder)
{
    const CliRun du = runProcess(u"du"_s, {u"-s"_s, folder});
    return du.out.split('\t').first().toLongLong();
}

} // namespace

class HardLinksEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariable("KIVO_BUILD_DIR").isEmpty())
            KIVO_SKIP_OR_FAIL("KIVO_BUILD_DIR unset");
        buildLinkedTree(source + u"/Documents"_s);
        QDir().mkpath(destination);
    }
    QStringList sendArguments() const
    {
        return {"send", "--home", source, "--categories", "userFiles", "--folders", "Documents", "--json"};
    }
    // The receiving side runs to its end while the sender's events are read: a
    // resumed sender reports every file already there, more than a pipe holds.
    static void finishBoth(CliProcess& sender, const QStringList& receiveArguments)
    {
        CliProcess receiver(kivoCli(), receiveArguments);
        EXPECT_FALSE(sender.waitForEvent(u"summary"_s, std::chrono::minutes(3)).isEmpty()) << sender.errors().constData();
        EXPECT_EQ(receiver.finish(), 0) << receiver.errors().constData();
        EXPECT_EQ(sender.finish(), 0) << sender.errors().constData();
    }
    // What an independent copy tool that compares links still finds to change; the space both take.
    void expectSameTreeAndSpace() const
    {
        const CliRun rsync = runProcess(u"rsync"_s, {u"-aH"_s, u"--checksum"_s, u"--dry-run"_s, u"--itemize-changes"_s,
                                                      source + u"/Documents/"_s, destination + u"/Documents/"_s});
        EXPECT_EQ(rsync.exitCode, 0) << rsync.err.constData();
        EXPECT_EQ(rsync.out.toStdString(), std::string());
        EXPECT_EQ(diskUsage(destination + u"/Documents"_s), diskUsage(source + u"/Documents"_s));
    }

    QTemporaryDir work;
    QString source = work.path() + u"/old"_s, destination = work.path() + u"/new"_s;
};

// Between two processes, a tree whose files have several names arrives with the
// same names sharing the same files: an independent copy tool that compares
// links finds nothing to change, and the copy takes the space the original does.
TEST_F(HardLinksEndToEnd, ATreeOfLinkedFilesArrivesAsTheSameLinksTakingTheSameSpace)
{
    CliProcess sender(kivoCli(), sendArguments());
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    finishBoth(sender, receiveFrom(destination, advertised));
    expectSameTreeAndSpace();
}

// The destination is killed while groups are half across; the same send again
// finishes them from what the first run wrote, and the result is the same.
TEST_F(HardLinksEndToEnd, AKilledDestinationResumesMidGroupAndTheLinksComeOutTheSame)
{
    // Slow enough that the kill lands part-way through the tree.
    for (int i = 0; i < 6; ++i) {
        const QString big = source + u"/Documents/f%1/big-%1"_s.arg(i);
        writeBytes(big, patterned(1 << 20, 50 + i));
        ASSERT_EQ(::link(QFile::encodeName(big).constData(),
                         QFile::encodeName(source + u"/Documents/names%1/big-again-%1"_s.arg(i)).constData()), 0);
    }
    CliProcess first(kivoCli(), sendArguments() + QStringList{"--max-mbps", "16"});
    const QJsonObject advertised = first.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << first.errors().constData();
    QProcess victim;
    victim.start(kivoCli(), receiveFrom(destination, advertised));
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(destination + u"/Documents/f1/big-1"_s); }, std::chrono::seconds(60)));
    ::kill(pid_t(victim.processId()), SIGKILL);
    victim.waitForFinished();
    EXPECT_NE(first.finish(), 0);

    CliProcess second(kivoCli(), sendArguments());
    const QJsonObject again = second.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(again.isEmpty()) << second.errors().constData();
    EXPECT_EQ(again.value(u"transferID"_s), advertised.value(u"transferID"_s));
    finishBoth(second, receiveFrom(destination, again));
    expectSameTreeAndSpace();
}
