// SPDX-License-Identifier: Apache-2.0
#include "gui/DesktopIntegration.h"
#include "gui/LauncherThrottle.h"

#include <gtest/gtest.h>

using namespace kivo::gui;
using namespace std::chrono_literals;

namespace {

struct Step {
    std::chrono::milliseconds at;
    std::optional<double> progress; // nothing: the transfer is over
    std::optional<LauncherState> sent;
    std::optional<std::chrono::milliseconds> due;
};

} // namespace

TEST(LauncherThrottle, AtMostFourUpdatesASecondOnlyVisibleChangesAndAlwaysHiddenAtTheEnd)
{
    const std::vector<Step> steps{
        {0ms, std::nullopt, std::nullopt, std::nullopt},           // nothing shown, nothing to hide
        {10ms, 0.0, LauncherState{0.0, true}, std::nullopt},        // the bar appears at once
        {20ms, 0.10, std::nullopt, 260ms},                          // too soon: held back
        {100ms, 0.20, std::nullopt, 260ms},
        {260ms, 0.20, LauncherState{0.20, true}, std::nullopt},     // its turn: the latest figure
        {600ms, 0.204, std::nullopt, std::nullopt},                 // the same whole percent
        {700ms, 1.7, LauncherState{1.0, true}, std::nullopt},       // clamped
        {800ms, std::nullopt, std::nullopt, 950ms},                 // over, but a hide waits its turn too
        {900ms, std::nullopt, std::nullopt, 950ms},
        {950ms, std::nullopt, LauncherState{1.0, false}, std::nullopt},
        {2000ms, std::nullopt, std::nullopt, std::nullopt},         // hidden stays hidden, quietly
        {2100ms, -0.5, LauncherState{0.0, true}, std::nullopt},     // a new transfer
    };
    LauncherThrottle throttle;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.at.count());
        EXPECT_EQ(throttle.next(s.at, s.progress), s.sent);
        EXPECT_EQ(throttle.due(), s.due ? std::optional<std::chrono::nanoseconds>(*s.due) : std::nullopt);
    }
}

TEST(CompletionNotice, CarriesTheScreensHeadingOrTheErrorAndTheDesktopEntry)
{
    const struct {
        const char* outcome;
        const char* error;
        const char* summary;
        const char* body;
    } cases[] = {
        {"complete", "", "Migration Complete", "Your data has been transferred successfully."},
        {"cancelled", "", "Migration Finished with Issues", "The migration was cancelled. You can start over at any time."},
        {"issues", "", "Migration Finished with Issues", "Something went wrong. Check the log for details."},
        {"issues", "The other computer disconnected", "Migration Finished with Issues", "The other computer disconnected"},
    };
    for (const auto& c : cases) {
        const kivo::DesktopNotice n = completionNotice(
            {{QStringLiteral("outcome"), QString::fromUtf8(c.outcome)}, {QStringLiteral("error"), QString::fromUtf8(c.error)}});
        EXPECT_EQ(n.summary, QString::fromUtf8(c.summary)) << c.outcome;
        EXPECT_EQ(n.body, QString::fromUtf8(c.body)) << c.outcome;
        EXPECT_EQ(n.desktopEntry, QStringLiteral("com.kivo.Kivo"));
    }
}
