#include "transfer/MessageHeader.h"

#include "platform/Json.h"

#include <QJsonArray>
#include <array>

namespace kivo {

namespace {

constexpr std::array<const char*, 19> kTypeNames = {
    "pairingConfirm",   "manifest",          "manifestAck",
    "chunkData",        "chunkAck",          "chunkNack",
    "fileComplete",     "fileAck",           "fileSkip",
    "categoryStart",    "categoryComplete",  "verificationRequest",
    "verificationResponse", "transferComplete", "error",
    "pause",            "resume",            "preFlightConflictRequest",
    "preFlightConflictResponse",
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

QJsonObject MessageHeader::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("type"), toString(type));
    o.insert(QStringLiteral("transferID"), transferID);
    o.insert(QStringLiteral("sequenceNumber"), static_cast<double>(sequenceNumber));
    json::put(o, "filePath", filePath);
    json::put(o, "chunkIndex", chunkIndex);
    json::put(o, "totalChunks", totalChunks);
    json::put(o, "chunkHash", chunkHash);
    json::put(o, "payloadSize", payloadSize);
    if (fileHashes) {
        QJsonArray a;
        for (const FileVerification& f : *fileHashes)
            a.append(f.toJson());
        o.insert(QStringLiteral("fileHashes"), a);
    }
    json::put(o, "errorCode", errorCode);
    json::put(o, "errorMessage", errorMessage);
    json::putBase64(o, "manifestData", manifestData);
    json::putBase64(o, "resumeState", resumeState);
    return o;
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
    if (o.contains(QLatin1String("fileHashes"))) {
        QList<FileVerification> list;
        for (const QJsonValue& v : json::requireArray(o, "fileHashes")) {
            if (!v.isObject())
                throw DecodingError(QStringLiteral("Invalid JSON: fileHashes holds a non-object"));
            list.append(FileVerification::fromJson(v.toObject()));
        }
        h.fileHashes = list;
    }
    h.errorCode = json::optionalString(o, "errorCode");
    h.errorMessage = json::optionalString(o, "errorMessage");
    h.manifestData = json::optionalBase64(o, "manifestData");
    h.resumeState = json::optionalBase64(o, "resumeState");
    return h;
}

} // namespace kivo
