// SPDX-License-Identifier: Apache-2.0
#include "gui/DesktopIntegration.h"

#include "app/AppState.h"
#include "gui/ProgressFeed.h"
#include "platform/Logging.h"

#include <algorithm>

namespace kivo::gui {

DesktopNotice completionNotice(const QVariantMap& summary)
{
    const QString outcome = summary.value(QStringLiteral("outcome")).toString();
    DesktopNotice notice;
    notice.desktopEntry = QString::fromLatin1(kDesktopId);
    notice.icon = QString::fromLatin1(kDesktopId);
    if (outcome == QLatin1String("complete")) {
        notice.summary = QStringLiteral("Migration Complete");
        notice.body = QStringLiteral("Your data has been transferred successfully.");
    } else if (outcome == QLatin1String("cancelled")) {
        notice.summary = QStringLiteral("Migration Finished with Issues");
        notice.body = QStringLiteral("The migration was cancelled. You can start over at any time.");
    } else {
        notice.summary = QStringLiteral("Migration Finished with Issues");
        const QString error = summary.value(QStringLiteral("error")).toString();
        notice.body = error.isEmpty() ? QStringLiteral("Something went wrong. Check the log for details.") : error;
    }
    return notice;
}

DesktopIntegration::DesktopIntegration(AppState* state, ProgressFeed* feed, QWindow* window, QDBusConnection session,
                                       QDBusConnection system, std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent), m_state(state), m_feed(feed), m_window(window), m_clock(std::move(clock)),
      m_launcher(session, QString::fromLatin1(kDesktopId)), m_inhibitor(system), m_notifications(session)
{
    connect(state, &AppState::currentStepChanged, this, &DesktopIntegration::follow);
    connect(feed, &ProgressFeed::published, this, &DesktopIntegration::follow);
    connect(&m_inhibitor, &SleepInhibitor::failed, this, [](const QString& reason) {
        qCInfo(lcApp).noquote() << "Sleep is not held off during the transfer:" << reason;
    });
    connect(&m_notifications, &DesktopNotifications::failed, this, [](const QString& reason) {
        qCInfo(lcApp).noquote() << "No desktop notice for the finished migration:" << reason;
    });
    follow();
}

DesktopIntegration::~DesktopIntegration()
{
    m_inhibitor.release();
    // Quitting mid-transfer: no bar left behind on the icon.
    if (const auto hide = m_throttle.next(m_clock->monotonic() + LauncherThrottle::kMinInterval, std::nullopt))
        m_launcher.update(hide->progress, hide->visible);
}

void DesktopIntegration::follow()
{
    if (!m_state || !m_feed)
        return;
    const MigrationStep step = m_state->currentStep();
    if (step == MigrationStep::progress)
        m_inhibitor.acquire(QStringLiteral("kivo"), QStringLiteral("Files are being transferred"));
    else
        m_inhibitor.release();
    showProgress();
    if (step == MigrationStep::complete)
        noticeIfAway();
    else
        m_noticePosted = false;
}

void DesktopIntegration::showProgress()
{
    const bool moving = m_state->currentStep() == MigrationStep::progress;
    const auto update = m_throttle.next(m_clock->monotonic(), moving ? std::optional(m_feed->fraction()) : std::nullopt);
    if (update)
        m_launcher.update(update->progress, update->visible);
    m_retry.reset();
    if (const auto due = m_throttle.due()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - m_clock->monotonic());
        m_retry = m_clock->schedule(std::max(wait, std::chrono::milliseconds(1)), [this] { showProgress(); });
    }
}

void DesktopIntegration::noticeIfAway()
{
    // The summary comes with the complete screen's first publication.
    const QVariantMap summary = m_feed->summary();
    if (m_noticePosted || summary.isEmpty() || (m_window && m_window->isActive()))
        return;
    m_noticePosted = true;
    m_notifications.post(completionNotice(summary));
}

} // namespace kivo::gui
