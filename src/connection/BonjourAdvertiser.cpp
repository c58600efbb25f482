// SPDX-License-Identifier: Apache-2.0
#include "connection/BonjourAdvertiser.h"

#include "connection/CertificateManager.h"
#include "platform/Logging.h"
#include "platform/SslServer.h"

#include <QHostAddress>
#include <QPointer>
#include <QtEndian>

namespace kivo {

BonjourAdvertiser::BonjourAdvertiser(QString hostname, QString username, QObject* parent)
    : QObject(parent), m_hostname(std::move(hostname)), m_username(std::move(username))
{
}

BonjourAdvertiser::~BonjourAdvertiser()
{
    cancel();
}

QString BonjourAdvertiser::instanceName(const QString& hostname, const QString& username,
                                        const std::optional<QString>& code)
{
    return hostname + u'|' + username + u'|' + code.value_or(QString());
}

QByteArray BonjourAdvertiser::txtRecord(bool announceSecurePairing)
{
    if (!announceSecurePairing)
        return {};
    const QByteArray entry = QByteArray(kSecurePairingTxtKey) + '=' + kSecurePairingTxtValue;
    return char(entry.size()) + entry;
}

quint16 BonjourAdvertiser::port() const
{
    return m_server && m_server->isListening() ? m_server->serverPort() : 0;
}

bool BonjourAdvertiser::isListening() const
{
    return m_server && m_server->isListening();
}

void BonjourAdvertiser::start(std::optional<QString> pairingCode, std::optional<QSslConfiguration> tls, quint16 port)
{
    cancel();
    auto server = std::make_unique<SslServer>();
    QSslConfiguration config = tls.value_or(QSslConfiguration::defaultConfiguration());
    server->setSslConfiguration(config);
    if (!server->listen(m_listenAddress, port)) {
        qCWarning(lcBonjourAdvertiser).noquote() << "Failed to create listener:" << server->errorString();
        return;
    }
    QPointer<BonjourAdvertiser> self(this);
    QObject::connect(server.get(), &SslServer::socketAccepted, this, [self, withDefaults = !tls](QSslSocket* socket) {
        if (!self) {
            delete socket;
            return;
        }
        if (withDefaults)
            CertificateManager::enableKeepAlive(socket->socketDescriptor());
        qCInfo(lcBonjourAdvertiser) << "Incoming connection received";
        if (self->onConnectionReceived)
            self->onConnectionReceived(socket);
        else
            delete socket;
    });
    m_server = std::move(server);
    qCInfo(lcBonjourAdvertiser).noquote() << QStringLiteral("Advertising on port %1").arg(m_server->serverPort());

    m_serviceName = instanceName(m_hostname, m_username, m_codeInInstanceName ? pairingCode : std::nullopt);
    DnsService::silenceCompatibilityWarning();
    DNSServiceRef ref = nullptr;
    const QByteArray name = m_serviceName.toUtf8();
    const QByteArray txt = txtRecord(m_announcesSecurePairing);
    const DNSServiceErrorType error =
        DNSServiceRegister(&ref, 0, kDNSServiceInterfaceIndexAny, name.constData(), kServiceType, nullptr, nullptr,
                           qToBigEndian(m_server->serverPort()), static_cast<uint16_t>(txt.size()),
                           txt.isEmpty() ? nullptr : txt.constData(), &BonjourAdvertiser::registerReply, this);
    if (error != kDNSServiceErr_NoError) {
        qCWarning(lcBonjourAdvertiser).noquote() << "Listener failed:" << describeDnsError(error);
        if (onFailed)
            onFailed(discoveryProblem(error));
        return;
    }
    if (!m_registration.adopt(ref)) {
        qCWarning(lcBonjourAdvertiser) << "Listener failed: no connection to the service discovery daemon";
        if (onFailed)
            onFailed(discoveryProblem(kDNSServiceErr_Unknown));
    }
}

void BonjourAdvertiser::registerReply(DNSServiceRef, DNSServiceFlags, DNSServiceErrorType error, const char* name,
                                      const char*, const char*, void* context)
{
    auto* self = static_cast<BonjourAdvertiser*>(context);
    if (error != kDNSServiceErr_NoError) {
        qCWarning(lcBonjourAdvertiser).noquote() << "Listener failed:" << describeDnsError(error);
        return;
    }
    const QString published = QString::fromUtf8(name);
    // The daemon renames on a collision (" #2" appended), which garbles the
    // code part; destinations that read the code will not pair with such a name.
    if (published != self->m_serviceName)
        qCWarning(lcBonjourAdvertiser).noquote() << "Service renamed by the daemon to" << published;
    self->m_serviceName = published;
    self->m_published = true;
    qCDebug(lcBonjourAdvertiser).noquote() << "Published" << self->m_serviceName;
    // Queued: the receiver may drop this advertiser, which must not happen inside the daemon callback.
    QMetaObject::invokeMethod(self, &BonjourAdvertiser::published, Qt::QueuedConnection);
}

void BonjourAdvertiser::cancel()
{
    m_registration.reset();
    m_published = false;
    if (m_server) {
        m_server->close();
        m_server.reset();
    }
}

} // namespace kivo
