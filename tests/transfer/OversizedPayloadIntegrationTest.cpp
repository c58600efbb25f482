// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "support/LoopbackPair.h"
#include "transfer/DestinationTransfer.h"
#include "transfer/TransferSupport.h"
#include "transfer/WireFormat.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

// Each kind's limit is the decoder's table; here, that a source announcing more payload
// than allowed, and then really sending bytes, is refused at the header and the transfer ends.
TEST(OversizedPayload, TheDestinationRefusesAtTheHeaderAndEnds)
{
    QTemporaryDir dir;
    LoopbackPair link = makeLoopbackPair(TransferSession::Security::tls);
    DestinationTransfer destination(link.accepted.get(), u"x"_s, dir.path());
    TransferManifest manifest = manifestFor(u"T-1"_s);
    add(manifest, fileItem(u"~/big.bin"_s, u"/Users/ann/big.bin"_s, 8 * 1048576));
    auto receiving = destination.run();
    runTask([&]() -> QCoro::Task<void> {
        MessageHeader offer = header(MessageType::manifest);
        offer.manifestData = manifest.encoded();
        co_await link.client->sendMessage(offer, std::nullopt);
        co_await link.client->receiveMessage(); // manifestAck
        co_await link.client->sendMessage(header(MessageType::categoryStart, u"userFiles"_s), std::nullopt);
        MessageHeader lie = header(MessageType::chunkData, u"~/big.bin"_s, 0);
        lie.payloadSize = 0xFFFFFFFFu;
        // Far more than any bound: a decoder that read on would still be waiting for it.
        co_await link.client->sendRaw(WireFormat::encodeHead(lie) + QByteArray(4 * 1048576, 'x'));
    }());
    runTask(std::move(receiving));
    ASSERT_TRUE(destination.progress()->error());
    EXPECT_TRUE(destination.progress()->error()->startsWith(u"Invalid protocol message: chunkData payload of 4294967295"_s))
        << destination.progress()->error()->toStdString();
    EXPECT_FALSE(QFile::exists(dir.filePath(u"big.bin"_s)));
}
