// SPDX-License-Identifier: Apache-2.0
#include "connection/ThunderboltDetector.h"

#include "platform/Logging.h"

#include <QPointer>
#include <QStringList>

namespace kivo {

ThunderboltDetector::ThunderboltDetector(AddressSource source, Clock& clock, QObject* parent)
    : QObject(parent), m_source(source ? std::move(source) : AddressSource(&netif::systemInterfaceAddresses)),
      m_clock(clock)
{
}

ThunderboltDetector::~ThunderboltDetector() = default;

std::optional<QString> ThunderboltDetector::derivePeerAddress(const QString& localAddress)
{
    const QStringList parts = localAddress.split(u'.');
    if (parts.size() != 4)
        return std::nullopt;
    bool numeric = false;
    const int last = parts[3].toInt(&numeric);
    if (!numeric)
        return std::nullopt;
    return QStringList{parts[0], parts[1], parts[2], last == 1 ? QStringLiteral("2") : QStringLiteral("1")}.join(u'.');
}

QList<ThunderboltPeer> ThunderboltDetector::scan(const QList<netif::InterfaceAddress>& addresses)
{
    QList<ThunderboltPeer> peers;
    for (const auto& a : addresses) {
        if (!netif::isThunderboltBridgeName(a.name) || !a.ipv4 || !a.upAndRunning
            || !a.address.startsWith(QLatin1String("169.254.")))
            continue;
        if (auto peer = derivePeerAddress(a.address))
            peers.append({a.name, *peer});
    }
    return peers;
}

void ThunderboltDetector::startMonitoring()
{
    if (m_monitoring)
        return;
    m_monitoring = true;
    Q_EMIT isMonitoringChanged();
    poll();
    scheduleNextPoll();
}

void ThunderboltDetector::scheduleNextPoll()
{
    QPointer<ThunderboltDetector> self(this);
    m_pollTask = m_clock.schedule(kPollInterval, [self] {
        if (!self || !self->m_monitoring)
            return;
        self->poll();
        if (self && self->m_monitoring)
            self->scheduleNextPoll();
    });
}

void ThunderboltDetector::stopMonitoring()
{
    m_pollTask.reset();
    const bool was = m_monitoring;
    m_monitoring = false;
    setDetected({});
    if (was)
        Q_EMIT isMonitoringChanged();
}

void ThunderboltDetector::poll()
{
    const QList<ThunderboltPeer> current = scan(m_source());
    const QList<ThunderboltPeer> previous = m_detected;
    // Stored first, so a handler that looks at detectedPeers sees this poll's result.
    setDetected(current);
    QPointer<ThunderboltDetector> self(this);
    for (const auto& p : current) {
        if (!previous.contains(p)) {
            qCInfo(lcThunderbolt).noquote() << QStringLiteral("Thunderbolt peer detected: %1 → %2").arg(p.interfaceName, p.peerIP);
            Q_EMIT peerDetected(p);
            if (!self)
                return;
        }
    }
    for (const auto& p : previous) {
        if (!current.contains(p)) {
            qCInfo(lcThunderbolt).noquote() << QStringLiteral("Thunderbolt peer lost: %1").arg(p.interfaceName);
            Q_EMIT peerLost(p);
            if (!self)
                return;
        }
    }
}

void ThunderboltDetector::setDetected(QList<ThunderboltPeer> peers)
{
    if (m_detected == peers)
        return;
    m_detected = std::move(peers);
    Q_EMIT detectedPeersChanged();
}

} // namespace kivo
