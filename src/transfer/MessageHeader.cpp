#include "transfer/MessageHeader.h"

#include "platform/Json.h"

#include <QJsonArray>
#include <array>

namespace kivo {

namespace {

constexpr std::array<const char*, 21> kTypeNames = {
    "pairingConfirm",   "manifest",          "manifestAck",
    "chunkData",        "chunkAck",          "chunkNack",
    "fileComplete",     "fileAck",           "fileSkip",
    "categoryStart",    "categoryComplete",  "verificationRequest",
    "verificationResponse", "transferComplete", "error",
    "pause",            "resume",            "preFlightConflictRequest",
    "preFlightConflictResponse", "pairingRequest", "pairingResponse",
};

} // namespace

QString toString(MessageType type) { return QString::fromLatin1(kTypeNames[static_cast<size_t>(type)]); }

std::optional<MessageType> messageTypeFromString(const QString& text)
{
    for (size_t i = 0; i < kTypeNames.size(); ++i) {
        if (text == QLatin1String(kTypeNames[i]))
            return static_cast<MessageType>(i);
    }
    return std::nullopt;
}

QJsonObject FileVerification::toJson() const
{
    return QJsonObject{{QStringLiteral("filePath"), filePath},
                       {QStringLiteral("sha256Hash"), sha256Hash},
                       {QStringLiteral("size"), static_cast<double>(size)}};
}

FileVerification FileVerification::fromJson(const QJsonObject& o)
{
    return {json::requireString(o, "filePath"), json::requireString(o, "sha256Hash"), json::requireUInt64(o, "size")};
}

QByteArray encodeFileHashes(const QList<FileVerification>& hashes)
{
    QByteArray array = "[";
    for (const FileVerification& f : hashes) {
        if (array.size() > 1)
            array.append(',');
        array.append(
            json::ObjectWriter().add("filePath", f.filePath).add("sha256Hash", f.sha256Hash).add("size", f.size).finish());
    }
    array.append(']');
    return array;
}

QByteArray MessageHeader::encoded() const
{
    json::ObjectWriter w;
    w.add("type", toString(type)).add("transferID", transferID).add("sequenceNumber", sequenceNumber);
    w.add("filePath", filePath).add("chunkIndex", chunkIndex).add("totalChunks", totalChunks);
    w.add("chunkHash", chunkHash).add("payloadSize", payloadSize);
    if (fileHashes)
        w.addJson("fileHashes", encodeFileHashes(*fileHashes));
    w.add("errorCode", errorCode).add("errorMessage", errorMessage);
    if (manifestData)
        w.add("manifestData", QString::fromLatin1(manifestData->toBase64()));
    if (resumeState)
        w.add("resumeState", QString::fromLatin1(resumeState->toBase64()));
    w.add("holeSize", holeSize);
    w.add("maxInFlight", maxInFlight).add("maxInFlightBytes", maxInFlightBytes);
    w.add("hashBatches", hashBatches).add("hashesRemaining", hashesRemaining);
    return w.finish();
}

MessageHeader MessageHeader::fromJson(const QJsonObject& o)
{
    MessageHeader h;
    const QString typeName = json::requireString(o, "type");
    const auto type = messageTypeFromString(typeName);
    if (!type)
        throw DecodingError(QStringLiteral("Invalid JSON: unknown message type \"%1\"").arg(typeName));
    h.type = *type;
    h.transferID = json::requireString(o, "transferID");
    h.sequenceNumber = json::requireUInt64(o, "sequenceNumber");
    h.filePath = json::optionalString(o, "filePath");
    h.chunkIndex = json::optionalUInt32(o, "chunkIndex");
    h.totalChunks = json::optionalUInt32(o, "totalChunks");
    h.chunkHash = json::optionalString(o, "chunkHash");
    h.payloadSize = json::optionalUInt32(o, "payloadSize");
    if (o.contains(QLatin1String("fileHashes")))
        h.fileHashes = json::requireRecords<FileVerification>(o, "fileHashes");
    h.errorCode = json::optionalString(o, "errorCode");
    h.errorMessage = json::optionalString(o, "errorMessage");
    h.manifestData = json::optionalBase64(o, "manifestData");
    h.resumeState = json::optionalBase64(o, "resumeState");
    h.holeSize = json::optionalUInt32(o, "holeSize");
    h.maxInFlight = json::optionalUInt32(o, "maxInFlight");
    h.maxInFlightBytes = json::optionalUInt32(o, "maxInFlightBytes");
    h.hashBatches = json::optionalUInt32(o, "hashBatches");
    h.hashesRemaining = json::optionalUInt64(o, "hashesRemaining");
    return h;
}

} // namespace kivo
