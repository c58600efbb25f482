#pragma once

#include "connection/ConnectionTypes.h"
#include "connection/DnsService.h"
#include "platform/NetworkInterfaces.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

#include <chrono>
#include <functional>
#include <map>

namespace kivo {

// Something that lists the sources on the network; the connection manager
// only needs this much, which lets tests hand it a scripted list.
class PeerBrowser : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void start() = 0;
    // Called with the whole, de-duplicated and sorted list after every change.
    std::function<void(QList<DiscoveredPeer>)> onPeersUpdated;
};

// Browses the DNS-SD daemon for our service type.
class BonjourBrowser : public PeerBrowser {
    Q_OBJECT
public:
    using InterfaceLookup = std::function<netif::Interface(int index)>;

    // An empty lookup asks the live system.
    explicit BonjourBrowser(InterfaceLookup lookup = {}, QObject* parent = nullptr);
    ~BonjourBrowser() override;

    void start() override;
    void cancel();

    // What one service instance, seen on these interfaces, stands for.
    static DiscoveredPeer peerFromResult(const QString& serviceName, const QList<netif::Interface>& interfaces);
    static TransportType classifyTransport(const QList<netif::Interface>& interfaces, int* decidingIndex = nullptr);
    // One peer per host name (case-insensitive), the best transport kept, sorted by host name.
    static QList<DiscoveredPeer> deduplicate(const QList<DiscoveredPeer>& peers);

    // Host address and port of a browsed service. Throws ConnectionError.
    static QCoro::Task<PeerEndpoint> resolve(PeerEndpoint endpoint,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    static void browseReply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex, DNSServiceErrorType error,
                            const char* name, const char* type, const char* domain, void* context);
    void publish();

    InterfaceLookup m_lookup;
    DnsService m_browse;
    // (instance name, interface index) -> how many times the daemon reported it
    // (it may report one per address family).
    std::map<std::pair<QString, int>, int> m_results;
    QList<std::pair<QString, int>> m_order;
};

} // namespace kivo
