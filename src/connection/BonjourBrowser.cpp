// SPDX-License-Identifier: Apache-2.0
#include "connection/BonjourBrowser.h"

#include "connection/BonjourAdvertiser.h"
#include "platform/Logging.h"

#include <QCoroSignal>
#include <QHostAddress>
#include <QPointer>
#include <QTimer>
#include <QtEndian>

#include <memory>

namespace kivo {

struct BonjourBrowser::TxtLookup {
    quint64 serial = 0;
    DnsService resolve;
    QTimer deadline;
    std::optional<bool> securePairing;
    BonjourBrowser* browser = nullptr;
    QString name;
};

BonjourBrowser::BonjourBrowser(InterfaceLookup lookup, QObject* parent)
    : PeerBrowser(parent), m_lookup(lookup ? std::move(lookup) : InterfaceLookup(&netif::describeInterface))
{
}

BonjourBrowser::~BonjourBrowser() = default;

TransportType BonjourBrowser::classifyTransport(const QList<netif::Interface>& interfaces, int* decidingIndex)
{
    for (const auto& i : interfaces) {
        if (i.kind == netif::InterfaceKind::other && netif::isThunderboltBridgeName(i.name)) {
            if (decidingIndex)
                *decidingIndex = i.index;
            return TransportType::thunderbolt;
        }
        if (i.kind == netif::InterfaceKind::wiredEthernet) {
            if (decidingIndex)
                *decidingIndex = i.index;
            return TransportType::ethernet;
        }
    }
    if (decidingIndex)
        *decidingIndex = interfaces.isEmpty() ? 0 : interfaces.first().index;
    return TransportType::wifi;
}

bool BonjourBrowser::announcesSecurePairing(const QByteArray& txtRecord)
{
    std::optional<bool> decision;
    for (qsizetype at = 0; at < txtRecord.size();) {
        const qsizetype length = static_cast<unsigned char>(txtRecord[at]);
        if (at + 1 + length > txtRecord.size())
            return false;
        const QByteArray entry = txtRecord.mid(at + 1, length);
        at += 1 + length;
        const qsizetype equals = entry.indexOf('=');
        // Keys are case-insensitive and only a key's first occurrence counts.
        if (!decision && (equals < 0 ? entry : entry.left(equals)).toLower() == kSecurePairingTxtKey)
            decision = equals >= 0 && entry.mid(equals + 1) == kSecurePairingTxtValue;
    }
    return decision.value_or(false);
}

DiscoveredPeer BonjourBrowser::peerFromResult(const QString& serviceName, const QList<netif::Interface>& interfaces,
                                              bool securePairing)
{
    const QStringList parts = serviceName.split(u'|');
    DiscoveredPeer peer;
    peer.hostname = parts.value(0);
    peer.username = parts.size() > 1 ? parts[1] : QStringLiteral("Unknown");
    if (parts.size() > 2 && !parts[2].isEmpty())
        peer.pairingCode = parts[2];
    peer.securePairing = securePairing;
    int index = 0;
    peer.transport = classifyTransport(interfaces, &index);
    peer.id = peer.hostname + u'_' + toString(peer.transport);
    peer.endpoint.serviceName = serviceName;
    peer.endpoint.interfaceIndex = index;
    return peer;
}

QList<DiscoveredPeer> BonjourBrowser::deduplicate(const QList<DiscoveredPeer>& peers)
{
    QList<DiscoveredPeer> kept;
    for (const auto& p : peers) {
        auto same = std::find_if(kept.begin(), kept.end(),
                                 [&](const DiscoveredPeer& k) { return k.hostname.toLower() == p.hostname.toLower(); });
        if (same == kept.end())
            kept.append(p);
        else if (transportRank(p.transport) > transportRank(same->transport))
            *same = p;
    }
    std::stable_sort(kept.begin(), kept.end(),
                     [](const DiscoveredPeer& a, const DiscoveredPeer& b) { return a.hostname < b.hostname; });
    return kept;
}

void BonjourBrowser::start()
{
    cancel();
    DnsService::silenceCompatibilityWarning();
    DNSServiceRef ref = nullptr;
    const DNSServiceErrorType error = DNSServiceBrowse(&ref, 0, kDNSServiceInterfaceIndexAny, kServiceType, nullptr,
                                                       &BonjourBrowser::browseReply, this);
    if (error != kDNSServiceErr_NoError) {
        qCWarning(lcBonjourBrowser).noquote() << "Browser failed:" << describeDnsError(error);
        if (onFailed)
            onFailed(discoveryProblem(error));
        return;
    }
    if (!m_browse.adopt(ref)) {
        qCWarning(lcBonjourBrowser) << "Browser failed: no connection to the service discovery daemon";
        if (onFailed)
            onFailed(discoveryProblem(kDNSServiceErr_Unknown));
        return;
    }
    qCInfo(lcBonjourBrowser) << "Browser ready";
}

void BonjourBrowser::cancel()
{
    m_browse.reset();
    m_results.clear();
    m_order.clear();
    m_txt.clear();
    m_lastPublished.reset();
}

void BonjourBrowser::browseReply(DNSServiceRef, DNSServiceFlags flags, uint32_t interfaceIndex,
                                 DNSServiceErrorType error, const char* name, const char*, const char*, void* context)
{
    auto* self = static_cast<BonjourBrowser*>(context);
    if (error != kDNSServiceErr_NoError) {
        qCWarning(lcBonjourBrowser).noquote() << "Browser failed:" << describeDnsError(error);
        return;
    }
    const std::pair<QString, int> key{QString::fromUtf8(name), static_cast<int>(interfaceIndex)};
    if (flags & kDNSServiceFlagsAdd) {
        if (self->m_results[key]++ == 0)
            self->m_order.append(key);
    } else if (auto it = self->m_results.find(key); it != self->m_results.end() && --it->second <= 0) {
        self->m_results.erase(it);
        self->m_order.removeOne(key);
    }
    if (!(flags & kDNSServiceFlagsMoreComing)) {
        // Queued: the receiver may drop the browser, which must not happen inside the daemon callback.
        QMetaObject::invokeMethod(self, [s = QPointer<BonjourBrowser>(self)] {
            if (s)
                s->publish();
        }, Qt::QueuedConnection);
    }
}

void BonjourBrowser::publish()
{
    // Group the (name, interface) results by instance, interfaces in the order they were seen.
    QList<QString> names;
    QHash<QString, QList<netif::Interface>> interfaces;
    QHash<QString, int> firstIndex;
    for (const auto& [name, index] : m_order) {
        if (!interfaces.contains(name)) {
            names.append(name);
            firstIndex.insert(name, index);
        }
        interfaces[name].append(m_lookup(index));
    }
    std::erase_if(m_txt, [&](const auto& lookup) { return !interfaces.contains(lookup.first); });
    QList<DiscoveredPeer> peers;
    for (const QString& name : names) {
        const auto known = m_txt.find(name);
        const TxtLookup& lookup =
            known != m_txt.end() ? *known->second : lookUpTxt(name, firstIndex.value(name));
        if (lookup.securePairing)
            peers.append(peerFromResult(name, interfaces.value(name), *lookup.securePairing));
    }
    QList<DiscoveredPeer> list = deduplicate(peers);
    if (m_lastPublished == list)
        return;
    m_lastPublished = list;
    if (onPeersUpdated)
        onPeersUpdated(std::move(list));
}

const BonjourBrowser::TxtLookup& BonjourBrowser::lookUpTxt(const QString& name, int interfaceIndex)
{
    auto lookup = std::make_unique<TxtLookup>();
    lookup->serial = ++m_nextSerial;
    lookup->browser = this;
    lookup->name = name;
    lookup->deadline.setSingleShot(true);
    QObject::connect(&lookup->deadline, &QTimer::timeout, this, [this, name, serial = lookup->serial] {
        qCWarning(lcBonjourBrowser).noquote() << "No TXT record from" << name << "in time; listed without secure pairing";
        txtAnswered(name, serial, false);
    });
    lookup->deadline.start(m_txtTimeout);
    DNSServiceRef ref = nullptr;
    const QByteArray utf8 = name.toUtf8();
    const auto error = DNSServiceResolve(&ref, 0, static_cast<uint32_t>(interfaceIndex), utf8.constData(), kServiceType,
                                         "local.", &BonjourBrowser::resolveReply, lookup.get());
    if (error != kDNSServiceErr_NoError || !lookup->resolve.adopt(ref)) {
        qCWarning(lcBonjourBrowser).noquote()
            << "Could not resolve" << name
            << (error != kDNSServiceErr_NoError ? describeDnsError(error) : QStringLiteral("no daemon connection"));
        lookup->securePairing = false;
        lookup->deadline.stop();
    }
    return *(m_txt[name] = std::move(lookup));
}

void BonjourBrowser::resolveReply(DNSServiceRef, DNSServiceFlags, uint32_t, DNSServiceErrorType error, const char*,
                                  const char*, uint16_t, uint16_t txtLength, const unsigned char* txt, void* context)
{
    const auto* lookup = static_cast<TxtLookup*>(context);
    bool secure = false;
    if (error != kDNSServiceErr_NoError)
        qCWarning(lcBonjourBrowser).noquote() << "Could not resolve" << lookup->name << describeDnsError(error);
    else
        secure = announcesSecurePairing(QByteArray(reinterpret_cast<const char*>(txt), txt ? txtLength : 0));
    // Queued: the answer releases the resolve operation, which must not happen inside its own callback.
    QMetaObject::invokeMethod(lookup->browser, [b = QPointer<BonjourBrowser>(lookup->browser), name = lookup->name,
                                                serial = lookup->serial, secure] {
        if (b)
            b->txtAnswered(name, serial, secure);
    }, Qt::QueuedConnection);
}

void BonjourBrowser::txtAnswered(const QString& name, quint64 serial, bool securePairing)
{
    const auto it = m_txt.find(name);
    // The service may have left, or left and come back, since the question was asked.
    if (it == m_txt.end() || it->second->serial != serial || it->second->securePairing)
        return;
    it->second->securePairing = securePairing;
    it->second->deadline.stop();
    it->second->resolve.reset();
    publish();
}

namespace {

// One resolution: service instance -> host name and port, then host name -> IPv4 address.
class Resolution : public QObject {
    Q_OBJECT
public:
    PeerEndpoint endpoint;
    QString hostTarget;
    QString failure;

