// SPDX-License-Identifier: Apache-2.0
#include "connection/CertificateManager.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

using namespace kivo;

namespace {

struct Parsed {
    QString text;
    bool signatureVerifies = false;
};

Parsed inspect(const QByteArray& derBytes)
{
    Parsed p;
    const auto* data = reinterpret_cast<const unsigned char*>(derBytes.constData());
    X509* x = d2i_X509(nullptr, &data, derBytes.size());
    if (x) {
        p.signatureVerifies = X509_verify(x, X509_get0_pubkey(x)) == 1;
        X509_free(x);
    }
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("cert.der"));
    test::writeBytes(file, derBytes);
    p.text = QString::fromUtf8(test::runProcess(QStringLiteral("openssl"), {"x509", "-inform", "DER", "-noout", "-text", "-in", file}).out);
    return p;
}

} // namespace

TEST(Certificate, SelfSignedP256CertificateReadsBackFieldByField)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    const QDateTime now(QDate(2026, 3, 1), QTime(12, 0, 0), QTimeZone::utc());
    const QByteArray derBytes = CertificateManager::buildSelfSignedCertificateDER(key.get(), now);

    const Parsed parsed = inspect(derBytes);
    EXPECT_TRUE(parsed.signatureVerifies);
    ASSERT_FALSE(parsed.text.isEmpty()) << "openssl x509 could not read the certificate";
    // Not After is 365 days on.
    for (const char* line : {"Version: 3 (0x2)", "ASN1 OID: prime256v1", "Not Before: Mar  1 12:00:00 2026 GMT",
                             "Not After : Mar  1 12:00:00 2027 GMT"})
        EXPECT_TRUE(parsed.text.contains(QLatin1String(line))) << line << "\n" << parsed.text.toStdString();
    EXPECT_EQ(parsed.text.count(QStringLiteral("Signature Algorithm: ecdsa-with-SHA256")), 2);

    // A certificate this size takes DER's long length forms.
    const QSslCertificate cert(derBytes, QSsl::Der);
    ASSERT_FALSE(cert.isNull());
    EXPECT_EQ(cert.toDer(), derBytes); // Qt, which pins it, reads it too
}

TEST(Certificate, PinAcceptsOnlyTheSameBytesUntilDiscarded)
{
    CertificateManager manager, first, second;
    const QSslCertificate a = first.localCertificate();
    const QSslCertificate b = second.localCertificate();

    // Unpinned: anything goes and is recorded, even no certificate at all.
    EXPECT_TRUE(manager.verifyPeer(QSslCertificate()));
    EXPECT_FALSE(manager.capturedPeerCertificate().has_value());

    manager.pinRemoteCertificate(a);
    EXPECT_TRUE(manager.verifyPeer(QSslCertificate(a.toDer(), QSsl::Der)));
    EXPECT_FALSE(manager.verifyPeer(b));
    EXPECT_FALSE(manager.verifyPeer(QSslCertificate()));

    manager.discardPinnedCertificate();
    EXPECT_FALSE(manager.pinnedRemoteCertificate().has_value());
    EXPECT_FALSE(manager.capturedPeerCertificate().has_value());
    EXPECT_TRUE(manager.verifyPeer(b));
    EXPECT_EQ(manager.capturedPeerCertificate(), b);
}
