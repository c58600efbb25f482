// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>


namespace kivo::test {

// A bus of our own (dbus-daemon on a socket in a temporary folder), stopped on
// destruction. It stands in for the session bus or, named by
// DBUS_SYSTEM_BUS_ADDRESS, for the system bus.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    bool isRunning() const { return !m_address.isEmpty(); }
    const QString& address() const { return m_address; }
    // A connection of this process to the bus; one per name, closed with the bus.
    QDBusConnection connect(const QString& name);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
};

// The login manager's inhibitor call, as the real one answers it: a pipe's
// write end is the lock, and the lock is gone when every copy of it is closed.
class StandInLogin : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    // Takes the well-known name on `bus`; false when that failed.
    bool serve(QDBusConnection bus);
    ~StandInLogin() override;

    QStringList lastRequest; // what, who, why, mode
    int locksHandedOut() const { return m_handedOut; }
    // Whether every lock handed out so far is closed, by its holder or the kernel.
    bool allReleased();

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why, const QString& mode);

private:
    QList<int> m_readEnds;
    int m_handedOut = 0;
};

// The desktop's notification service, keeping what it is sent.
class StandInNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    bool serve(QDBusConnection bus);

    struct Notice {
        QString appName, icon, summary, body;
        QVariantMap hints;
    };
    QList<Notice> received;

public Q_SLOTS:
    uint Notify(const QString& appName, uint replacesId, const QString& icon, const QString& summary, const QString& body,
                const QStringList& actions, const QVariantMap& hints, int timeout);
};

// Every com.canonical.Unity.LauncherEntry Update seen on a bus: the entry's URI and its properties.
class LauncherWatcher : public QObject {
    Q_OBJECT
public:
    bool watch(QDBusConnection bus);
    QList<std::pair<QString, QVariantMap>> updates;

public Q_SLOTS:
    void onUpdate(const QString& uri, const QVariantMap& properties);
};

} // namespace kivo::test
