// SPDX-License-Identifier: Apache-2.0
#include "platform/LauncherEntry.h"

#include <QDBusMessage>
#include <QVariantMap>

#include <algorithm>

namespace kivo {

LauncherEntry::LauncherEntry(QDBusConnection bus, const QString& desktopId)
    : m_bus(std::move(bus)), m_uri(QStringLiteral("application://%1.desktop").arg(desktopId))
{
}

bool LauncherEntry::update(double progress, bool visible)
{
    if (!m_bus.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/com/kivo/Kivo/LauncherEntry"),
                                                     QStringLiteral("com.canonical.Unity.LauncherEntry"),
                                                     QStringLiteral("Update"));
    const QVariantMap properties{{QStringLiteral("progress"), std::clamp(progress, 0.0, 1.0)},
                                 {QStringLiteral("progress-visible"), visible}};
    signal << m_uri << properties;
    return m_bus.send(signal);
}

} // namespace kivo
