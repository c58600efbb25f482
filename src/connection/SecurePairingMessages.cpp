// SPDX-License-Identifier: Apache-2.0
#include "connection/SecurePairingMessages.h"

#include "connection/SecurePairing.h"
#include "platform/Error.h"
#include "platform/Json.h"

namespace kivo {

namespace {

// Exactly `size` bytes in canonical Base64: padded, no stray characters, no
// second spelling of the same bytes.
QByteArray requireBytes(const QJsonObject& o, const char* key, qsizetype size)
{
    const QByteArray text = json::requireString(o, key).toLatin1();
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.toBase64() != text)
        throw DecodingError(QStringLiteral("Invalid JSON: key \"%1\" is not Base64 text").arg(QLatin1String(key)));
    if (decoded.decoded.size() != size)
        throw DecodingError(QStringLiteral("Invalid JSON: key \"%1\" holds %2 bytes, expected %3")
                                .arg(QLatin1String(key))
                                .arg(decoded.decoded.size())
                                .arg(size));
    return decoded.decoded;
}

// Text shown to the user as it came: no control or formatting characters that
// could rewrite the line it appears on.
QString printable(const QJsonObject& o, const char* key, qsizetype maximum)
{
    const QString text = json::requireString(o, key);
    const QList<uint> codePoints = text.toUcs4();
    const bool clean = std::none_of(codePoints.cbegin(), codePoints.cend(), [](uint c) {
        const auto category = QChar::category(char32_t(c));
        return category == QChar::Other_Control || category == QChar::Other_Format
            || category == QChar::Other_Surrogate || category == QChar::Other_PrivateUse
            || category == QChar::Other_NotAssigned;
    });
    if (text.isEmpty() || text.size() > maximum || !clean)
        throw DecodingError(QStringLiteral("Invalid JSON: key \"%1\" is not a name that can be shown").arg(QLatin1String(key)));
    return text;
}

} // namespace

QJsonObject PairingShare::toJson() const
{
    return {{QStringLiteral("version"), static_cast<double>(version)},
            {QStringLiteral("share"), QString::fromLatin1(share.toBase64())},
            {QStringLiteral("nonce"), QString::fromLatin1(nonce.toBase64())}};
}

PairingShare PairingShare::fromJson(const QJsonObject& o)
{
    PairingShare s;
    s.version = json::requireUInt32(o, "version");
    // Another version derives other keys: going on would only end in a mismatch that hides the cause.
    if (s.version != kCurrentVersion)
        throw DecodingError(QStringLiteral("Unsupported pairing version %1").arg(s.version));
    s.share = requireBytes(o, "share", SecurePairing::kShareBytes);
    s.nonce = requireBytes(o, "nonce", SecurePairing::kNonceBytes);
    return s;
}

QJsonObject PairingConfirmation::toJson() const
{
    QJsonObject o{{QStringLiteral("confirmation"), QString::fromLatin1(confirmation.toBase64())}};
    if (identity)
        o.insert(QStringLiteral("identity"), identity->toJson());
    return o;
}

PairingConfirmation PairingConfirmation::fromJson(const QJsonObject& o)
{
    PairingConfirmation c{requireBytes(o, "confirmation", SecurePairing::kConfirmationBytes), std::nullopt};
    if (o.contains(QStringLiteral("identity"))) {
        if (!o.value(QStringLiteral("identity")).isObject())
            throw DecodingError(QStringLiteral("Invalid JSON: key \"identity\" is not an object"));
        c.identity = PairingIdentity::fromJson(o.value(QStringLiteral("identity")).toObject());
    }
    return c;
}

QJsonObject PairingIdentity::toJson() const
{
    return {{QStringLiteral("hostname"), hostname},
            {QStringLiteral("username"), username},
            {QStringLiteral("architecture"), architecture}};
}

PairingIdentity PairingIdentity::fromJson(const QJsonObject& o)
{
    return {printable(o, "hostname", 255), printable(o, "username", 255), printable(o, "architecture", 64)};
}

} // namespace kivo
