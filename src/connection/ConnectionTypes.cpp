// SPDX-License-Identifier: Apache-2.0
#include "connection/ConnectionTypes.h"

#include <QRegularExpression>

namespace kivo {

QString toString(TransportType transport)
{
    switch (transport) {
    case TransportType::thunderbolt: return QStringLiteral("thunderbolt");
    case TransportType::ethernet: return QStringLiteral("ethernet");
    case TransportType::wifi: return QStringLiteral("wifi");
    }
    return {};
}

QString displayName(TransportType transport)
{
    switch (transport) {
    case TransportType::thunderbolt: return QStringLiteral("Thunderbolt");
    case TransportType::ethernet: return QStringLiteral("Ethernet");
    case TransportType::wifi: return QStringLiteral("Wi-Fi");
    }
    return {};
}

std::optional<TransportType> transportTypeFromString(const QString& text)
{
    for (auto t : {TransportType::thunderbolt, TransportType::ethernet, TransportType::wifi})
        if (toString(t) == text)
            return t;
    return std::nullopt;
}

int transportRank(TransportType transport)
{
    switch (transport) {
    case TransportType::thunderbolt: return 3;
    case TransportType::ethernet: return 2;
    case TransportType::wifi: return 1;
    }
    return 0;
}

DiscoveredPeer peerForAddress(QString host, quint16 port, std::optional<QString> pairingCode)
{
    DiscoveredPeer peer;
    peer.hostname = host;
    peer.username = QStringLiteral("Unknown");
    peer.transport = TransportType::wifi;
    peer.id = host + u'_' + toString(peer.transport);
    peer.endpoint.host = std::move(host);
    peer.endpoint.port = port;
    peer.pairingCode = std::move(pairingCode);
    peer.securePairing = true;
    peer.advertised = false;
    return peer;
}

QString toString(std::optional<TransportType> transport)
{
    return transport ? toString(*transport) : QStringLiteral("network");
}

QString displayName(std::optional<TransportType> transport)
{
    return transport ? displayName(*transport) : QStringLiteral("Network");
}

namespace {

constexpr int kArpLoopback = 772;

bool isThunderboltDevice(const netif::NetdevFacts& d)
{
    // The driver names its devices thunderbolt<N>; the name stands when the driver link is not there to read.
    static const QRegularExpression named(QStringLiteral("^thunderbolt[0-9]+$"));
    return d.driver == QLatin1String("thunderbolt-net") || named.match(d.name).hasMatch();
}

} // namespace

std::optional<TransportType> transportOfDevice(const netif::NetdevFacts& device)
{
    // Loopback is no link; a device sysfs no longer knows tells nothing.
    if (device.arpType == kArpLoopback || device.arpType < 0 || device.name == QLatin1String("lo"))
        return std::nullopt;
    if (isThunderboltDevice(device) || std::any_of(device.ports.cbegin(), device.ports.cend(), isThunderboltDevice))
        return TransportType::thunderbolt;
    if (device.wireless || std::any_of(device.ports.cbegin(), device.ports.cend(), [](const netif::NetdevFacts& p) {
            return p.wireless;
        }))
        return TransportType::wifi;
    return TransportType::ethernet;
}

QStringList directAddresses(const QList<netif::InterfaceAddress>& addresses, quint16 port)
{
    QStringList out;
    for (const netif::InterfaceAddress& a : addresses) {
        const QHostAddress host(a.address);
        if (!a.upAndRunning || host.isNull() || host.isLoopback() || (!a.ipv4 && host.isLinkLocal()))
            continue;
        out << (a.ipv4 ? a.address : u'[' + a.address + u']') + u':' + QString::number(port);
    }
    return out;
}

QString interfaceHolding(const QHostAddress& local, const QList<netif::InterfaceAddress>& addresses)
{
    if (local.isLoopback())
        return QStringLiteral("lo");
    for (const netif::InterfaceAddress& a : addresses) {
        // Scope ids differ in spelling ("%eth0" against none); the address is what matters.
        QHostAddress candidate(a.address);
        candidate.setScopeId({});
        QHostAddress wanted(local);
        wanted.setScopeId({});
        if (candidate.isEqual(wanted, QHostAddress::ConvertV4MappedToIPv4))
            return a.name;
    }
    return {};
}

QString toString(DisconnectionReason reason)
{
    switch (reason) {
    case DisconnectionReason::userCancelled: return QStringLiteral("userCancelled");
    case DisconnectionReason::pairingTimeout: return QStringLiteral("pairingTimeout");
    case DisconnectionReason::connectionLost: return QStringLiteral("connectionLost");
    case DisconnectionReason::transferComplete: return QStringLiteral("transferComplete");
    }
    return {};
}

QString ConnectionError::description() const
{
    switch (m_kind) {
    case Kind::certificateError: return QStringLiteral("Certificate error: ") + m_message;
    case Kind::connectionFailed: return QStringLiteral("Connection failed: ") + m_message;
    case Kind::tlsHandshakeFailed: return QStringLiteral("Could not establish a secure connection. Please try again.");
    case Kind::pairingMismatch: return QStringLiteral("The pairing codes did not match. Please try again.");
    case Kind::pairingExpired: return QStringLiteral("The pairing session expired. Please try again.");
    case Kind::noDevicesFound: return QStringLiteral("No devices found running kivo on your network.");
    case Kind::insecurePeer: return QStringLiteral("The other Mac does not support secure pairing");
    case Kind::peerBusy: return QStringLiteral("The other computer is busy pairing with another computer.");
    case Kind::noAnswer: return QStringLiteral("The other computer did not answer.");
    case Kind::pairingProtocol: return QStringLiteral("Pairing failed: ") + m_message;
    }
    return {};
}

ConnectionState ConnectionState::thunderboltDetected(QString peerIP)
{
    auto s = withKind(Kind::thunderboltDetected);
    s.peerIP = std::move(peerIP);
    return s;
}

ConnectionState ConnectionState::pairingInitiated(QString code, QDateTime expiresAt)
{
    auto s = withKind(Kind::pairingInitiated);
    s.pairingCode = std::move(code);
    s.expiresAt = std::move(expiresAt);
    return s;
}

ConnectionState ConnectionState::connected(QUuid sessionID, TransportType transport)
{
    auto s = withKind(Kind::connected);
    s.sessionID = sessionID;
    s.transport = transport;
    return s;
}

ConnectionState ConnectionState::disconnected(DisconnectionReason reason)
{
    auto s = withKind(Kind::disconnected);
    s.reason = reason;
    return s;
}

ConnectionState ConnectionState::failed(ConnectionError error)
{
    auto s = withKind(Kind::failed);
    s.error = std::move(error);
    return s;
}

bool ConnectionState::operator==(const ConnectionState& other) const
{
    if (kind != other.kind)
        return false;
    switch (kind) {
    case Kind::thunderboltDetected: return peerIP == other.peerIP;
    case Kind::pairingInitiated: return pairingCode == other.pairingCode && expiresAt == other.expiresAt;
    case Kind::connected: return sessionID == other.sessionID && transport == other.transport;
    case Kind::disconnected: return reason == other.reason;
    case Kind::failed: return error == other.error;
    default: return true;
    }
}

QString toString(ConnectionState::Kind kind)
{
    using K = ConnectionState::Kind;
    switch (kind) {
    case K::idle: return QStringLiteral("idle");
    case K::discovering: return QStringLiteral("discovering");
    case K::thunderboltDetected: return QStringLiteral("thunderboltDetected");
    case K::pairingInitiated: return QStringLiteral("pairingInitiated");
    case K::pairingConfirmedLocal: return QStringLiteral("pairingConfirmedLocal");
    case K::pairingConfirmedBoth: return QStringLiteral("pairingConfirmedBoth");
    case K::connected: return QStringLiteral("connected");
    case K::transferring: return QStringLiteral("transferring");
    case K::disconnected: return QStringLiteral("disconnected");
    case K::failed: return QStringLiteral("failed");
    }
    return {};
}

QString ConnectionState::toString() const
{
    const QString name = kivo::toString(kind);
    switch (kind) {
    case Kind::thunderboltDetected: return name + u'(' + peerIP + u')';
    case Kind::pairingInitiated: return name + u'(' + pairingCode + u')';
    case Kind::connected:
        return name + u'(' + sessionID.toString(QUuid::WithoutBraces).toUpper() + u',' + kivo::toString(transport) + u')';
    case Kind::disconnected: return name + u'(' + kivo::toString(reason) + u')';
    case Kind::failed: return name + u'(' + (error ? error->description() : QString()) + u')';
    default: return name;
    }
}

} // namespace kivo
