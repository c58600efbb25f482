// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QString>

namespace kivo {

// The progress bar docks and task bars draw over an application's icon. They
// listen for one signal on the session bus; nothing is awaited, so a desktop
// without such a panel costs one message per change.
class LauncherEntry {
public:
    // `desktopId` without ".desktop", as the desktop entry is named.
    LauncherEntry(QDBusConnection bus, const QString& desktopId);

    QString applicationUri() const { return m_uri; }
    // `progress` from 0 to 1; false when the bus is not connected.
    bool update(double progress, bool visible);

private:
    QDBusConnection m_bus;
    QString m_uri;
};

} // namespace kivo
