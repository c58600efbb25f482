// SPDX-License-Identifier: Apache-2.0
#include "platform/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace kivo {

DesktopNotifications::DesktopNotifications(QDBusConnection bus, std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_timeout(timeout)
{
}

void DesktopNotifications::post(const DesktopNotice& notice)
{
    if (!m_bus.isConnected()) {
        Q_EMIT failed(QStringLiteral("no session bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    if (!notice.desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), notice.desktopEntry);
    call << QStringLiteral("kivo") << uint(0) << notice.icon << notice.summary << notice.body << QStringList() << hints
         << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, int(m_timeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            Q_EMIT failed(reply.error().message());
        else
            Q_EMIT posted(reply.value());
    });
}

} // namespace kivo
