#include "support/GuiHarness.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"

#include "platform/ByteCount.h"
#include "preflight/PreflightChecker.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

// The first visible text starting with `prefix`, or nothing.
QString textStartingWith(GuiHarness& h, const QString& prefix)
{
    for (const QString& t : h.visibleTexts())
        if (t.startsWith(prefix))
            return t;
    return {};
}

} // namespace

// From the selection through the checks to the review, the screens show what
// the scan of a small home found, and the export writes that same report.
TEST(PreFlightOnScreen, ReviewShowsTheScanOfTheHomeAndExportsIt)
{
    QTemporaryDir home;
    writeBytes(home.filePath(QStringLiteral("Documents/notes.txt")), "twelve bytes");
    writeBytes(home.filePath(QStringLiteral("Documents/app/package.json")), "{}");
    writeBytes(home.filePath(QStringLiteral("Documents/app/node_modules/pad/index.js")), QByteArray(5000, 'x'));

    GuiHarness h({home.path(), QStringLiteral("test-host"), QStringLiteral("bob")});
    h.state().setDeviceRole(DeviceRole::source);
    h.state().setCurrentStep(MigrationStep::userMapping);
    h.state().confirmProposedUserMapping();
    ASSERT_TRUE(waitUntil([&] { return !h.state().calculatingSizes() && !h.state().scanningFolders(); }));

    ASSERT_TRUE(h.press(QStringLiteral("Start Migration")));
    ASSERT_EQ(h.state().currentStep(), MigrationStep::preflight);
    ASSERT_TRUE(waitUntil([&] { return h.state().preflightChecker()->hasRun() && !h.state().preflightChecker()->isRunning(); }));
    // Whatever this machine's checks say, they are on the screen.
    const bool checksShown = h.showsText(QStringLiteral("All checks passed."))
                          || !textStartingWith(h, QStringLiteral("Warning: ")).isEmpty()
                          || !textStartingWith(h, QStringLiteral("Blocker: ")).isEmpty();
    EXPECT_TRUE(checksShown);

    ASSERT_TRUE(h.press(QStringLiteral("Start Migration")));
    ASSERT_EQ(h.state().currentStep(), MigrationStep::preflightSummary);
    ASSERT_TRUE(waitUntil([&] { return h.state().preFlightReport() && !h.state().preFlightScanRunning(); }));
    const PreFlightReport& report = *h.state().preFlightReport();
    EXPECT_EQ(report.totalFiles, 2);
    EXPECT_EQ(report.excludedFiles, 1);
    EXPECT_EQ(textStartingWith(h, QStringLiteral("Total: ")),
              QStringLiteral("Total: 2 files, ") + formatFileSize(report.totalBytes));
    EXPECT_EQ(textStartingWith(h, QStringLiteral("1 files, ")),
              QStringLiteral("1 files, %1 left out").arg(formatFileSize(report.excludedBytes)));
    EXPECT_FALSE(textStartingWith(h, QStringLiteral("~/Documents/app/node_modules — ")).isEmpty());

    ASSERT_TRUE(h.press(QStringLiteral("Export Summary…")));
    const QString saved = textStartingWith(h, QStringLiteral("Saved to "));
    ASSERT_FALSE(saved.isEmpty());
    const QString file = saved.mid(9);
    EXPECT_EQ(QFileInfo(file).absolutePath(), QDir(home.filePath(QStringLiteral("Desktop"))).absolutePath());
    EXPECT_TRUE(QFileInfo(file).fileName().startsWith(QStringLiteral("kivo-preflight-")));
    QFile exported(file);
    ASSERT_TRUE(exported.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(exported.readAll()).object(), report.toJson());
}

// Without a report there is nothing to write; a folder target gets the dated name.
TEST(PreFlightOnScreen, ExportNeedsAReportAndNamesFilesInAFolder)
{
    QTemporaryDir home;
    AppState state({home.path(), QStringLiteral("h"), QStringLiteral("bob"), 0});
    EXPECT_TRUE(state.exportPreFlightSummary(home.path()).isEmpty());
    const QDateTime at(QDate(2026, 3, 4), QTime(5, 6, 7), Qt::UTC);
    EXPECT_EQ(AppState::exportFileFor(home.path(), at), home.path() + QStringLiteral("/kivo-preflight-20260304-050607.json"));
    EXPECT_EQ(AppState::exportFileFor(home.filePath(QStringLiteral("x.json")), at), home.filePath(QStringLiteral("x.json")));
}
