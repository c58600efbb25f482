// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

#include <QDateTime>
#include <QObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QSslKey>

#include <memory>
#include <optional>

class QSslSocket;
typedef struct evp_pkey_st EVP_PKEY;

namespace kivo {

class CertificateError : public Error {
public:
    enum class Kind { publicKeyExtractionFailed, certificateCreationFailed, identityNotFound, signingFailed };
    explicit CertificateError(Kind kind) : m_kind(kind) {}
    Kind kind() const { return m_kind; }
    QString description() const override;

private:
    Kind m_kind;
};

// This process's TLS identity (a P-256 key that only ever lives in memory and a
// self-signed certificate) and the pin on the peer's certificate. Trust comes
// from the pairing code, not from any authority: the first handshake accepts
// whatever the peer presents and records it; once pinned, only those exact
// bytes are accepted.
class CertificateManager : public QObject {
    Q_OBJECT
public:
    static constexpr int kKeepAliveSeconds = 30;
    static constexpr qint64 kValiditySeconds = 31536000;
    // Offered by both ends in the handshake: a peer that selects it speaks the
    // code-proving exchange; one that selects nothing only knows the bare confirmation.
    static constexpr char kPairingProtocol[] = "kivo-cpace/1";

    // Creates the identity at once; on failure it is simply absent.
    explicit CertificateManager(QObject* parent = nullptr);
    ~CertificateManager() override;

    void createEphemeralIdentity();
    bool hasIdentity() const { return !m_certificate.isNull(); }
    QSslCertificate localCertificate() const { return m_certificate; }

    // Both roles get the same configuration: our identity, and the peer's
    // certificate requested so the pin can be checked.
    QSslConfiguration makeTLSParameters(bool isServer) const;
    // Whether this encrypted socket's peer selected kPairingProtocol.
    static bool selectedPairingProtocol(const QSslSocket& socket);
    // Installs the configuration, the handshake-time peer check and TCP
    // keep-alive on a socket that has not started its handshake yet.
    void prepareSocket(QSslSocket* socket);

    void pinRemoteCertificate(const QSslCertificate& certificate);
    void discardPinnedCertificate();
    const std::optional<QSslCertificate>& pinnedRemoteCertificate() const { return m_pinned; }
    const std::optional<QSslCertificate>& capturedPeerCertificate() const { return m_captured; }

    // The decision for one handshake's leaf certificate (null when the peer sent none).
    bool verifyPeer(const QSslCertificate& leaf);

    // The certificate, field by field, signed with `privateKey`. Throws CertificateError.
    static QByteArray buildSelfSignedCertificateDER(EVP_PKEY* privateKey, const QDateTime& now);
    // SO_KEEPALIVE with idle time and probe interval of kKeepAliveSeconds.
    static bool enableKeepAlive(qintptr descriptor);
    // Errors that only say "nobody vouches for this certificate"; anything else still fails.
    static bool isTolerated(QSslError::SslError error);

private:
    void generateSelfSignedIdentity();

    struct KeyDeleter {
        void operator()(EVP_PKEY* key) const;
    };
    std::unique_ptr<EVP_PKEY, KeyDeleter> m_key;
    QSslKey m_sslKey;
    QSslCertificate m_certificate;
    std::optional<QSslCertificate> m_pinned;
    std::optional<QSslCertificate> m_captured;
};

} // namespace kivo
