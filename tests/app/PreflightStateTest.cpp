// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"
#include "categories/CategoryProfile.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "preflight/PreFlightScanner.h"
#include "preflight/PreflightChecker.h"
#include "support/CoroTest.h"
#include "support/FileBytes.h"
#include "support/HeldKeyringAnswer.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace kivo;
using namespace kivo::test;

namespace {

// A source session on the pre-flight step, with every category selected.
struct PreflightSession {
    PreflightSession()
    {
        for (int i = 0; i < 300; ++i) {
            const QString path = dir.path() + QStringLiteral("/Documents/d%1/f%2").arg(i % 10).arg(i);
            QDir().mkpath(QFileInfo(path).path());
            writeBytes(path, QByteArray(i, 'x'));
        }
        QDir().mkpath(dir.path() + "/Documents/web/node_modules/x");
        writeBytes(dir.path() + "/Documents/web/node_modules/x/i.js", "js");
        // Settings of an application this machine does not have: the send leaves them.
        QDir().mkpath(dir.path() + "/.config/kivo-test-uninstalled");
        writeBytes(dir.path() + "/.config/kivo-test-uninstalled/settings", QByteArray(4096, 's'));
        state.setDeviceRole(DeviceRole::source);
        state.categoryManager()->loadCategories(CategoryProfile{});
        runTask(state.homeFolderScanner()->scan());
        state.setCurrentStep(MigrationStep::preflight);
    }
    QTemporaryDir dir;
    AppState state{SessionEnvironment{dir.path(), {}, {}, 0, nullptr}};
};

} // namespace

TEST(PreflightState, AScanLeftByGoingBackIsDiscardedAndAFinishedOneKept)
{
    PreflightSession s;
    AppState& state = s.state;
    QList<QPair<qint64, quint64>> progress;
    QObject::connect(&state, &AppState::preFlightScanProgress, &state,
                     [&](qint64 files, quint64 bytes) { progress.append({files, bytes}); });

    // The package tools are asked alongside the walk (one that lists something, here) and
    // write nothing: a pre-flight leaves the home as it found it.
    QTemporaryDir tools;
    writeBytes(tools.filePath("apt-mark"), "#!/bin/sh\necho vim\n", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("KIVO_APT_MARK", tools.filePath("apt-mark").toUtf8());
    const auto entries = [&] {
        QStringList out;
        for (QDirIterator it(s.dir.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();)
            out << it.next();
        out.sort();
        return out;
    };
    const QStringList before = entries();

    QCoro::Task<void> abandoned = state.runPreFlightScan();
    EXPECT_TRUE(state.preFlightScanRunning());
    state.goBack(); // to manifest, while the walk is still out
    EXPECT_EQ(state.preFlightScanner(), nullptr);
    runTask(std::move(abandoned));
    EXPECT_FALSE(state.preFlightScanRunning());
    EXPECT_FALSE(state.preFlightReport()) << "the abandoned scan delivered nothing";

    state.goToNext();
    progress.clear();
    runTask(state.runPreFlightScan());
    QThreadPool::globalInstance()->waitForDone();
    qunsetenv("KIVO_APT_MARK");
    EXPECT_EQ(entries(), before);
    ASSERT_TRUE(state.preFlightReport());
    const PreFlightReport& report = *state.preFlightReport();
    EXPECT_EQ(report.totalFiles, 300);
    EXPECT_EQ(report.excludedFiles, 1);
    ASSERT_GE(progress.size(), 2);
    EXPECT_EQ(progress.first(), qMakePair(qint64(0), quint64(0)));
    EXPECT_EQ(progress.last(), qMakePair(qint64(report.totalFiles), quint64(report.totalBytes)));
    // The summary's export offers the home while there is no Desktop (the Desktop
    // and the dialog are Screens.ExportSummaryAsksWhereAndWritesThere's) and writes that same report.
    EXPECT_EQ(QFileInfo(state.suggestedSummaryFile()).absolutePath(), QDir(s.dir.path()).absolutePath());
    QTemporaryDir elsewhere;
    const QString chosen = elsewhere.filePath(QStringLiteral("chosen.json"));
    EXPECT_EQ(state.exportPreFlightSummary(chosen), chosen);
    EXPECT_EQ(QJsonDocument::fromJson(readBytes(chosen)).object(), report.toJson());

    // The manifest the transfer sends leaves out what the report excluded.
    const TransferManifest manifest = runTask(state.buildIntendedManifest());
    std::int64_t documents = 0;
    for (const TransferManifest::FileItem& item : manifest.items) {
        EXPECT_FALSE(item.relativePath.contains("node_modules")) << item.relativePath.toStdString();
        documents += item.relativePath.startsWith("~/Documents/");
    }
    EXPECT_EQ(documents, report.categories.first().fileCount);
    // The application data is counted as the send lists it.
    const auto appData = std::ranges::find(report.categories, QStringLiteral("applicationData"), &CategorySummary::category);
    ASSERT_NE(appData, report.categories.cend());
    EXPECT_EQ(appData->fileCount, std::ranges::count_if(manifest.items, [](const TransferManifest::FileItem& item) {
                  return item.relativePath.startsWith("~/.config/");
              }));

    // Without a paired destination the conflict question fails and the report stays as it was.
    runTask(state.mergeDestinationConflictsIntoReport());
    EXPECT_TRUE(state.preFlightReport()->conflicts.isEmpty());

    state.goToNext(); // the summary keeps it
    EXPECT_TRUE(state.preFlightReport());
    state.goBack();
    state.goBack();
    EXPECT_FALSE(state.preFlightReport());
}

// Checks asked for again while a run is out (the selection changed meanwhile) run
// once more after it: what is shown is the current selection's result.
TEST(PreflightState, ChecksAskedForDuringARunRunAgainForTheSelectionThen)
{
    PreflightSession s;
    AppState& state = s.state;
    const PreflightChecker& checks = *state.preflightChecker();
    HeldKeyringAnswer answer;
    state.preflightChecker()->setEnvironment(answer.environment());

    state.checkReadiness();
    ASSERT_TRUE(checks.isRunning());
    state.toggleCategory(QStringLiteral("keychain")); // left out while the keyring is being asked
    state.checkReadiness();
    answer.release();
    ASSERT_TRUE(waitUntil([&] { return checks.hasRun() && !checks.isRunning(); }));
    EXPECT_FALSE(checks.result().keychainChecked) << "the result is the first selection's";
}
