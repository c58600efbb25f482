// SPDX-License-Identifier: Apache-2.0
#include "gui/LauncherThrottle.h"

#include <algorithm>
#include <cmath>

namespace kivo::gui {

namespace {

int percentOf(double fraction) { return int(std::floor(std::clamp(fraction, 0.0, 1.0) * 100)); }

} // namespace

std::optional<LauncherState> LauncherThrottle::next(std::chrono::nanoseconds now, std::optional<double> progress)
{
    // A hidden bar keeps the last figure: some panels animate a jump to zero.
    const LauncherState wanted = progress ? LauncherState{std::clamp(*progress, 0.0, 1.0), true}
                                          : LauncherState{m_shown.progress, false};
    const bool differs = wanted.visible != m_shown.visible
                         || (wanted.visible && percentOf(wanted.progress) != percentOf(m_shown.progress));
    if (!differs) {
        m_due.reset();
        return std::nullopt;
    }
    if (m_lastSent && now - *m_lastSent < kMinInterval) {
        m_due = *m_lastSent + kMinInterval;
        return std::nullopt;
    }
    m_due.reset();
    m_lastSent = now;
    m_shown = wanted;
    return wanted;
}

} // namespace kivo::gui
