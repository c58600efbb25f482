// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace kivo {

// The progress bar docks and task bars draw over an application's icon. They
// listen for one signal on the session bus; nothing is awaited, so a desktop
// without such a panel costs one message per change. A dock that starts later
// asks with Query for what it missed.
class LauncherEntry : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.Unity.LauncherEntry")
public:
    static constexpr char kObjectPath[] = "/com/kivo/Kivo/LauncherEntry";

    // `desktopId` without ".desktop", as the desktop entry is named.
    LauncherEntry(QDBusConnection bus, const QString& desktopId, QObject* parent = nullptr);
    ~LauncherEntry() override;

    QString applicationUri() const { return m_uri; }
    // `progress` from 0 to 1; false when the bus is not connected.
    bool update(double progress, bool visible);

public Q_SLOTS:
    // The entry's URI, and its properties as last sent.
    QString Query(QVariantMap& properties) const;

private:
    QVariantMap properties() const;

    QDBusConnection m_bus;
    QString m_uri;
    double m_progress = 0;
    bool m_visible = false;
    bool m_registered = false;
};

} // namespace kivo
