// SPDX-License-Identifier: Apache-2.0
#include "connection/SecurePairingError.h"

namespace kivo {

QString SecurePairingError::description() const
{
    switch (m_kind) {
    case Kind::invalidCode: return QStringLiteral("The pairing code must be six digits.");
    case Kind::invalidChannelBinding: return QStringLiteral("The secure connection has no certificates to pair over.");
    case Kind::cryptoUnavailable: return QStringLiteral("The cryptography library is not available.");
    case Kind::malformedShare: return QStringLiteral("The other Mac sent a malformed pairing key.");
    case Kind::identityShare: return QStringLiteral("The other Mac sent an invalid pairing key.");
    case Kind::reflectedShare: return QStringLiteral("The other Mac sent back this Mac's own pairing key.");
    case Kind::replayedShare: return QStringLiteral("The other Mac sent a pairing key from an earlier attempt.");
    case Kind::malformedConfirmation: return QStringLiteral("The other Mac sent a malformed pairing confirmation.");
    case Kind::confirmationMismatch: return QStringLiteral("The pairing codes did not match. Please try again.");
    case Kind::unexpectedMessage: return QStringLiteral("A pairing message arrived out of order.");
    }
    return {};
}

QString toString(SecurePairingError::Kind kind)
{
    using K = SecurePairingError::Kind;
    switch (kind) {
    case K::invalidCode: return QStringLiteral("invalidCode");
    case K::invalidChannelBinding: return QStringLiteral("invalidChannelBinding");
    case K::cryptoUnavailable: return QStringLiteral("cryptoUnavailable");
    case K::malformedShare: return QStringLiteral("malformedShare");
    case K::identityShare: return QStringLiteral("identityShare");
    case K::reflectedShare: return QStringLiteral("reflectedShare");
    case K::replayedShare: return QStringLiteral("replayedShare");
    case K::malformedConfirmation: return QStringLiteral("malformedConfirmation");
    case K::confirmationMismatch: return QStringLiteral("confirmationMismatch");
    case K::unexpectedMessage: return QStringLiteral("unexpectedMessage");
    }
    return {};
}

} // namespace kivo
