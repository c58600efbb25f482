// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {

// What the pairing messages carry: each side's share of the key exchange, then
// each side's confirmation. Decoding checks every field's type, Base64 form and
// exact length before anything uses it.

// A side's share and nonce, with the version of the exchange it speaks.
struct PairingShare {
    static constexpr std::uint32_t kCurrentVersion = 1;

    std::uint32_t version = kCurrentVersion;
    QByteArray share;
    QByteArray nonce; // the sender's fresh value for this attempt

    QJsonObject toJson() const;
    static PairingShare fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const PairingShare&) const = default;
};

// Who a side is, sent with its confirmation: what the other side shows for it
// (a source reached by address, a destination on the source's screens).
struct PairingIdentity {
    QString hostname;
    QString username;
    QString architecture; // as `uname -m` prints it

    QJsonObject toJson() const;
    // Throws DecodingError for a missing, empty, overlong or unprintable field.
    static PairingIdentity fromJson(const QJsonObject& o);
    bool operator==(const PairingIdentity&) const = default;
};

// A side's proof that it derived the same key.
struct PairingConfirmation {
    QByteArray confirmation;
    std::optional<PairingIdentity> identity; // absent from earlier destinations

    QJsonObject toJson() const;
    static PairingConfirmation fromJson(const QJsonObject& o); // throws DecodingError
    bool operator==(const PairingConfirmation&) const = default;
};

} // namespace kivo