    void begin()
    {
        DNSServiceRef ref = nullptr;
        const QByteArray name = endpoint.serviceName.toUtf8();
        const auto error = DNSServiceResolve(&ref, 0, static_cast<uint32_t>(endpoint.interfaceIndex), name.constData(),
                                             kServiceType, "local.", &Resolution::resolveReply, this);
        if (error != kDNSServiceErr_NoError || !m_op.adopt(ref))
            finish(describeDnsError(error));
    }

Q_SIGNALS:
    void done();

private:
    static void resolveReply(DNSServiceRef, DNSServiceFlags, uint32_t interfaceIndex, DNSServiceErrorType error,
                             const char*, const char* hostTarget, uint16_t port, uint16_t, const unsigned char*,
                             void* context)
    {
        auto* self = static_cast<Resolution*>(context);
        if (error != kDNSServiceErr_NoError)
            return self->finish(describeDnsError(error));
        if (!self->hostTarget.isEmpty())
            return;
        self->hostTarget = QString::fromUtf8(hostTarget);
        self->endpoint.port = qFromBigEndian(port);
        if (interfaceIndex > 0)
            self->endpoint.interfaceIndex = static_cast<int>(interfaceIndex);
        // The next query replaces this operation, which must not be released inside its own callback.
        QMetaObject::invokeMethod(self, &Resolution::queryAddress, Qt::QueuedConnection);
    }

