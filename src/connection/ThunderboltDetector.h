// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"
#include "platform/NetworkInterfaces.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace kivo {

struct ThunderboltPeer {
    QString interfaceName;
    QString peerIP;
    bool operator==(const ThunderboltPeer&) const = default;
};

// Watches for a Thunderbolt bridge with a link-local address and works out the
// address the machine at the other end of the cable has.
class ThunderboltDetector : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isMonitoring READ isMonitoring NOTIFY isMonitoringChanged)
public:
    using AddressSource = std::function<QList<netif::InterfaceAddress>()>;
    static constexpr std::chrono::seconds kPollInterval{2};

    // An empty source reads the system's interfaces.
    explicit ThunderboltDetector(AddressSource source = {}, Clock& clock = *Clock::system(), QObject* parent = nullptr);
    ~ThunderboltDetector() override;

    void startMonitoring();
    void stopMonitoring();
    bool isMonitoring() const { return m_monitoring; }
    const QList<ThunderboltPeer>& detectedPeers() const { return m_detected; }

    static QList<ThunderboltPeer> scan(const QList<netif::InterfaceAddress>& addresses);
    // The other end of a point-to-point link-local pair: .1 <-> .2, anything else -> .1.
    static std::optional<QString> derivePeerAddress(const QString& localAddress);

Q_SIGNALS:
    void peerDetected(kivo::ThunderboltPeer peer);
    void peerLost(kivo::ThunderboltPeer peer);
    void detectedPeersChanged();
    void isMonitoringChanged();

private:
    void poll();
    void scheduleNextPoll();
    void setDetected(QList<ThunderboltPeer> peers);

    AddressSource m_source;
    Clock& m_clock;
    bool m_monitoring = false;
    QList<ThunderboltPeer> m_detected;
    std::unique_ptr<QObject> m_pollTask;
};

} // namespace kivo
