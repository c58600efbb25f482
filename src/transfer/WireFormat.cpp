// SPDX-License-Identifier: Apache-2.0
#include "transfer/WireFormat.h"

#include "platform/Json.h"
#include "platform/SpoolFile.h"
#include "transfer/TransferError.h"

#include <QIODevice>
#include <QtEndian>
#include <algorithm>

namespace kivo {

namespace {
constexpr qint64 kMaxPayloadReserve = 1 << 20;
}

QByteArray WireFormat::encodeHead(const MessageHeader& header)
{
    const QByteArray json = header.encoded();
    if (static_cast<quint64>(json.size()) > 0xFFFFFFFFull)
        throw TransferError::encodingError(QStringLiteral("Header too large to frame"));
    QByteArray frame;
    frame.reserve(4 + json.size());
    char prefix[4];
    qToBigEndian<quint32>(static_cast<quint32>(json.size()), prefix);
    frame.append(prefix, 4);
    frame.append(json);
    return frame;
}

QByteArray WireFormat::encodeMessage(const MessageHeader& header, const std::optional<QByteArray>& payload)
{
    QByteArray frame = encodeHead(header);
    if (payload)
        frame.append(*payload);
    return frame;
}

std::uint32_t WireFormat::maxPayloadSize(MessageType type)
{
    switch (type) {
    case MessageType::chunkData:
    case MessageType::fileBundle:
        return kMaxChunkPayload;
    case MessageType::manifest:
    case MessageType::manifestAck:
    case MessageType::verificationResponse:
    case MessageType::preFlightConflictRequest:
    case MessageType::preFlightConflictResponse:
        return kMaxDocumentPayload;
    default:
        return kMaxControlPayload;
    }
}

qint64 FrameDecoder::bytesWanted() const
{
    switch (m_stage) {
    case Stage::prefix:
        return 4 - m_buffer.size();
    case Stage::header:
        return qint64(m_headerLength) - m_buffer.size();
    case Stage::payload:
        return qint64(m_payloadSize) - payloadReceived();
    case Stage::done:
        return 0;
    }
    return 0;
}

void FrameDecoder::feed(QByteArrayView data)
{
    while (!data.isEmpty() && m_stage != Stage::done) {
        const qint64 n = std::min<qint64>(bytesWanted(), data.size());
        switch (m_stage) {
        case Stage::prefix:
            m_buffer.append(data.first(n));
            if (m_buffer.size() == 4) {
                m_headerLength = qFromBigEndian<quint32>(m_buffer.constData());
                m_buffer.clear();
                if (m_headerLength < 1 || m_headerLength > WireFormat::kMaxHeaderLength)
                    throw TransferError::invalidMessage(QStringLiteral("Invalid header length: %1").arg(m_headerLength));
                m_buffer.reserve(m_headerLength);
                m_stage = Stage::header;
            }
            break;
        case Stage::header:
            m_buffer.append(data.first(n));
            if (m_buffer.size() == qint64(m_headerLength))
                finishHeader();
            break;
        case Stage::payload:
            if (m_spool) {
                m_spool->append(data.first(n));
                m_spooled += n;
            } else {
                m_payload.append(data.first(n));
            }
            payloadArrived();
            break;
        case Stage::done:
            break;
        }
        data = data.sliced(n);
    }
}

void FrameDecoder::readFrom(QIODevice& device, qint64 available)
{
    const qint64 n = std::min(available, bytesWanted());
    if (n <= 0)
        return;
    if (m_stage != Stage::payload) {
        feed(device.read(n));
        return;
    }
    const qsizetype from = payloadReceived();
    if (m_spool) {
        const QByteArray piece = device.read(std::min(n, kMaxPayloadReserve));
        m_spool->append(piece);
        m_spooled += piece.size();
    } else {
        m_payload.resize(from + n);
        const qint64 got = device.read(m_payload.data() + from, n);
        m_payload.resize(from + std::max<qint64>(got, 0));
    }
    payloadArrived();
}

qint64 FrameDecoder::payloadReceived() const { return m_spool ? m_spooled : m_payload.size(); }

void FrameDecoder::payloadArrived()
{
    if (payloadReceived() == qint64(m_payloadSize)) {
        if (m_spool)
            m_spool->finish();
        m_stage = Stage::done;
    }
}

void FrameDecoder::finishHeader()
{
    m_header = MessageHeader::decode(m_buffer);
    m_buffer = QByteArray();
    m_payloadSize = m_header.payloadSize.value_or(0);
    const std::uint32_t limit = WireFormat::maxPayloadSize(m_header.type);
    if (m_payloadSize > limit)
        throw TransferError::invalidMessage(QStringLiteral("%1 payload of %2 bytes exceeds its limit of %3 bytes")
                                                .arg(toString(m_header.type))
                                                .arg(m_payloadSize)
                                                .arg(limit));
    if (m_payloadSize == 0) {
        m_stage = Stage::done;
        return;
    }
    if (m_header.type == MessageType::manifest && m_payloadSize > WireFormat::kSpoolAbove)
        m_spool = SpoolFile::create();
    else
        m_payload.reserve(std::min<qint64>(m_payloadSize, kMaxPayloadReserve));
    m_stage = Stage::payload;
}

Message FrameDecoder::take()
{
    Message message{std::move(m_header), std::nullopt, {}};
    if (m_spool) {
        message.payload = QByteArray::fromRawData(m_spool->data(), m_spool->size());
        message.spool = std::move(m_spool);
    } else if (m_payloadSize > 0) {
        message.payload = std::move(m_payload);
    }
    *this = FrameDecoder();
    return message;
}

void FrameDecoder::endOfStream() const
{
    // A frame cut inside its length prefix has no usable length: it reads as 0.
    if (m_stage == Stage::prefix && !m_buffer.isEmpty())
        throw TransferError::invalidMessage(QStringLiteral("Invalid header length: 0"));
    throw TransferError::connectionLost();
}

} // namespace kivo
