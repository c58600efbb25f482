// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "connection/DnsService.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QSslSocket;

namespace kivo {

class SslServer;

constexpr char kServiceType[] = "_kivo._tcp";
// The TXT record entry "kivo-pairing=1" says the source proves the code by a
// key exchange instead of publishing it; the value is that exchange's version.
constexpr char kSecurePairingTxtKey[] = "kivo-pairing";
constexpr char kSecurePairingTxtValue[] = "1";

// The source's listener, published by the system's DNS-SD daemon under an
// instance name that carries what the destination shows: host, user and, unless
// told otherwise, the live pairing code. The TXT record announces secure pairing.
class BonjourAdvertiser : public QObject {
    Q_OBJECT
public:
    BonjourAdvertiser(QString hostname, QString username, QObject* parent = nullptr);
    ~BonjourAdvertiser() override;

    // Listens on `port` (0: any free port) and publishes. Without `tls` the
    // listener uses the default TLS configuration. A listener that cannot be
    // made is logged only; a daemon that will not publish goes to onFailed.
    void start(std::optional<QString> pairingCode, std::optional<QSslConfiguration> tls, quint16 port = 0);
    // Where to listen; every interface unless set (tests keep to loopback).
    void setListenAddress(const QHostAddress& address) { m_listenAddress = address; }
    // Whether the TXT record announces secure pairing (on unless set). Off, the
    // advertisement looks like one from a peer that only compares codes.
    void setAnnouncesSecurePairing(bool announce) { m_announcesSecurePairing = announce; }
    bool announcesSecurePairing() const { return m_announcesSecurePairing; }
    // Whether the code goes into the instance name (on unless set). Off, the
    // name keeps its shape with the code part empty, so anyone on the network
    // can read the advertisement without learning the code; only peers that
    // prove the code instead of reading it can then pair. Both take effect at
    // the next start().
    void setCodeInInstanceName(bool publish) { m_codeInInstanceName = publish; }
    bool codeInInstanceName() const { return m_codeInInstanceName; }
    // Stops listening and withdraws the service.
    void cancel();

    quint16 port() const;
    bool isListening() const;
    bool isPublished() const { return m_published; }
    const QString& serviceName() const { return m_serviceName; }

    // "host|user|code"; the code part is empty without a code.
    static QString instanceName(const QString& hostname, const QString& username, const std::optional<QString>& code);
    // The TXT record's wire form: length-prefixed strings, empty without the announcement.
    static QByteArray txtRecord(bool announceSecurePairing);

    // Receives each accepted connection (not yet encrypting); the receiver owns it.
    std::function<void(QSslSocket*)> onConnectionReceived;
    // Told why nobody can find us; we still listen, for connections by address.
    std::function<void(QString reason)> onFailed;

Q_SIGNALS:
    // The daemon confirmed the registration under serviceName().
    void published();

private:
    static void registerReply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name,
                              const char* type, const char* domain, void* context);

    QString m_hostname;
    QString m_username;
    QString m_serviceName;
    bool m_published = false;
    bool m_announcesSecurePairing = true;
    bool m_codeInInstanceName = true;
    QHostAddress m_listenAddress = QHostAddress::Any;
    std::unique_ptr<SslServer> m_server;
    DnsService m_registration;
};

} // namespace kivo
