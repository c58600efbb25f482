// SPDX-License-Identifier: Apache-2.0
#include "platform/LauncherEntry.h"

#include <QDBusMessage>

#include <algorithm>

namespace kivo {

LauncherEntry::LauncherEntry(QDBusConnection bus, const QString& desktopId, QObject* parent)
    : QObject(parent), m_bus(std::move(bus)), m_uri(QStringLiteral("application://%1.desktop").arg(desktopId))
{
    // Only Query is exported; a second entry on one connection simply answers nothing.
    m_registered = m_bus.isConnected()
        && m_bus.registerObject(QString::fromLatin1(kObjectPath), this, QDBusConnection::ExportAllSlots);
}

LauncherEntry::~LauncherEntry()
{
    if (m_registered)
        m_bus.unregisterObject(QString::fromLatin1(kObjectPath));
}

QVariantMap LauncherEntry::properties() const
{
    return {{QStringLiteral("progress"), m_progress}, {QStringLiteral("progress-visible"), m_visible}};
}

bool LauncherEntry::update(double progress, bool visible)
{
    m_progress = std::clamp(progress, 0.0, 1.0);
    m_visible = visible;
    if (!m_bus.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(QString::fromLatin1(kObjectPath),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    signal << m_uri << properties();
    return m_bus.send(signal);
}

QString LauncherEntry::Query(QVariantMap& out) const
{
    out = properties();
    return m_uri;
}

} // namespace kivo
