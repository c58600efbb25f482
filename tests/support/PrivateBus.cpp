// SPDX-License-Identifier: Apache-2.0
#include "support/PrivateBus.h"

#include <QDBusConnectionInterface>
#include <QDeadlineTimer>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kivo::test {

PrivateBus::PrivateBus()
{
    if (!m_dir.isValid())
        return;
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1"),
                    QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
    const QDeadlineTimer deadline(10000);
    while (!m_daemon.canReadLine() && !deadline.hasExpired() && m_daemon.state() != QProcess::NotRunning)
        m_daemon.waitForReadyRead(int(deadline.remainingTime()));
    if (m_daemon.canReadLine())
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
}

PrivateBus::~PrivateBus()
{
    for (const QString& name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }
}

QDBusConnection PrivateBus::connect(const QString& name)
{
    // Connection names are the process's: this bus's own are told apart by its address.
    const QString unique = name + u'@' + m_address;
    if (!m_connections.contains(unique))
        m_connections << unique;
    return QDBusConnection::connectToBus(m_address, unique);
}

bool StandInLogin::serve(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/org/freedesktop/login1"), this, QDBusConnection::ExportAllSlots)
        && bus.registerService(QStringLiteral("org.freedesktop.login1"));
}

StandInLogin::~StandInLogin()
{
    for (int fd : std::as_const(m_readEnds))
        ::close(fd);
}

QDBusUnixFileDescriptor StandInLogin::Inhibit(const QString& what, const QString& who, const QString& why, const QString& mode)
{
    lastRequest = {what, who, why, mode};
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return {};
    m_readEnds << ends[0];
    ++m_handedOut;
    QDBusUnixFileDescriptor lock(ends[1]); // a copy travels; ours closes now
    ::close(ends[1]);
    return lock;
}

bool StandInLogin::allReleased()
{
    for (int fd : std::as_const(m_readEnds)) {
        pollfd p{fd, POLLIN, 0};
        // A pipe whose writers are all gone reads as hung up.
        if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLHUP))
            return false;
    }
    return true;
}

bool StandInNotifications::serve(QDBusConnection bus)
{
    return bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this, QDBusConnection::ExportAllSlots)
        && bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

uint StandInNotifications::Notify(const QString& appName, uint, const QString& icon, const QString& summary,
                                  const QString& body, const QStringList&, const QVariantMap& hints, int)
{
    received.append({appName, icon, summary, body, hints});
    return uint(received.size());
}

bool LauncherWatcher::watch(QDBusConnection bus)
{
    return bus.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"),
                       this, SLOT(onUpdate(QString, QVariantMap)));
}

void LauncherWatcher::onUpdate(const QString& uri, const QVariantMap& properties) { updates.append({uri, properties}); }

} // namespace kivo::test
