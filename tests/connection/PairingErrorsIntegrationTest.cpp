// SPDX-License-Identifier: Apache-2.0
// A scripted source answers the destination's pairing request the way a broken
// or hostile one would; each way ends in its own words for the user.
#include "connection/ConnectionManager.h"
#include "connection/PairingChannel.h"
#include "connection/PairingRig.h"
#include "connection/SecurePairing.h"
#include "connection/SecurePairingMessages.h"
#include "support/CoroTest.h"
#include "support/ErrorText.h"
#include "support/ManualClock.h"
#include "support/TestTls.h"
#include "transfer/TransferSession.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;

namespace {

enum class Answer { silence, hangUp, insecure, mismatch, protocolError, futureVersion, identityShare, reflectedShare };

QJsonObject shareJson(double version, const QByteArray& share)
{
    return {{QStringLiteral("version"), version},
            {QStringLiteral("share"), QString::fromLatin1(share.toBase64())},
            {QStringLiteral("nonce"), QString::fromLatin1(QByteArray(SecurePairing::kNonceBytes, 'n').toBase64())}};
}

// Reads the destination's request and answers it as told; stays connected unless told otherwise.
QCoro::Task<void> answer(TransferSession* session, Answer how)
{
    co_await session->connect();
    const Message request = co_await pairingchannel::receive(session);
    const QByteArray theirShare = PairingShare::fromJson(pairingchannel::payloadObject(request)).share;
    SecurePairing valid(DeviceRole::source, QStringLiteral("123456"), QByteArray(32, '\1'));
    switch (how) {
    case Answer::silence: break;
    case Answer::hangUp: session->close(); break;
    case Answer::insecure: co_await pairingchannel::sendError(session, QStringLiteral("insecure_pairing"), QStringLiteral("no")); break;
    case Answer::mismatch: co_await pairingchannel::sendError(session, QStringLiteral("pairing_mismatch"), QStringLiteral("no")); break;
    case Answer::protocolError:
        co_await pairingchannel::sendError(session, QStringLiteral("pairing_protocol"), QStringLiteral("Unsupported pairing version 9"));
        break;
    case Answer::futureVersion: co_await pairingchannel::send(session, MessageType::pairingResponse, shareJson(2, valid.start())); break;
    case Answer::identityShare: co_await pairingchannel::send(session, MessageType::pairingResponse, shareJson(1, QByteArray(32, '\0'))); break;
    case Answer::reflectedShare: co_await pairingchannel::send(session, MessageType::pairingResponse, shareJson(1, theirShare)); break;
    }
}

} // namespace

TEST(PairingErrors, EachWayASourceFailsTheExchangeHasItsOwnWords)
{
    struct Case {
        Answer how;
        const char* text;
    };
    const Case cases[] = {
        {Answer::silence, "The other computer did not answer."},
        {Answer::hangUp, "The other Mac does not support secure pairing"},
        {Answer::insecure, "The other Mac does not support secure pairing"},
        {Answer::mismatch, "The pairing codes did not match. Please try again."},
        {Answer::protocolError, "Pairing failed: Unsupported pairing version 9"},
        {Answer::futureVersion, "Pairing failed: Unsupported pairing version 2"},
        {Answer::identityShare, "Pairing failed: The other Mac sent an invalid pairing key."},
        {Answer::reflectedShare, "Pairing failed: The other Mac sent back this Mac's own pairing key."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        ScriptedSource source([how = c.how](TransferSession* s) { return answer(s, how); }, false);
        ManualClock clock;
        ConnectionManager destination(onLoopback(&clock));
        runTask(destination.connectToPeer(loopbackPeer(source.server.serverPort())));
        auto attempt = destination.pairSecurely(QStringLiteral("123456"));
        if (c.how == Answer::silence) {
            ASSERT_TRUE(waitUntil([&] { return source.script && source.script->isReady(); }));
            clock.advance(ConnectionManager::Timeouts{}.pairingReply);
        }
        EXPECT_EQ(errorText([&] { runTask(std::move(attempt)); }), c.text);
        EXPECT_EQ(destination.state().kind, ConnectionState::Kind::failed);
        EXPECT_EQ(destination.transferSession(), nullptr);
        EXPECT_FALSE(destination.pairingManager()->deriveTransferKey().has_value());
    }
}
