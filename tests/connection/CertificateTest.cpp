#include "connection/CertificateManager.h"
#include "connection/Der.h"
#include "support/CliRun.h"
#include "support/FileBytes.h"

#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

using namespace kivo;

TEST(Der, LengthsUseShortFormBelow128AndLongFormFrom128)
{
    const std::pair<int, const char*> lengths[] = {{0, "00"},       {127, "7f"},       {128, "8180"},     {200, "81c8"},
                                                   {255, "81ff"}, {256, "820100"}, {300, "82012c"}, {65536, "83010000"}};
    for (const auto& [length, hex] : lengths)
        EXPECT_EQ(der::encodeLength(length).toHex(), hex) << length;

    const QByteArray body(300, 'x');
    const QByteArray seq = der::tlv(der::sequence, body);
    EXPECT_EQ(seq.left(4).toHex(), "3082012c");
    EXPECT_EQ(seq.size(), 304);
}

TEST(Der, IntegersOidsTimesAndBitStrings)
{
    EXPECT_EQ(der::encodeInteger(std::uint64_t(1)).toHex(), "020101");
    EXPECT_EQ(der::encodeInteger(std::uint64_t(0)).toHex(), "020100");
    EXPECT_EQ(der::encodeInteger(std::uint64_t(0x80)).toHex(), "02020080"); // top bit set: leading zero
    EXPECT_EQ(der::encodeInteger(QByteArray::fromHex("0000ff")).toHex(), "020200ff");
    EXPECT_EQ(der::encodeInteger(QByteArray::fromHex("00007f")).toHex(), "02017f");

    EXPECT_EQ(der::encodeOid("1.2.840.10045.4.3.2").toHex(), "06082a8648ce3d040302");
    EXPECT_EQ(der::encodeOid("1.2.840.10045.3.1.7").toHex(), "06082a8648ce3d030107");
    EXPECT_EQ(der::encodeOid("2.5.4.3").toHex(), "0603550403");

    const QDateTime t(QDate(2026, 1, 31), QTime(9, 5, 7), QTimeZone::utc());
    EXPECT_EQ(der::encodeUtcTime(t), QByteArray("\x17\x0d") + "260131090507Z");
    // Local times are written in UTC.
    EXPECT_EQ(der::encodeUtcTime(t.toTimeZone(QTimeZone(3600))).mid(2), "260131090507Z");

    EXPECT_EQ(der::encodeBitString(QByteArray::fromHex("04ab")).toHex(), "03030004ab");
}

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
    for (const char* line : {"Version: 3 (0x2)", "Serial Number: 1 (0x1)", "Issuer: CN = kivo, O = kivo",
                             "Subject: CN = kivo, O = kivo", "ASN1 OID: prime256v1", "Public-Key: (256 bit)",
                             "Not Before: Mar  1 12:00:00 2026 GMT", "Not After : Mar  1 12:00:00 2027 GMT"})
        EXPECT_TRUE(parsed.text.contains(QLatin1String(line))) << line << "\n" << parsed.text.toStdString();
    EXPECT_EQ(parsed.text.count(QStringLiteral("Signature Algorithm: ecdsa-with-SHA256")), 2);
    EXPECT_FALSE(parsed.text.contains(QStringLiteral("X509v3 extensions")));

    const QSslCertificate cert(derBytes, QSsl::Der);
    ASSERT_FALSE(cert.isNull());
    EXPECT_EQ(cert.toDer(), derBytes); // Qt, which pins it, reads it too
}

TEST(Certificate, EveryManagerHasItsOwnIdentity)
{
    CertificateManager a, b;
    ASSERT_TRUE(a.hasIdentity());
    ASSERT_TRUE(b.hasIdentity());
    EXPECT_NE(a.localCertificate().toDer(), b.localCertificate().toDer());
    EXPECT_TRUE(inspect(a.localCertificate().toDer()).signatureVerifies);
}

TEST(Certificate, PinAcceptsOnlyTheSameBytesUntilDiscarded)
{
    CertificateManager manager, first, second;
    const QSslCertificate a = first.localCertificate();
    const QSslCertificate b = second.localCertificate();

    // Unpinned: anything goes and is recorded, even no certificate at all.
    EXPECT_TRUE(manager.verifyPeer(QSslCertificate()));
    EXPECT_FALSE(manager.capturedPeerCertificate().has_value());
    EXPECT_TRUE(manager.verifyPeer(a));
    EXPECT_EQ(manager.capturedPeerCertificate(), a);

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
