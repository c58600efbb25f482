#include "connection/SecurePairing.h"

#include <gtest/gtest.h>

#include <functional>

using namespace kivo;
using Secret = SecurePairing::SharedSecret;

namespace {

const QByteArray kBinding = SecurePairing::channelBinding("source certificate", "destination certificate");

// Both ends through the whole exchange; the destination's verdict on the source
// and the source's on the destination.
std::pair<bool, bool> exchange(SecurePairing& source, SecurePairing& destination)
{
    const QByteArray destinationShare = destination.start();
    const QByteArray sourceShare = source.start();
    const QByteArray sourceConfirmation = source.receivePeerShare(destinationShare);
    const QByteArray destinationConfirmation = destination.receivePeerShare(sourceShare);
    bool sourceAccepts = true, destinationAccepts = true;
    try {
        source.receivePeerConfirmation(destinationConfirmation);
    } catch (const SecurePairingError&) {
        sourceAccepts = false;
    }
    try {
        destination.receivePeerConfirmation(sourceConfirmation);
    } catch (const SecurePairingError&) {
        destinationAccepts = false;
    }
    return {sourceAccepts, destinationAccepts};
}

} // namespace

TEST(SharedSecretPairing, OnlyTheSameSecretAgreesAndNeverWithACode)
{
    const QString secret = QStringLiteral("correct horse battery staple");
    {
        SecurePairing source(DeviceRole::source, Secret{secret}, kBinding);
        SecurePairing destination(DeviceRole::destination, Secret{secret}, kBinding);
        EXPECT_EQ(exchange(source, destination), std::make_pair(true, true));
        EXPECT_EQ(source.sessionKey(), destination.sessionKey());
    }
    {
        SecurePairing source(DeviceRole::source, Secret{secret}, kBinding);
        SecurePairing other(DeviceRole::destination, Secret{secret + u'.'}, kBinding);
        EXPECT_EQ(exchange(source, other), std::make_pair(false, false));
    }
    {
        // A secret made of digits is still not the code of the same digits.
        SecurePairing source(DeviceRole::source, Secret{QStringLiteral("1234561234561234")}, kBinding);
        SecurePairing typed(DeviceRole::destination, QStringLiteral("123456"), kBinding);
        EXPECT_FALSE(exchange(source, typed).first);
    }
    EXPECT_THROW(SecurePairing(DeviceRole::source, Secret{QStringLiteral("fifteen chars!!")}, kBinding), SecurePairingError);
}
