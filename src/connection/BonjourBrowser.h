// SPDX-License-Identifier: Apache-2.0
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
#include <memory>
#include <optional>

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
    // Called when browsing cannot start, with why; no list follows.
    std::function<void(QString reason)> onFailed;
};

// Browses the DNS-SD daemon for our service type. Each service is resolved once
// for its TXT record and listed only when that answered (or did not in time), so
// a listed peer's securePairing is never a guess that changes later.
class BonjourBrowser : public PeerBrowser {
    Q_OBJECT
public:
    using InterfaceLookup = std::function<netif::Interface(int index)>;

    // An empty lookup asks the live system.
    explicit BonjourBrowser(InterfaceLookup lookup = {}, QObject* parent = nullptr);
    ~BonjourBrowser() override;

    void start() override;
    void cancel();

    // A service that does not answer for its TXT record within this time is
    // listed as not announcing secure pairing.
    void setTxtTimeout(std::chrono::milliseconds timeout) { m_txtTimeout = timeout; }

    // What one service instance, seen on these interfaces, stands for.
    static DiscoveredPeer peerFromResult(const QString& serviceName, const QList<netif::Interface>& interfaces,
                                         bool securePairing = false);
    // Whether a TXT record (wire form) announces secure pairing: the first
    // entry with our key (in any case) carries our version. A malformed record
    // announces nothing.
    static bool announcesSecurePairing(const QByteArray& txtRecord);
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
    struct TxtLookup;
    const TxtLookup& lookUpTxt(const QString& name, int interfaceIndex);
    void txtAnswered(const QString& name, quint64 serial, bool securePairing);
    static void resolveReply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*,
                             const char*, uint16_t, uint16_t txtLength, const unsigned char* txt, void* context);

    InterfaceLookup m_lookup;
    std::chrono::milliseconds m_txtTimeout{std::chrono::seconds(5)};
    DnsService m_browse;
    // (instance name, interface index) -> how many times the daemon reported it
    // (it may report one per address family).
    std::map<std::pair<QString, int>, int> m_results;
    QList<std::pair<QString, int>> m_order;
    // One per instance name currently browsed.
    std::map<QString, std::unique_ptr<TxtLookup>> m_txt;
    quint64 m_nextSerial = 0;
    std::optional<QList<DiscoveredPeer>> m_lastPublished;
};

} // namespace kivo
