// SPDX-License-Identifier: Apache-2.0
#include "connection/CertificateManager.h"

#include "connection/Der.h"
#include "platform/Logging.h"
#include "platform/SocketOptions.h"

#include <QPointer>
#include <QSslSocket>
#include <QTimeZone>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace kivo {

QString CertificateError::description() const
{
    switch (m_kind) {
    case Kind::publicKeyExtractionFailed: return QStringLiteral("Could not extract public key");
    case Kind::certificateCreationFailed: return QStringLiteral("Could not create certificate");
    case Kind::identityNotFound: return QStringLiteral("Could not find identity in keychain");
    case Kind::signingFailed: return QStringLiteral("Could not sign certificate");
    }
    return {};
}

void CertificateManager::KeyDeleter::operator()(EVP_PKEY* key) const
{
    EVP_PKEY_free(key);
}

CertificateManager::CertificateManager(QObject* parent) : QObject(parent)
{
    createEphemeralIdentity();
}

CertificateManager::~CertificateManager() = default;

namespace {

const char* kEcdsaWithSha256 = "1.2.840.10045.4.3.2";
const char* kEcPublicKey = "1.2.840.10045.2.1";
const char* kPrime256v1 = "1.2.840.10045.3.1.7";
const char* kCommonName = "2.5.4.3";
const char* kOrganization = "2.5.4.10";

QByteArray kivoName()
{
    const QString kivo = QStringLiteral("kivo");
    return der::encodeSequence({der::encodeSet({der::encodeSequence({der::encodeOid(kCommonName), der::encodeUtf8String(kivo)})}),
                                der::encodeSet({der::encodeSequence({der::encodeOid(kOrganization), der::encodeUtf8String(kivo)})})});
}

QByteArray signSha256(EVP_PKEY* key, const QByteArray& message)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t length = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(message.constData());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1
        || EVP_DigestSign(ctx.get(), nullptr, &length, data, static_cast<size_t>(message.size())) != 1)
        throw CertificateError(CertificateError::Kind::signingFailed);
    QByteArray signature(static_cast<qsizetype>(length), '\0');
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, data,
                       static_cast<size_t>(message.size())) != 1)
        throw CertificateError(CertificateError::Kind::signingFailed);
    signature.resize(static_cast<qsizetype>(length));
    return signature;
}

} // namespace

QByteArray CertificateManager::buildSelfSignedCertificateDER(EVP_PKEY* privateKey, const QDateTime& now)
{
    unsigned char* point = nullptr;
    const size_t pointLength = privateKey ? EVP_PKEY_get1_encoded_public_key(privateKey, &point) : 0;
    if (pointLength == 0 || !point)
        throw CertificateError(CertificateError::Kind::publicKeyExtractionFailed);
    const QByteArray publicKey(reinterpret_cast<const char*>(point), static_cast<qsizetype>(pointLength));
    OPENSSL_free(point);

    const QDateTime notBefore = now.toUTC();
    const QByteArray algorithm = der::encodeSequence({der::encodeOid(kEcdsaWithSha256)});
    const QByteArray name = kivoName();
    const QByteArray tbs = der::encodeSequence({
        der::tlv(der::contextTag0, der::encodeInteger(std::uint64_t(2))),
        der::encodeInteger(std::uint64_t(1)),
        algorithm,
        name,
        der::encodeSequence({der::encodeUtcTime(notBefore), der::encodeUtcTime(notBefore.addSecs(kValiditySeconds))}),
        name,
        der::encodeSequence({der::encodeSequence({der::encodeOid(kEcPublicKey), der::encodeOid(kPrime256v1)}),
                             der::encodeBitString(publicKey)}),
    });
    return der::encodeSequence({tbs, algorithm, der::encodeBitString(signSha256(privateKey, tbs))});
}

void CertificateManager::generateSelfSignedIdentity()
{
    std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_EC_gen("P-256"));
    if (!key)
        throw SystemError(QStringLiteral("P-256 key generation failed"));
    // Drop sub-second precision so the validity times are exactly what we encode.
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), QTimeZone::utc());
    const QByteArray derBytes = buildSelfSignedCertificateDER(key.get(), now);
    QSslCertificate certificate(derBytes, QSsl::Der);
    if (certificate.isNull())
        throw CertificateError(CertificateError::Kind::certificateCreationFailed);

    // Qt takes keys as encoded bytes; they go through a memory buffer that is wiped afterwards.
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        throw CertificateError(CertificateError::Kind::identityNotFound);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    QByteArray pem(data, static_cast<qsizetype>(length));
    OPENSSL_cleanse(data, static_cast<size_t>(length));
    QSslKey sslKey(pem, QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    OPENSSL_cleanse(pem.data(), static_cast<size_t>(pem.size()));
    if (sslKey.isNull())
        throw CertificateError(CertificateError::Kind::identityNotFound);

    m_key = std::move(key);
    m_sslKey = sslKey;
    m_certificate = certificate;
}

