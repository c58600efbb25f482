// SPDX-License-Identifier: Apache-2.0
#include "support/ManualClock.h"

#include "app/AppState.h"
#include "gui/Appearance.h"
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
    // An IPv6 address is given in brackets, as the source prints it.
    const gui::GuiOptions v6 = gui::parseGuiOptions({"--connect", "[fd00::2]:47012"});
    EXPECT_EQ(std::tuple(v6.connectHost, v6.connectPort), std::tuple(QStringLiteral("fd00::2"), quint16(47012)));
    const gui::GuiOptions demo = gui::parseGuiOptions({"--demo", "--workdir", "/w/../d"});
    EXPECT_TRUE(demo.demo);
    EXPECT_EQ(demo.workdir, QStringLiteral("/d"));

    const gui::GuiOptions shots = gui::parseGuiOptions({"--screenshots", "/s", "--size", "1920x1080", "--color-scheme", "dark"});
    EXPECT_EQ(std::tuple(shots.screenshots, shots.screenshotSize, shots.colorScheme),
              std::tuple(std::optional<QString>(QStringLiteral("/s")), QSize(1920, 1080), QStringLiteral("dark")));
    EXPECT_EQ(gui::parseGuiOptions({"--screenshots", "/s"}).screenshotSize, QSize(800, 600));

    const QList<QStringList> refused = {
        {"--colour"}, {"--home"}, {"--port", "0"}, {"--port", "70000"}, {"--port", "x"},
        {"--connect", "host"}, {"--connect", ":1"}, {"--workdir", "/w"}, {"--home", "--demo"},
        {"--size", "800x600"}, {"--screenshots", "/s", "--size", "799x600"}, {"--screenshots", "/s", "--size", "800"},
        {"--screenshots", "/s", "--size", "800x600x2"}, {"--screenshots", "/s", "--size", "9000x600"},
        {"--screenshots", "/s", "--demo"}, {"--screenshots", "/s", "--connect", "h:1"}, {"--screenshots"},
        {"--color-scheme", "blue"}, {"--color-scheme"}};
    for (const QStringList& args : refused)
        EXPECT_THROW(gui::parseGuiOptions(args), gui::GuiUsageError) << args.join(u' ').toStdString();
}

// The palette keeps the desktop's own when it already is light or dark as
// asked, and otherwise builds one of that lightness on the desktop's accent
// (or a readable one when that accent is grey).
TEST(Appearance, PaletteFollowsTheSchemeAndKeepsTheAccent)
{
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    light.setColor(QPalette::Highlight, QColor(0xe6, 0x61, 0x00));
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));

    EXPECT_EQ(gui::paletteFor(gui::ColorScheme::light, light), light);
    EXPECT_EQ(gui::paletteFor(gui::ColorScheme::dark, dark), dark);
    const QPalette madeDark = gui::paletteFor(gui::ColorScheme::dark, light);
    EXPECT_TRUE(gui::isDark(madeDark));
    EXPECT_GT(madeDark.color(QPalette::WindowText).lightnessF(), 0.8);
    EXPECT_EQ(madeDark.color(QPalette::Highlight), QColor(0xe6, 0x61, 0x00));
    const QPalette madeLight = gui::paletteFor(gui::ColorScheme::light, dark);
    EXPECT_FALSE(gui::isDark(madeLight));
    EXPECT_LT(madeLight.color(QPalette::WindowText).lightnessF(), 0.2);

    QPalette grey = light;
    grey.setColor(QPalette::Highlight, QColor(0x80, 0x80, 0x80));
    EXPECT_NE(gui::paletteFor(gui::ColorScheme::dark, grey).color(QPalette::Highlight), QColor(0x80, 0x80, 0x80));

    EXPECT_EQ(gui::colorSchemeNamed(QStringLiteral("dark")), gui::ColorScheme::dark);
    EXPECT_EQ(gui::colorSchemeNamed(QStringLiteral("light")), gui::ColorScheme::light);
    EXPECT_EQ(gui::colorSchemeNamed(QStringLiteral("Dark")), std::nullopt);
}
