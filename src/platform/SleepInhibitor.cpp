// SPDX-License-Identifier: Apache-2.0
#include "platform/SleepInhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace kivo {

SleepInhibitor::SleepInhibitor(QDBusConnection bus, std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_timeout(timeout)
{
}

void SleepInhibitor::acquire(const QString& who, const QString& why)
{
    if (isHeld() || m_asking)
        return;
    if (!m_bus.isConnected()) {
        Q_EMIT failed(QStringLiteral("no system bus"));
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << who << why << QStringLiteral("block");
    m_asking = true;
    const quint64 generation = m_generation;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, int(m_timeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, generation](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (generation != m_generation)
            return; // released meanwhile: the descriptor closes with the reply
        m_asking = false;
        const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError()) {
            Q_EMIT failed(reply.error().message());
            return;
        }
        if (!reply.value().isValid()) {
            Q_EMIT failed(QStringLiteral("the login manager sent no lock"));
            return;
        }
        m_lock = reply.value();
        Q_EMIT heldChanged(true);
    });
}

void SleepInhibitor::release()
{
    ++m_generation;
    m_asking = false;
    if (!m_lock.isValid())
        return;
    m_lock = QDBusUnixFileDescriptor();
    Q_EMIT heldChanged(false);
}

} // namespace kivo
