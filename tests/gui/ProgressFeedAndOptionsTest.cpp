#include "support/ManualClock.h"

#include "app/AppState.h"
#include "gui/GuiOptions.h"
#include "gui/ProgressFeed.h"
#include "transfer/TransferProgress.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

// A burst of changes publishes at most once per quarter second; a phase
// change publishes at once; what is held back is published when its time comes.
TEST(ProgressFeed, PublishesAtMostFourTimesASecondButPhasesAtOnce)
{
    QTemporaryDir home;
    auto clock = std::make_shared<ManualClock>();
    SessionEnvironment environment;
    environment.homeFolder = home.path();
    AppState state(environment);
    gui::ProgressFeed feed(&state, clock);
    TransferProgress& p = *state.transferProgress();
    const int start = feed.publishCount();

    p.setTotalFiles(1000);
    p.setTotalBytes(1'000'000); // waiting -> transferring
    EXPECT_EQ(feed.phase(), QStringLiteral("transferring"));
    const int afterPhase = feed.publishCount();
    EXPECT_GT(afterPhase, start);

    for (int second = 0; second < 3; ++second)
        for (int i = 1; i <= 100; ++i) {
            p.setFilesCompleted(second * 100 + i);
            p.setBytesTransferred(std::uint64_t(second * 100 + i) * 1000);
            clock->advance(10ms);
        }
    const int published = feed.publishCount() - afterPhase;
    EXPECT_LE(published, 12);
    EXPECT_GE(published, 11);

    p.setFilesCompleted(301); // held back: the last publication was moments ago
    const int held = feed.publishCount();
    p.setIsVerifying(true);
    EXPECT_EQ(feed.phase(), QStringLiteral("verifying"));
    EXPECT_EQ(feed.publishCount(), held + 1);
    p.setIsVerifying(false);
    p.setIsComplete(true);
    EXPECT_EQ(feed.phase(), QStringLiteral("finished"));
}

TEST(GuiOptions, ParsesAndRefuses)
{
    const gui::GuiOptions o = gui::parseGuiOptions({"--home", "/h", "--port", "47011", "--connect", "10.0.0.2:47012",
                                                    "--hostname", "n", "--username", "u"});
    EXPECT_EQ(std::tuple(o.home, o.port, o.connectHost, o.connectPort, o.demo),
              std::tuple(QStringLiteral("/h"), quint16(47011), QStringLiteral("10.0.0.2"), quint16(47012), false));
    const gui::GuiOptions demo = gui::parseGuiOptions({"--demo", "--workdir", "/w/../d"});
    EXPECT_TRUE(demo.demo);
    EXPECT_EQ(demo.workdir, QStringLiteral("/d"));

    const QList<QStringList> refused = {
        {"--colour"}, {"--home"}, {"--port", "0"}, {"--port", "70000"}, {"--port", "x"},
        {"--connect", "host"}, {"--connect", ":1"}, {"--workdir", "/w"}, {"--home", "--demo"}};
    for (const QStringList& args : refused)
        EXPECT_THROW(gui::parseGuiOptions(args), gui::GuiUsageError) << args.join(u' ').toStdString();
}
