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

// A source announcing more payload than its message kind allows, and then
// really sending bytes: the destination refuses at the header and ends with an
// invalid-message error instead of reading on.
TEST(OversizedPayload, TheDestinationRefusesAtTheHeaderAndEnds)
{
    const struct {
        MessageType type;
        std::uint32_t declared;
    } cases[] = {{MessageType::chunkData, 0xFFFFFFFFu}, {MessageType::fileComplete, 8 * 1048576}};
    for (const auto& c : cases) {
        SCOPED_TRACE(toString(c.type).toStdString());
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
            MessageHeader lie = header(c.type, u"~/big.bin"_s, 0);
            lie.payloadSize = c.declared;
            // Far more than any bound: a decoder that read on would still be waiting for it.
            co_await link.client->sendRaw(WireFormat::encodeHead(lie) + QByteArray(4 * 1048576, 'x'));
        }());
        runTask(std::move(receiving));
        ASSERT_TRUE(destination.progress()->error());
        EXPECT_EQ(*destination.progress()->error(),
                  u"Invalid protocol message: %1 payload of %2 bytes exceeds its limit of %3 bytes"_s.arg(
                      toString(c.type))
                      .arg(c.declared)
                      .arg(WireFormat::maxPayloadSize(c.type)));
        EXPECT_FALSE(QFile::exists(dir.filePath(u"big.bin"_s)));
    }
}
