// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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

// Between two processes, a tree whose files have several names arrives with the
// same names sharing the same files: an independent copy tool that compares
// links finds nothing to change, and the copy takes the space the original does.
// A resume part-way through a group is TransferHardLinks.AResumeLinksTheRestOfAGroupToWhatTheEarlierRunWrote's.
TEST(HardLinksEndToEnd, ATreeOfLinkedFilesArrivesAsTheSameLinksTakingTheSameSpace)
{
    QTemporaryDir work;
    const QString source = work.path() + u"/old"_s, destination = work.path() + u"/new"_s;
    buildLinkedTree(source + u"/Documents"_s);
    QDir().mkpath(destination);
    CliProcess sender(kivoCli(), {"send", "--home", source, "--categories", "userFiles", "--folders", "Documents", "--json"});
    const QJsonObject advertised = sender.waitForEvent(u"advertising"_s);
    ASSERT_FALSE(advertised.isEmpty()) << sender.errors().constData();
    const CliRun received = runCli(receiveFrom(destination, advertised));
    EXPECT_EQ(received.exitCode, 0) << received.err.constData();
    EXPECT_EQ(sender.finish(), 0) << sender.errors().constData();

    const CliRun rsync = runProcess(u"rsync"_s, {u"-aH"_s, u"--checksum"_s, u"--dry-run"_s, u"--itemize-changes"_s,
                                                  source + u"/Documents/"_s, destination + u"/Documents/"_s});
    EXPECT_EQ(rsync.exitCode, 0) << rsync.err.constData();
    EXPECT_EQ(rsync.out.toStdString(), std::string());
    EXPECT_EQ(diskUsage(destination + u"/Documents"_s), diskUsage(source + u"/Documents"_s));
}
