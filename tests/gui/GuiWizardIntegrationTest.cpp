// SPDX-License-Identifier: Apache-2.0
#include "support/CliProcess.h"
#include "support/CliRun.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/GuiHarness.h"
#include "support/TreeCompare.h"
#include "support/WindowChildren.h"

#include "connection/ConnectionManager.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferEngine.h"
#include "transfer/TransferProgress.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

// The wizard clicked through by accessible name, as a screen reader would,
// against kivo-cli on loopback; each side's tree is compared independently.

namespace {

// A sender of 24 MiB capped at 8 Mbps: the transfer lasts long enough to be cut or cancelled.
CliProcess slowSender(const QString& home)
{
    writeBytes(home + QStringLiteral("/Documents/big.bin"), QByteArray(24 << 20, 'k'));
    return CliProcess(kivoCli(), {"send", "--home", home, "--categories", "userFiles", "--max-mbps", "8", "--json"});
}

// The window as destination, from the welcome screen to bytes arriving from `advertised`.
::testing::AssertionResult receiveUntilTransferring(GuiHarness& h, const QJsonObject& advertised)
{
    h.state().addDirectPeer(peerForAddress(QStringLiteral("127.0.0.1"),
                                           quint16(advertised.value(QStringLiteral("port")).toInt()), std::nullopt));
    for (const char* button : {"Get Started", "Destination Computer", "127.0.0.1"})
        if (!h.press(QString::fromLatin1(button)))
            return ::testing::AssertionFailure() << "no " << button;
    typeCode(h, advertised.value(QStringLiteral("code")).toString());
    if (!h.waitForStep(MigrationStep::userMapping) || !h.press(QStringLiteral("Continue")))
        return ::testing::AssertionFailure() << "no user mapping step";
    if (!waitUntil([&] { return h.state().transferProgress()->bytesTransferred() > 0; }, 60s))
        return ::testing::AssertionFailure() << "nothing arrived";
    return ::testing::AssertionSuccess();
}

} // namespace

// The source dies mid-transfer: the window ends on the issues outcome, and the
// next start offers the checkpoint it left, which Discard deletes.
TEST(GuiWizard, KilledSourceEndsWithIssuesAndLeavesACheckpoint)
{
    QTemporaryDir source, destination;
    CliProcess sender = slowSender(source.path());
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty());
    {
        GuiHarness h(SessionEnvironment{destination.path(), QStringLiteral("gui-destination"), {}});
        ASSERT_TRUE(receiveUntilTransferring(h, advertised));
        sender.killHard();
        ASSERT_TRUE(h.waitForStep(MigrationStep::complete, 60s));
        EXPECT_TRUE(h.waitForText(QStringLiteral("Migration Finished with Issues")));
    }
    const QString transfers = TransferEngine::transfersDirectory(destination.path());
    ASSERT_EQ(ResumeState::listAll(transfers).size(), 1);
    GuiHarness next(SessionEnvironment{destination.path(), QStringLiteral("gui-destination"), {}});
    ASSERT_TRUE(next.showsText(QStringLiteral("Unfinished migration")));
    ASSERT_TRUE(next.press(QStringLiteral("Discard")));
    EXPECT_TRUE(ResumeState::listAll(transfers).isEmpty());
}

// The demonstration as the destination, the side that writes: a real transfer
// between the workdir's two homes with a kivo-cli child as the source; the user's
// home stays untouched. (CliEndToEnd.DemoMigratesTheSampleHome runs the pair.)
TEST(GuiWizard, DemoLeavesTheUsersHomeAlone)
{
    QTemporaryDir userHome, workdir;
    SessionEnvironment e{userHome.path(), QStringLiteral("gui-demo"), {}};
    e.demoAvailable = true;
    e.demoWorkdir = workdir.path();
    e.demoPeerProgram = kivoCli();
    GuiHarness h(e);
    ASSERT_TRUE(h.press(QStringLiteral("Preview Demo")));
    ASSERT_TRUE(h.press(QStringLiteral("Destination Computer")));
    ASSERT_TRUE(h.press(QStringLiteral("Demo Source Computer")));
    ASSERT_TRUE(h.waitForStep(MigrationStep::userMapping));
    ASSERT_TRUE(h.press(QStringLiteral("Continue")));
    ASSERT_TRUE(h.waitForStep(MigrationStep::complete, 120s));
    EXPECT_TRUE(h.waitForText(QStringLiteral("Migration Complete")));
    EXPECT_TRUE(h.showsText(QStringLiteral("Demo Mode Active")));
    EXPECT_EQ(treeDifferences(workdir.path() + QStringLiteral("/source-home"), workdir.path() + QStringLiteral("/destination-home")),
              QStringList());
    EXPECT_TRUE(QDir(userHome.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
}


// Files below `home` outside kivo's own folder, relative to it.
QStringList filesOutsideKivo(const QString& home)
{
    QStringList out;
    const QString kivo = QFileInfo(TransferEngine::transfersDirectory(home)).path();
    QDirIterator it(home, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(kivo + u'/'))
            out << QDir(home).relativeFilePath(path);
    }
    return out;
}

// No cancel for the first 30 seconds of the progress screen; then cancelling a
// running transfer ends on the cancelled outcome at once, takes back what it
// wrote (the checkpoint and the files that were there before stay), and
// "New Migration" right after leaves a fresh session however the old run unwinds.
TEST(GuiWizard, CancelThenNewMigrationWhileTheTransferUnwinds)
{
    QTemporaryDir source, destination;
    writeBytes(destination.filePath(QStringLiteral("Documents/earlier.txt")), "kept");
    CliProcess sender = slowSender(source.path());
    const QJsonObject advertised = sender.waitForEvent(QStringLiteral("advertising"));
    ASSERT_FALSE(advertised.isEmpty());
    GuiHarness h(SessionEnvironment{destination.path(), QStringLiteral("gui-destination"), {}});
    ASSERT_TRUE(receiveUntilTransferring(h, advertised));
    h.clock().advance(29s);
    EXPECT_FALSE(h.showsText(QStringLiteral("Cancel Transfer")));
    h.clock().advance(1s);
    ASSERT_TRUE(h.press(QStringLiteral("Cancel Transfer")));
    EXPECT_TRUE(h.showsText(QStringLiteral("The migration was cancelled. You can start over at any time.")));
    EXPECT_TRUE(waitUntil([&] { return filesOutsideKivo(destination.path()) == QStringList{"Documents/earlier.txt"}; }))
        << filesOutsideKivo(destination.path()).join(u' ').toStdString();
    EXPECT_EQ(ResumeState::listAll(TransferEngine::transfersDirectory(destination.path())).size(), 1);
    ASSERT_TRUE(h.press(QStringLiteral("New Migration")));
    EXPECT_EQ(h.state().currentStep(), MigrationStep::welcome);
    sender.finish(std::chrono::seconds(60));
    h.settle();
    EXPECT_EQ(h.state().currentStep(), MigrationStep::welcome);
    EXPECT_TRUE(h.showsText(QStringLiteral("Get Started")));
}
