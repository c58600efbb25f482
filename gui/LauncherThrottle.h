// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>

namespace kivo::gui {

// What the task bar's progress bar should show.
struct LauncherState {
    double progress = 0;
    bool visible = false;
    bool operator==(const LauncherState&) const = default;
};

// Decides which progress updates reach the task bar: at most four a second,
// none that would not change what it draws (a whole percent), and the bar
// hidden once the transfer is over, even if that has to wait its turn.
class LauncherThrottle {
public:
    static constexpr std::chrono::milliseconds kMinInterval{250};

    // `progress` while transferring, nothing once it is over. The update to
    // send now, if any; when one is held back, `due()` says when to ask again.
    std::optional<LauncherState> next(std::chrono::nanoseconds now, std::optional<double> progress);
    std::optional<std::chrono::nanoseconds> due() const { return m_due; }

private:
    LauncherState m_shown;
    std::optional<std::chrono::nanoseconds> m_lastSent;
    std::optional<std::chrono::nanoseconds> m_due;
};

} // namespace kivo::gui
