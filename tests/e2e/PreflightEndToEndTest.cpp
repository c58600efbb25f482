// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

CliRun preflight(const QStringList& args)
{
    return runCli(QStringList{"preflight", "--offline", "--json"} + args);
}

// A home with a project, a regenerable folder and a placeholder.
void buildHome(const QString& home)
{
    writeBytes(home + "/Documents/letter.txt", QByteArray(3000, 'k'));
    writeBytes(home + "/Documents/app/package.json", QByteArray(20, 'k'));
    writeBytes(home + "/Documents/app/node_modules/dep/index.js", QByteArray(5000, 'k'));
    writeBytes(home + "/Documents/app/src/main.js", QByteArray(700, 'k'));
    writeBytes(home + "/Documents/.Notes.pages.icloud", QByteArray(40, 'k'));
    writeBytes(home + "/Pictures/cat.jpg", QByteArray(9000, 'k'));
}

} // namespace

TEST(PreflightEndToEnd, JsonEventsAndTheExportAgree)
{
    QTemporaryDir work;
    const QString home = work.path() + "/home";
    buildHome(home);
    const QString exports = work.path() + "/exports";
    QDir().mkpath(exports);

    const CliRun r = preflight({"--home", home, "--categories", "userFiles", "--export", exports});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    // What the report counts is ScannerTest's; the event and the file carry the same one.
    const QJsonObject report = r.event("preflight").value("report").toObject();
    EXPECT_EQ(report.value("totalFiles").toInt(), 5);
    const QStringList files = QDir(exports).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1);
    EXPECT_EQ(QJsonDocument::fromJson(readBytes(exports + "/" + files.first())).object(), report);

    // An export that cannot be written fails the run; what it leaves is AtomicWrite's.
    writeBytes(work.path() + "/plain-file", QByteArray(1, 'k'));
    const CliRun failed = preflight({"--home", home, "--categories", "userFiles", "--export", work.path() + "/plain-file/out.json"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.err.contains("Export failed")) << failed.err.constData();
}

// Space on a real volume blocking is ABlockerAfterPairingSendsNothing's and
// SmallVolume's; the unit checks cannot read as someone else when run as root.
TEST(PreflightEndToEnd, AnUnreadableHomeBlocks)
{
    if (geteuid() != 0)
        KIVO_SKIP_OR_FAIL("changing user needs root");
    QTemporaryDir work;
    ASSERT_EQ(::chmod(QFile::encodeName(work.path()).constData(), 0755), 0);
    const QString home = work.path() + "/home";
    buildHome(home);
    ASSERT_EQ(::chmod(QFile::encodeName(home).constData(), 0700), 0);
    const CliRun nobody = runProcess("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups", kivoCli(), "preflight",
                                       "--offline", "--json", "--home", home, "--categories", "keychain"});
    EXPECT_EQ(nobody.exitCode, 5) << nobody.err.constData();
    EXPECT_EQ(nobody.event("preflight").value("checks").toObject().value("blockers").toArray().first().toString(),
              "Cannot read source home folder — grant Full Disk Access to kivo.");
}

// `send` with the options given, paired over loopback with a `receive` into `destination`.
struct SendPair {
    CliProcess sender;
    CliRun received;
    SendPair(const QStringList& sendArgs, const QString& destination)
        : sender(kivoCli(), QStringList{"send", "--json"} + sendArgs)
    {
        const QJsonObject advertised = sender.waitForEvent("advertising");
        EXPECT_FALSE(advertised.isEmpty()) << sender.errors().constData();
        received = runCli(receiveFrom(destination, advertised));
    }
};

TEST(PreflightEndToEnd, SendTellsTheTruthAndReportsTheDestinationsFiles)
{
    QTemporaryDir work;
    const QString source = work.path() + "/src";
    const QString destination = work.path() + "/dst";
    buildHome(source);
    writeBytes(destination + "/Pictures/cat.jpg", QByteArray(12, 'k'));

    // The existing file is replaced: what the report promised arrives whole. The
    // report asked for cannot be exported, which the source's exit says.
    writeBytes(work.path() + "/plain-file", QByteArray(1, 'k'));
    SendPair run({"--home", source, "--categories", "userFiles", "--conflict-policy", "overwrite", "--export",
                  work.path() + "/plain-file/out.json"},
                 destination);
    EXPECT_EQ(run.received.exitCode, 0) << run.received.err.constData();
    const QJsonObject report = run.sender.waitForEvent("preflightReport").value("report").toObject();
    const QJsonObject summary = run.sender.waitForEvent("summary");
    EXPECT_TRUE(run.sender.waitForEvent("error").value("text").toString().startsWith("Export failed"));
    EXPECT_EQ(run.sender.finish(), 1) << run.sender.errors().constData();
    ASSERT_FALSE(report.isEmpty());
    // What is left out is ScannerTest.RulesApplyAtEveryDepthAndTheTotalsMatchTheManifest's.
    EXPECT_EQ(summary.value("totalFiles").toInt(), report.value("totalFiles").toInt());
    const QJsonArray conflicts = report.value("conflicts").toArray();
    ASSERT_EQ(conflicts.size(), 1);
    const QJsonObject c = conflicts.first().toObject();
    EXPECT_EQ(QStringList({c["path"].toString(), QString::number(c["sourceSize"].toInt()), QString::number(c["destSize"].toInt())}),
              QStringList({"~/Pictures/cat.jpg", "9000", "12"}));
}

TEST(PreflightEndToEnd, ABlockerAfterPairingSendsNothing)
{
    QTemporaryDir work;
    const QString source = work.path() + "/src";
    const QString destination = work.path() + "/dst";
    buildHome(source);
    QDir().mkpath(destination);

    SendPair run({"--home", source, "--categories", "userFiles", "--destination-free-bytes", "10"}, destination);
    EXPECT_EQ(run.sender.finish(), 5);
    EXPECT_TRUE(run.sender.errors().contains("Destination has 10 bytes free"));
    EXPECT_NE(run.received.exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(destination + "/Documents")) << "nothing was sent";
}
