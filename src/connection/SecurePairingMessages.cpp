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
    return {{QStringLiteral("confirmation"), QString::fromLatin1(confirmation.toBase64())}};
}

PairingConfirmation PairingConfirmation::fromJson(const QJsonObject& o)
{
    return {requireBytes(o, "confirmation", SecurePairing::kConfirmationBytes)};
}

} // namespace kivo
