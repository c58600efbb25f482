// SPDX-License-Identifier: Apache-2.0
#include "support/TestTls.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace kivo::test {

namespace {

QByteArray bioBytes(BIO* bio)
{
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<qsizetype>(n));
}

} // namespace

TestIdentity makeTestIdentity(const QString& commonName)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!pkey || !cert)
        throw std::runtime_error("openssl key generation failed");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), pkey.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const QByteArray cn = commonName.toUtf8();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.constData()), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_sign(cert.get(), pkey.get(), EVP_sha256());

    std::unique_ptr<BIO, decltype(&BIO_free)> keyBio(BIO_new(BIO_s_mem()), BIO_free);
    std::unique_ptr<BIO, decltype(&BIO_free)> certBio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(keyBio.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_X509(certBio.get(), cert.get());
    return {QSslKey(bioBytes(keyBio.get()), QSsl::Ec), QSslCertificate(bioBytes(certBio.get()))};
}

QSslConfiguration testTlsConfiguration(const TestIdentity& identity)
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPrivateKey(identity.key);
    config.setLocalCertificate(identity.certificate);
    config.setPeerVerifyMode(QSslSocket::QueryPeer);
    config.setProtocol(QSsl::TlsV1_2OrLater);
    return config;
}

} // namespace kivo::test
