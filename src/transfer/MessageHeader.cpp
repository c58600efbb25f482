#include "transfer/MessageHeader.h"

#include "platform/Json.h"

#include <QJsonArray>

#include <algorithm>
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

namespace {

// Reads the flat subset of JSON `decodeFlat` accepts; false at anything else.
class FlatReader {
public:
    explicit FlatReader(QByteArrayView text) : m_text(text) {}

    void skipSpace()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' || m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_at >= m_text.size() || m_text[m_at] != c)
            return false;
        ++m_at;
        return true;
    }
    bool atEnd()
    {
        skipSpace();
        return m_at == m_text.size();
    }
    bool peekString()
    {
        skipSpace();
        return m_at < m_text.size() && m_text[m_at] == '"';
    }
    // Printable ASCII without quotes or backslashes.
    bool string(QByteArrayView& out)
    {
        if (!take('"'))
            return false;
        const qsizetype from = m_at;
        while (m_at < m_text.size() && m_text[m_at] != '"') {
            const char c = m_text[m_at];
            if (c < 0x20 || c > 0x7e || c == '\\')
                return false;
            ++m_at;
        }
        if (m_at >= m_text.size())
            return false;
        out = m_text.sliced(from, m_at - from);
        ++m_at;
        return true;
    }
    // Digits only, no leading zero, at most 2^53: exactly what a double holds.
    bool number(std::uint64_t& out)
    {
        skipSpace();
        const qsizetype from = m_at;
        out = 0;
        while (m_at < m_text.size() && m_text[m_at] >= '0' && m_text[m_at] <= '9' && m_at - from < 17)
            out = out * 10 + std::uint64_t(m_text[m_at++] - '0');
        const qsizetype digits = m_at - from;
        if (digits == 0 || (digits > 1 && m_text[from] == '0') || out > (std::uint64_t(1) << 53))
            return false;
        return m_at == m_text.size() || (m_text[m_at] != '.' && m_text[m_at] != 'e' && m_text[m_at] != 'E' && (m_text[m_at] < '0' || m_text[m_at] > '9'));
    }

private:
    QByteArrayView m_text;
    qsizetype m_at = 0;
};

constexpr std::array<const char*, 15> kFlatKeys = {
    "type",        "transferID", "sequenceNumber", "filePath",    "chunkIndex",
    "totalChunks", "chunkHash",  "payloadSize",    "errorCode",   "errorMessage",
    "holeSize",    "maxInFlight", "maxInFlightBytes", "hashBatches", "hashesRemaining",
};

// Sets the member `key` names from a string or a number; false for a key not
// in kFlatKeys, a value of the wrong kind or out of range.
bool setFlat(MessageHeader& h, qsizetype key, const QByteArrayView* text, std::uint64_t number)
{
    const auto string = [&](auto& member) {
        if (!text)
            return false;
        member = QString::fromLatin1(*text);
        return true;
    };
    const auto u32 = [&](std::optional<std::uint32_t>& member) {
        if (text || number > 0xFFFFFFFFull)
            return false;
        member = std::uint32_t(number);
        return true;
    };
    switch (key) {
    case 0: {
        const auto type = text ? messageTypeFromString(QString::fromLatin1(*text)) : std::nullopt;
        if (type)
            h.type = *type;
        return type.has_value();
    }
    case 1: return string(h.transferID);
    case 2: h.sequenceNumber = number; return !text;
    case 3: return string(h.filePath);
    case 4: return u32(h.chunkIndex);
    case 5: return u32(h.totalChunks);
    case 6: return string(h.chunkHash);
    case 7: return u32(h.payloadSize);
    case 8: return string(h.errorCode);
    case 9: return string(h.errorMessage);
    case 10: return u32(h.holeSize);
    case 11: return u32(h.maxInFlight);
    case 12: return u32(h.maxInFlightBytes);
    case 13: return u32(h.hashBatches);
    case 14: h.hashesRemaining = number; return !text;
    default: return false;
    }
}

} // namespace

std::optional<MessageHeader> MessageHeader::decodeFlat(QByteArrayView json)
{
    FlatReader r(json);
    MessageHeader h;
    std::uint32_t seen = 0;
    if (!r.take('{'))
        return std::nullopt;
    if (!r.take('}')) {
        do {
            QByteArrayView name;
            if (!r.string(name) || !r.take(':'))
                return std::nullopt;
            const auto known = std::find_if(kFlatKeys.begin(), kFlatKeys.end(), [&](const char* k) { return name == k; });
            const qsizetype key = known - kFlatKeys.begin();
            // A key twice, or one of the parser's: the parser decides.
            if (known == kFlatKeys.end() || (seen & (1u << key)))
                return std::nullopt;
            seen |= 1u << key;
            QByteArrayView text;
            std::uint64_t number = 0;
            const bool isString = r.peekString();
            if (isString ? !r.string(text) : !r.number(number))
                return std::nullopt;
            if (!setFlat(h, key, isString ? &text : nullptr, number))
                return std::nullopt;
        } while (r.take(','));
        if (!r.take('}'))
            return std::nullopt;
    }
    // type, transferID and sequenceNumber are required.
    if (!r.atEnd() || (seen & 7u) != 7u)
        return std::nullopt;
    return h;
}

MessageHeader MessageHeader::decode(QByteArrayView json)
{
    if (std::optional<MessageHeader> flat = decodeFlat(json))
        return std::move(*flat);
    return fromJson(json::parseObject(json.toByteArray()));
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
