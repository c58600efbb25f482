// SPDX-License-Identifier: Apache-2.0
#include "support/ManualClock.h"
#include "connection/PairingManager.h"

#include <QSignalSpy>
#include <QSet>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace std::chrono_literals;

struct PairingWindow : testing::Test {
    ManualClock clock;
    PairingManager pairing{clock};
};

TEST(PairingCode, DrawnAtRandomAndAlwaysSixDigits)
{
    ManualClock clock;
    PairingManager pairing(clock);
    QSet<QString> codes;
    for (int i = 0; i < 200; ++i) {
        const auto session = pairing.generateSession();
        EXPECT_EQ(session.key.size(), 32);
        EXPECT_TRUE(PairingManager::isWellFormedCode(session.code)) << session.code.toStdString();
        codes.insert(session.code);
    }
    // Two hundred draws from a million values hardly ever repeat; a fixed or narrow source would.
    EXPECT_GT(codes.size(), 190);
}

TEST(PairingCode, TransferKeyIsHkdfSha256WithTheFixedSaltAndInfo)
{
    // Computed independently with the openssl command-line KDF.
    const QByteArray ikm = QByteArray::fromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    EXPECT_EQ(PairingManager::hkdfTransferKey(ikm).toHex(),
              "eb4f89f3a41ef9e4e8a926d2f838198413009" "2a144dc9cf4056445db58d9e356");

    ManualClock clock;
    PairingManager source(clock);
    const auto session = source.generateSession();
    EXPECT_EQ(source.deriveTransferKey(), PairingManager::hkdfTransferKey(session.key));

    PairingManager destination(clock);
    destination.acceptPeerCode(session.code);
    EXPECT_FALSE(destination.deriveTransferKey().has_value());

    // The key a secure exchange agreed on is the transfer key on both ends, as is.
    const QByteArray agreed(32, '\x5a');
    for (PairingManager* side : {&source, &destination}) {
        side->setAgreedKey(agreed);
        EXPECT_EQ(side->deriveTransferKey(), agreed);
        side->reset();
        EXPECT_FALSE(side->hasAgreedKey());
    }
}

TEST_F(PairingWindow, ExpiresAfterSixtySecondsUnlessBothSidesConfirmed)
{
    pairing.generateSession();
    clock.advance(59s);
    EXPECT_FALSE(pairing.isExpired());
    clock.advance(1s);
    EXPECT_TRUE(pairing.isExpired());

    // Confirmations after expiry change nothing.
    pairing.confirmLocally();
    pairing.confirmRemotely();
    EXPECT_FALSE(pairing.isLocallyConfirmed());
    EXPECT_FALSE(pairing.isRemotelyConfirmed());

    // Both confirmed in time: the timer has no effect any more.
    pairing.generateSession();
    EXPECT_FALSE(pairing.isExpired());
    QSignalSpy both(&pairing, &PairingManager::confirmedBoth);
    pairing.confirmRemotely();
    EXPECT_EQ(both.count(), 0);
    pairing.confirmLocally();
    EXPECT_EQ(both.count(), 1);
    clock.advance(120s);
    EXPECT_FALSE(pairing.isExpired());
}

TEST_F(PairingWindow, ResetAndNewSessionsCancelTheRunningTimer)
{
    pairing.generateSession();
    clock.advance(30s);
    pairing.reset();
    EXPECT_FALSE(pairing.sessionKey().has_value());
    clock.advance(60s);
    EXPECT_FALSE(pairing.isExpired());

    // A second acceptance restarts the destination's window.
    pairing.acceptPeerCode(QStringLiteral("123456"));
    clock.advance(40s);
    pairing.acceptPeerCode(QStringLiteral("123456"));
    clock.advance(40s);
    EXPECT_FALSE(pairing.isExpired());
    clock.advance(20s);
    EXPECT_TRUE(pairing.isExpired());
}

TEST_F(PairingWindow, OnlySixAsciiDigitsEqualToTheLiveCodeMatch)
{
    for (const char* code : {"12345", "1234567", "12345a", "１２３４５６"})
        EXPECT_FALSE(PairingManager::isWellFormedCode(QString::fromUtf8(code))) << code;
    EXPECT_TRUE(PairingManager::isWellFormedCode(QStringLiteral("012345")));

    EXPECT_FALSE(pairing.matchesCode(QStringLiteral("012345"))) << "no live code";
    pairing.acceptPeerCode(QStringLiteral("012345"));
    EXPECT_TRUE(pairing.matchesCode(QStringLiteral("012345")));
    for (const char* typed : {"012346", "01234５"})
        EXPECT_FALSE(pairing.matchesCode(QString::fromUtf8(typed))) << typed;
}
