// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to the frame decoder, split at points taken from the
// input itself, and checks that it either yields messages, asks for more, or
// throws one of our own errors: never crashes, hangs or over-allocates. The
// header's text is also read directly and by the JSON parser, which must agree.
#include "platform/Error.h"
#include "platform/Json.h"
#include "transfer/FileBundle.h"
#include "transfer/MessageHeader.h"
#include "transfer/WireFormat.h"

#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace {

// A header read directly must be the one the JSON parser reads from the same text.
void checkFlatAgainstParser(QByteArrayView text)
{
    const std::optional<kivo::MessageHeader> flat = kivo::MessageHeader::decodeFlat(text);
    if (!flat)
        return;
    try {
        if (!(kivo::MessageHeader::fromJson(kivo::json::parseObject(text.toByteArray())) == *flat))
            __builtin_trap();
    } catch (const kivo::Error&) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the largest piece fed at once (1..256 bytes).
    const size_t step = size_t(data[0]) + 1;
    QByteArrayView input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (input.size() > 4) {
        const qsizetype announced = qFromBigEndian<quint32>(input.data());
        checkFlatAgainstParser(input.sliced(4, std::min(announced, input.size() - 4)));
    }
    kivo::FrameDecoder decoder;
    try {
        while (!input.isEmpty()) {
            const qsizetype n = std::min<qsizetype>({qsizetype(step), qsizetype(decoder.bytesWanted()), input.size()});
            decoder.feed(input.first(n));
            input = input.sliced(n);
            if (decoder.hasMessage()) {
                kivo::Message m = decoder.take();
                // Re-encoding what was decoded must decode to the same header.
                const QByteArray again = kivo::WireFormat::encodeMessage(m.header, m.payload);
                kivo::FrameDecoder check;
                check.feed(again);
                if (!check.hasMessage() || !(check.take().header == m.header))
                    __builtin_trap();
                // A bundle's entries are checked against its payload before any is used.
                if (m.header.type == kivo::MessageType::fileBundle) {
                    const qsizetype payload = m.payload ? m.payload->size() : 0;
                    const auto entries = kivo::FileBundle::entries(m.header, payload, kivo::FileBundle::kMaxPayload);
                    if (const auto* list = std::get_if<QList<kivo::FileBundle::Entry>>(&entries))
                        for (const kivo::FileBundle::Entry& e : *list)
                            if (qsizetype(e.offset) + qsizetype(e.size) > payload)
                                __builtin_trap();
                }
            }
        }
        decoder.endOfStream();
    } catch (const kivo::Error&) {
    }
    return 0;
}
