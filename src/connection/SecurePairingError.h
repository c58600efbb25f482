// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"

namespace kivo {

// Why a secure pairing exchange stopped. Every case ends the exchange: the
// state object wipes its secrets and answers nothing more.
class SecurePairingError : public Error {
public:
    enum class Kind {
        invalidCode,           // the local code is not six digits
        invalidChannelBinding, // no certificate pair to bind to
        cryptoUnavailable,     // the crypto library could not start or failed
        malformedShare,        // wrong length or not a group element
        identityShare,         // the neutral element, which would fix the shared secret
        reflectedShare,        // our own share sent back
        replayedShare,         // a share or nonce this code has already seen
        malformedConfirmation, // wrong length
        confirmationMismatch,  // a different code, or a different channel on the other end
        unexpectedMessage,     // a message out of order, or after the exchange ended
    };

    explicit SecurePairingError(Kind kind) : m_kind(kind) {}

    Kind kind() const { return m_kind; }
    QString description() const override;
    bool operator==(const SecurePairingError& other) const { return m_kind == other.m_kind; }

private:
    Kind m_kind;
};

QString toString(SecurePairingError::Kind kind);

} // namespace kivo
