// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/NetworkInterfaces.h"

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

namespace kivo {

enum class TransportType { thunderbolt, ethernet, wifi };

QString toString(TransportType transport);           // "thunderbolt", "ethernet", "wifi"
QString displayName(TransportType transport);        // "Thunderbolt", "Ethernet", "Wi-Fi"
std::optional<TransportType> transportTypeFromString(const QString& text);
// As above, and "network" / "Network" for a connection over no link (loopback).
QString toString(std::optional<TransportType> transport);
QString displayName(std::optional<TransportType> transport);
// Higher wins when the same host is seen over several links.
int transportRank(TransportType transport);

// Where to reach a peer: a service instance that still needs resolving (host
// empty), or a known address.
struct PeerEndpoint {
    QString serviceName;
    QString host;
    quint16 port = 0;
    int interfaceIndex = 0;

    bool isResolved() const { return !host.isEmpty() && port != 0; }
    bool operator==(const PeerEndpoint&) const = default;
};

struct DiscoveredPeer {
    QString id; // hostname + "_" + transport
    QString hostname;
    QString username;
    PeerEndpoint endpoint;
    TransportType transport = TransportType::wifi;
    std::optional<QString> pairingCode;
    // The peer's advertisement announced secure pairing. False when it did not
    // (a peer that only compares codes) or when there was no advertisement to read.
    bool securePairing = false;
    // Read from an advertisement; false for a peer known only by its address,
    // whose ability to pair securely shows only in how it answers.
    bool advertised = true;

    bool operator==(const DiscoveredPeer&) const = default;
};

// A peer for a known address, for networks where multicast is blocked. Nothing
// was advertised: the secure exchange is tried, and a peer that does not answer
// it counts as one that cannot pair securely.
DiscoveredPeer peerForAddress(QString host, quint16 port, std::optional<QString> pairingCode);

// How a connection leaves this machine, from the device it leaves by: none for
// loopback, which is no link at all; Thunderbolt for a thunderbolt-net device or
// a bridge over one; Wi-Fi for a wireless one; Ethernet for the rest.
std::optional<TransportType> transportOfDevice(const netif::NetdevFacts& device);
// The interface that holds `local` among `addresses`; empty when none does.
QString interfaceHolding(const QHostAddress& local, const QList<netif::InterfaceAddress>& addresses);
// Where a peer may reach a listener on `port` here by address ("HOST:PORT",
// IPv6 in brackets): every address of an interface that is up, but loopback
// and IPv6 link-local ones, which need a scope the peer does not know.
QStringList directAddresses(const QList<netif::InterfaceAddress>& addresses, quint16 port);

enum class DisconnectionReason { userCancelled, pairingTimeout, connectionLost, transferComplete };
QString toString(DisconnectionReason reason);

class ConnectionError : public Error {
public:
    enum class Kind {
        certificateError,
        connectionFailed,
        tlsHandshakeFailed,
        pairingMismatch,
        pairingExpired,
        noDevicesFound,
        insecurePeer,
        peerBusy,
        noAnswer,
        pairingProtocol,
    };

    static ConnectionError certificateError(QString message) { return {Kind::certificateError, std::move(message)}; }
    static ConnectionError connectionFailed(QString message) { return {Kind::connectionFailed, std::move(message)}; }
    static ConnectionError tlsHandshakeFailed() { return {Kind::tlsHandshakeFailed, {}}; }
    static ConnectionError pairingMismatch() { return {Kind::pairingMismatch, {}}; }
    static ConnectionError pairingExpired() { return {Kind::pairingExpired, {}}; }
    static ConnectionError noDevicesFound() { return {Kind::noDevicesFound, {}}; }
    // The peer speaks only the old exchange, which proves nothing to the source.
    static ConnectionError insecurePeer() { return {Kind::insecurePeer, {}}; }
    // The source is proving codes with other computers and has no room for us now.
    static ConnectionError peerBusy() { return {Kind::peerBusy, {}}; }
    // A pairing message the peer owed us did not come before its deadline.
    static ConnectionError noAnswer() { return {Kind::noAnswer, {}}; }
    // The peer speaks the secure exchange but sent something it does not allow.
    static ConnectionError pairingProtocol(QString message) { return {Kind::pairingProtocol, std::move(message)}; }

    Kind kind() const { return m_kind; }
    const QString& message() const { return m_message; }
    QString description() const override;
    bool operator==(const ConnectionError& other) const { return m_kind == other.m_kind && m_message == other.m_message; }

private:
    ConnectionError(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind;
    QString m_message;
};

// One value at a time; only the fields of the current kind are meaningful.
struct ConnectionState {
    enum class Kind {
        idle,
        discovering,
        thunderboltDetected,
        pairingInitiated,
        pairingConfirmedLocal,
        pairingConfirmedBoth,
        connected,
        transferring,
        disconnected,
        failed,
    };

    Kind kind = Kind::idle;
    QString peerIP;                  // thunderboltDetected
    QString pairingCode;             // pairingInitiated
    QDateTime expiresAt;             // pairingInitiated
    QUuid sessionID;                 // connected
    TransportType transport = TransportType::wifi; // connected
    DisconnectionReason reason = DisconnectionReason::userCancelled; // disconnected
    std::optional<ConnectionError> error; // failed

    static ConnectionState idle() { return {}; }
    static ConnectionState discovering() { return withKind(Kind::discovering); }
    static ConnectionState thunderboltDetected(QString peerIP);
    static ConnectionState pairingInitiated(QString code, QDateTime expiresAt);
    static ConnectionState pairingConfirmedLocal() { return withKind(Kind::pairingConfirmedLocal); }
    static ConnectionState pairingConfirmedBoth() { return withKind(Kind::pairingConfirmedBoth); }
    static ConnectionState connected(QUuid sessionID, TransportType transport);
    static ConnectionState transferring() { return withKind(Kind::transferring); }
    static ConnectionState disconnected(DisconnectionReason reason);
    static ConnectionState failed(ConnectionError error);

    bool operator==(const ConnectionState& other) const;
    // For logs and the command-line front end, e.g. "pairingInitiated(123456)".
    QString toString() const;

private:
    static ConnectionState withKind(Kind kind)
    {
        ConnectionState s;
        s.kind = kind;
        return s;
    }
};

QString toString(ConnectionState::Kind kind);

} // namespace kivo

Q_DECLARE_METATYPE(kivo::DiscoveredPeer)
