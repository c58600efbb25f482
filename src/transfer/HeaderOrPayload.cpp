// SPDX-License-Identifier: Apache-2.0
#include "transfer/HeaderOrPayload.h"

#include "platform/Error.h"
#include "transfer/WireFormat.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace kivo {

namespace {

// Room left for the header's other fields.
constexpr qint64 kHeaderReserve = 1024;

bool fitsInHeader(qint64 fieldBytes) { return fieldBytes + kHeaderReserve <= WireFormat::kMaxHeaderLength; }

std::optional<QByteArray> asPayload(MessageHeader& header, QByteArray body)
{
    header.payloadSize = static_cast<std::uint32_t>(body.size());
    return body;
}

} // namespace

std::optional<QByteArray> placeDocument(MessageHeader& header, DocumentField field, QByteArray document)
{
    // Base64 grows the document by a third.
    if (fitsInHeader((document.size() + 2) / 3 * 4)) {
        header.*field = std::move(document);
        return std::nullopt;
    }
    return asPayload(header, std::move(document));
}

std::optional<QByteArray> documentOf(const Message& message, DocumentField field)
{
    const std::optional<QByteArray>& inHeader = message.header.*field;
    return inHeader ? inHeader : message.payload;
}

std::optional<QByteArray> placeHashes(MessageHeader& header, QList<FileVerification> hashes)
{
    qint64 estimate = 0;
    for (const FileVerification& v : std::as_const(hashes))
        estimate += v.filePath.size() * 2 + 120;
    if (fitsInHeader(estimate)) {
        header.fileHashes = std::move(hashes);
        return std::nullopt;
    }
    return asPayload(header, encodeFileHashes(hashes));
}

std::optional<QList<FileVerification>> hashesOf(const Message& message)
{
    if (message.header.fileHashes)
        return message.header.fileHashes;
    if (!message.payload)
        return std::nullopt;
    const QJsonDocument doc = QJsonDocument::fromJson(*message.payload);
    if (!doc.isArray())
        return std::nullopt;
    QList<FileVerification> out;
    try {
        for (const QJsonValue& v : doc.array())
            out.append(FileVerification::fromJson(v.toObject()));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
    return out;
}

} // namespace kivo
