// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/MessageHeader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <memory>
#include <optional>

class QIODevice;

namespace kivo {

// One framed message: a 4-byte big-endian header length, the JSON header, the payload.
namespace WireFormat {

constexpr std::uint32_t kMaxHeaderLength = 1048576;

// The most payload a message of each kind may announce; a larger payloadSize is
// refused before any of its bytes is read, so a peer cannot make us buffer more.
constexpr std::uint32_t kMaxChunkPayload = 1048576;
// Every other kind: replies, markers and the pairing exchange carry a few keys at most.
constexpr std::uint32_t kMaxControlPayload = 64 * 1024;
// Documents that grow with the file list: the manifest, a checkpoint, the
// verification hashes, the pre-flight conflict question and answer. A
// 1,000,000-file manifest is about 430 MB.
constexpr std::uint32_t kMaxDocumentPayload = 512u * 1024 * 1024;
// A manifest larger than this is received into a scratch file, not the heap.
constexpr std::uint32_t kSpoolAbove = 8u * 1024 * 1024;
std::uint32_t maxPayloadSize(MessageType type);

// The whole frame. The caller sets header.payloadSize; the encoder does not.
QByteArray encodeMessage(const MessageHeader& header, const std::optional<QByteArray>& payload = std::nullopt);
// The frame up to its payload: length prefix and header.
QByteArray encodeHead(const MessageHeader& header);

} // namespace WireFormat

// Incremental decoder for one frame. It never asks for more bytes than the
// current frame still needs, so nothing of the next frame is consumed, and it
// only holds payload bytes that actually arrived: a hostile payloadSize costs
// nothing until the peer really sends that much.
class FrameDecoder {
public:
    // How many more bytes the decoder can take right now (always > 0 until a message is ready).
    qint64 bytesWanted() const;
    // Consumes at most bytesWanted() bytes. Throws TransferError (bad length) or DecodingError (bad JSON).
    void feed(QByteArrayView data);
    // Takes what the frame still needs of the `available` bytes of `device`;
    // payload bytes are read straight into the payload, without a copy.
    void readFrom(QIODevice& device, qint64 available);
    bool hasMessage() const { return m_stage == Stage::done; }
    Message take();
    // The stream ended before a whole frame: throws the matching error.
    [[noreturn]] void endOfStream() const;
    // True while no byte of the current frame has arrived.
    bool atFrameStart() const { return m_stage == Stage::prefix && m_buffer.isEmpty(); }
    // The payload size the current frame's header announced; 0 until the header is in.
    std::uint32_t announcedPayloadSize() const { return m_stage == Stage::payload || m_stage == Stage::done ? m_payloadSize : 0; }

private:
    enum class Stage { prefix, header, payload, done };
    void finishHeader();
    void payloadArrived();
    qint64 payloadReceived() const;

    Stage m_stage = Stage::prefix;
    QByteArray m_buffer;
    std::uint32_t m_headerLength = 0;
    std::uint32_t m_payloadSize = 0;
    MessageHeader m_header;
    QByteArray m_payload;
    std::shared_ptr<SpoolFile> m_spool;
    qint64 m_spooled = 0;
};

} // namespace kivo
