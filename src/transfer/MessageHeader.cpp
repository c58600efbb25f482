// SPDX-License-Identifier: Apache-2.0
#include "transfer/MessageHeader.h"

#include "platform/Json.h"

#include <QJsonArray>

#include <algorithm>
#include <array>

namespace kivo {

namespace {

constexpr std::array<const char*, 23> kTypeNames = {
    "pairingConfirm",   "manifest",          "manifestAck",
    "chunkData",        "chunkAck",          "chunkNack",
    "fileComplete",     "fileAck",           "fileSkip",
    "categoryStart",    "categoryComplete",  "verificationRequest",
    "verificationResponse", "transferComplete", "error",
    "pause",            "resume",            "preFlightConflictRequest",
    "preFlightConflictResponse", "pairingRequest", "pairingResponse",
    "fileBundle",       "fileBundleAck",
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

QJsonObject BundleFailure::toJson() const
{
    QJsonObject o{{QStringLiteral("filePath"), filePath}, {QStringLiteral("errorMessage"), errorMessage}};
    if (skipped)
        o.insert(QStringLiteral("skipped"), true);
    if (failed)
        o.insert(QStringLiteral("failed"), true);
    return o;
}

BundleFailure BundleFailure::fromJson(const QJsonObject& o)
{
    BundleFailure f{json::requireString(o, "filePath"), json::requireString(o, "errorMessage")};
    const auto flag = [&o](const char* name) {
        const QJsonValue v = o.value(QLatin1String(name));
        if (!v.isUndefined() && !v.isBool())
            throw DecodingError(QLatin1String(name) + QStringLiteral(": not a boolean"));
        return v.toBool();
    };
    f.skipped = flag("skipped");
    f.failed = flag("failed");
    return f;
}

namespace {

QByteArray encodeBundleFailures(const QList<BundleFailure>& failures)
{
    QByteArray array = "[";
    for (const BundleFailure& f : failures) {
        if (array.size() > 1)
            array.append(',');
        json::ObjectWriter w;
        w.add("filePath", f.filePath).add("errorMessage", f.errorMessage);
        if (f.skipped)
            w.addJson("skipped", "true");
        if (f.failed)
            w.addJson("failed", "true");
        array.append(w.finish());
    }
    array.append(']');
    return array;
}

} // namespace

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
    w.add("fileHashScheme", fileHashScheme);
    w.add("hardLinks", hardLinks).add("linkTarget", linkTarget);
    w.add("fileBundles", fileBundles);
    if (bundleFailures)
        w.addJson("bundleFailures", encodeBundleFailures(*bundleFailures));
    w.add("spaceNeeded", spaceNeeded).add("spaceAvailable", spaceAvailable);
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
            const auto c = static_cast<unsigned char>(m_text[m_at]);
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
    // A fraction or an exponent is the parser's.
    bool number(std::uint64_t& out)
    {
        skipSpace();
        const auto isDigit = [&](qsizetype i) { return i < m_text.size() && m_text[i] >= '0' && m_text[i] <= '9'; };
        const qsizetype from = m_at;
        out = 0;
        for (; isDigit(m_at); ++m_at) {
            if (m_at - from == 16)
                return false;
            out = out * 10 + std::uint64_t(m_text[m_at] - '0');
        }
        const qsizetype digits = m_at - from;
        if (digits == 0 || (digits > 1 && m_text[from] == '0') || out > (std::uint64_t(1) << 53))
            return false;
        return m_at == m_text.size() || (m_text[m_at] != '.' && m_text[m_at] != 'e' && m_text[m_at] != 'E');
    }

private:
    QByteArrayView m_text;
    qsizetype m_at = 0;
};

// One value as read: a string's text, or else a number.
struct FlatValue {
    std::optional<QByteArrayView> text;
    std::uint64_t number = 0;
};
using FlatSetter = bool (*)(MessageHeader&, const FlatValue&);

template <auto member>
bool setString(MessageHeader& h, const FlatValue& v)
{
    if (v.text)
        h.*member = QString::fromLatin1(*v.text);
    return v.text.has_value();
}

template <auto member>
bool setUInt32(MessageHeader& h, const FlatValue& v)
{
    if (v.text || v.number > 0xFFFFFFFFull)
        return false;
    h.*member = std::uint32_t(v.number);
    return true;
}

template <auto member>
bool setUInt64(MessageHeader& h, const FlatValue& v)
{
    if (!v.text)
        h.*member = v.number;
    return !v.text;
}

bool setType(MessageHeader& h, const FlatValue& v)
{
    const auto type = v.text ? messageTypeFromString(QString::fromLatin1(*v.text)) : std::nullopt;
    if (type)
        h.type = *type;
    return type.has_value();
}

// The keys read directly, the three required ones first; any other is the parser's.
constexpr std::array<std::pair<const char*, FlatSetter>, 19> kFlatKeys = {{
    {"type", setType},
    {"transferID", setString<&MessageHeader::transferID>},
    {"sequenceNumber", setUInt64<&MessageHeader::sequenceNumber>},
    {"filePath", setString<&MessageHeader::filePath>},
    {"chunkIndex", setUInt32<&MessageHeader::chunkIndex>},
    {"totalChunks", setUInt32<&MessageHeader::totalChunks>},
    {"chunkHash", setString<&MessageHeader::chunkHash>},
    {"payloadSize", setUInt32<&MessageHeader::payloadSize>},
    {"errorCode", setString<&MessageHeader::errorCode>},
    {"errorMessage", setString<&MessageHeader::errorMessage>},
    {"holeSize", setUInt32<&MessageHeader::holeSize>},
    {"maxInFlight", setUInt32<&MessageHeader::maxInFlight>},
    {"maxInFlightBytes", setUInt32<&MessageHeader::maxInFlightBytes>},
    {"hashBatches", setUInt32<&MessageHeader::hashBatches>},
    {"hashesRemaining", setUInt64<&MessageHeader::hashesRemaining>},
    {"fileHashScheme", setString<&MessageHeader::fileHashScheme>},
    {"hardLinks", setUInt32<&MessageHeader::hardLinks>},
    {"linkTarget", setString<&MessageHeader::linkTarget>},
    {"fileBundles", setUInt32<&MessageHeader::fileBundles>},
}};

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
            const auto known = std::find_if(kFlatKeys.begin(), kFlatKeys.end(), [&](const auto& k) { return name == k.first; });
            const auto key = known - kFlatKeys.begin();
            // A key twice, or one of the parser's: the parser decides.
            if (known == kFlatKeys.end() || (seen & (1u << key)))
                return std::nullopt;
            seen |= 1u << key;
            FlatValue value;
            if (r.peekString()) {
                QByteArrayView text;
                if (!r.string(text))
                    return std::nullopt;
                value.text = text;
            } else if (!r.number(value.number)) {
                return std::nullopt;
            }
            if (!known->second(h, value))
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
    h.fileHashScheme = json::optionalString(o, "fileHashScheme");
    h.hardLinks = json::optionalUInt32(o, "hardLinks");
    h.linkTarget = json::optionalString(o, "linkTarget");
    h.fileBundles = json::optionalUInt32(o, "fileBundles");
    if (o.contains(QLatin1String("bundleFailures")))
        h.bundleFailures = json::requireRecords<BundleFailure>(o, "bundleFailures");
    h.spaceNeeded = json::optionalUInt64(o, "spaceNeeded");
    h.spaceAvailable = json::optionalUInt64(o, "spaceAvailable");
    return h;
}

} // namespace kivo