    void queryAddress()
    {
        DNSServiceRef ref = nullptr;
        const QByteArray host = hostTarget.toUtf8();
        const auto error = DNSServiceQueryRecord(&ref, 0, static_cast<uint32_t>(endpoint.interfaceIndex),
                                                 host.constData(), kDNSServiceType_A, kDNSServiceClass_IN,
                                                 &Resolution::addressReply, this);
        if (error != kDNSServiceErr_NoError || !m_op.adopt(ref))
            finish(describeDnsError(error));
    }

    static void addressReply(DNSServiceRef, DNSServiceFlags flags, uint32_t, DNSServiceErrorType error, const char*,
                             uint16_t type, uint16_t, uint16_t length, const void* data, uint32_t, void* context)
    {
        auto* self = static_cast<Resolution*>(context);
        if (error != kDNSServiceErr_NoError)
            return self->finish(describeDnsError(error));
        if (!(flags & kDNSServiceFlagsAdd) || type != kDNSServiceType_A || length != 4 || !self->endpoint.host.isEmpty())
            return;
        self->endpoint.host = QHostAddress(qFromBigEndian<quint32>(data)).toString();
        self->finish({});
    }

    void finish(QString error)
    {
        if (m_finished)
            return;
        m_finished = true;
        failure = std::move(error);
        QMetaObject::invokeMethod(this, &Resolution::done, Qt::QueuedConnection);
    }

    DnsService m_op;
    bool m_finished = false;
};

} // namespace

QCoro::Task<PeerEndpoint> BonjourBrowser::resolve(PeerEndpoint endpoint, std::chrono::milliseconds timeout)
{
    if (endpoint.isResolved())
        co_return endpoint;
    DnsService::silenceCompatibilityWarning();
    auto resolution = std::make_unique<Resolution>();
    resolution->endpoint = endpoint;
    resolution->endpoint.host.clear();
    resolution->begin();
    const auto outcome = co_await qCoro(resolution.get(), &Resolution::done, timeout);
    if (!outcome)
        throw ConnectionError::connectionFailed(QStringLiteral("Could not resolve %1").arg(endpoint.serviceName));
    if (!resolution->failure.isEmpty())
        throw ConnectionError::connectionFailed(
            QStringLiteral("Could not resolve %1: %2").arg(endpoint.serviceName, resolution->failure));
    co_return resolution->endpoint;
}

} // namespace kivo

#include "BonjourBrowser.moc"