void CertificateManager::createEphemeralIdentity()
{
    try {
        generateSelfSignedIdentity();
        qCInfo(lcCertificate) << "Generated ephemeral TLS identity (in-memory)";
    } catch (const std::exception& e) {
        qCWarning(lcCertificate).noquote() << "Failed to generate TLS identity:" << describe(e);
        m_key.reset();
        m_sslKey = QSslKey();
        m_certificate = QSslCertificate();
    }
}

QSslConfiguration CertificateManager::makeTLSParameters(bool /*isServer*/) const
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    if (hasIdentity()) {
        config.setLocalCertificate(m_certificate);
        config.setPrivateKey(m_sslKey);
    }
    // VerifyPeer makes the listening side ask for the client's certificate and
    // routes every verdict through sslErrors, where verifyPeer decides.
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    config.setAllowedNextProtocols({QByteArray(kPairingProtocol)});
    return config;
}

bool CertificateManager::selectedPairingProtocol(const QSslSocket& socket)
{
    const QSslConfiguration c = socket.sslConfiguration();
    return c.nextProtocolNegotiationStatus() == QSslConfiguration::NextProtocolNegotiationNegotiated
        && c.nextNegotiatedProtocol() == kPairingProtocol;
}

bool CertificateManager::isTolerated(QSslError::SslError error)
{
    switch (error) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::CertificateUntrusted:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::HostNameMismatch: // peers are reached by address; there is no name to check
    case QSslError::CertificateNotYetValid: // the two machines' clocks need not agree
    case QSslError::CertificateExpired:
    case QSslError::NoPeerCertificate: // only reaches verifyPeer, which refuses it once pinned
        return true;
    default:
        return false;
    }
}

bool CertificateManager::verifyPeer(const QSslCertificate& leaf)
{
    if (!m_pinned) {
        if (!leaf.isNull())
            m_captured = leaf;
        return true;
    }
    return !leaf.isNull() && leaf.toDer() == m_pinned->toDer();
}

void CertificateManager::prepareSocket(QSslSocket* socket)
{
    socket->setSslConfiguration(makeTLSParameters(socket->mode() == QSslSocket::SslServerMode));
    QPointer<CertificateManager> self(this);
    QObject::connect(socket, &QSslSocket::sslErrors, socket, [self, socket](const QList<QSslError>& errors) {
        if (!self)
            return;
        for (const QSslError& e : errors) {
            if (!isTolerated(e.error())) {
                qCWarning(lcCertificate).noquote() << "Refusing peer certificate:" << e.errorString();
                return; // not ignoring makes the handshake fail
            }
        }
        if (!self->verifyPeer(socket->peerCertificate())) {
            qCWarning(lcCertificate) << "Peer certificate does not match the pinned certificate";
            return;
        }
        socket->ignoreSslErrors(errors);
    });
    // A certificate that verified without complaint never reaches sslErrors; the
    // pin still applies before the first byte of application data is read.
    QObject::connect(socket, &QSslSocket::encrypted, socket, [self, socket] {
        if (self && !self->verifyPeer(socket->peerCertificate())) {
            qCWarning(lcCertificate) << "Peer certificate does not match the pinned certificate";
            socket->abort();
        }
    });
    if (socket->socketDescriptor() != -1)
        enableKeepAlive(socket->socketDescriptor());
    QObject::connect(socket, &QAbstractSocket::connected, socket,
                     [socket] { enableKeepAlive(socket->socketDescriptor()); });
}

bool CertificateManager::enableKeepAlive(qintptr descriptor)
{
    return net::enableKeepAlive(descriptor, kKeepAliveSeconds);
}

void CertificateManager::pinRemoteCertificate(const QSslCertificate& certificate)
{
    m_pinned = certificate;
    qCInfo(lcCertificate) << "Pinned remote certificate for session";
}

void CertificateManager::discardPinnedCertificate()
{
    m_pinned.reset();
    m_captured.reset();
    qCInfo(lcCertificate) << "Discarded pinned remote certificate";
}

} // namespace kivo
