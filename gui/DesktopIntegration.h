// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "gui/LauncherThrottle.h"
#include "platform/Clock.h"
#include "platform/DesktopNotifications.h"
#include "platform/LauncherEntry.h"
#include "platform/SleepInhibitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QVariantMap>
#include <QWindow>

#include <memory>

namespace kivo {
class AppState;
}

namespace kivo::gui {

class ProgressFeed;

// The desktop entry's name; docks, notifications and Wayland shells match the window by it.
inline constexpr char kDesktopId[] = "com.kivo.Kivo";

// The notice a finished migration posts: the complete screen's heading, and its line or the error.
DesktopNotice completionNotice(const QVariantMap& summary);

// What the desktop sees of a migration: the task bar's progress, sleep held off
// while files move, and a notice at the end when the window is in the background.
class DesktopIntegration : public QObject {
    Q_OBJECT
public:
    // `session` carries the task bar and notifications, `system` the login manager.
    DesktopIntegration(AppState* state, ProgressFeed* feed, QWindow* window, QDBusConnection session,
                       QDBusConnection system, std::shared_ptr<Clock> clock, QObject* parent = nullptr);
    ~DesktopIntegration() override;

    bool sleepInhibited() const { return m_inhibitor.isHeld(); }

private:
    void follow();
    void showProgress();
    void noticeIfAway();

    QPointer<AppState> m_state;
    QPointer<ProgressFeed> m_feed;
    QPointer<QWindow> m_window;
    std::shared_ptr<Clock> m_clock;
    LauncherEntry m_launcher;
    SleepInhibitor m_inhibitor;
    DesktopNotifications m_notifications;
    LauncherThrottle m_throttle;
    std::unique_ptr<QObject> m_retry;
    bool m_noticePosted = false;
};

} // namespace kivo::gui
