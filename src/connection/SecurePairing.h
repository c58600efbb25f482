// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "connection/SecurePairingCPace.h"
#include "connection/SecurePairingError.h"
#include "transfer/DeviceRole.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

namespace kivo {

// One side of one pairing attempt: a password-authenticated key exchange keyed
// by the six-digit code (CPace over ristretto255), bound to the certificate
// pair both sides pinned, then a confirmation in each direction. The code
// never crosses the wire, and a machine in the middle, which must show other
// certificates on each leg, ends up with keys that match neither end.
//
//   start(), nonce()           -> our share and nonce, sent to the peer
//   receivePeerShare(share, n) -> our confirmation, sent once it is our turn
//   receivePeerConfirmation(c) -> returns only if the peer proved the same code
//   sessionKey(), sessionID()  -> the transfer's key and name, the same on both ends
//
// Each side adds a fresh nonce to the session identifier the keys derive from,
// so two attempts between the same two certificates never share a transcript
// and nothing recorded from one is of use in another.
//
// The destination sends its confirmation first; the source sends its own only
// after the destination's has verified. The other side's confirmation tells a
// guesser whether its one guess was right, so an impostor must first spend a
// confirmation of its own, which the source sees fail and counts.
//
// Every step checks its input and the order of the steps; any failure throws
// SecurePairingError, wipes the secrets and ends the attempt for good. A new
// attempt is a new object.
class SecurePairing {
public:
    static constexpr qsizetype kShareBytes = qsizetype(cpace::kPointBytes);
    static constexpr qsizetype kConfirmationBytes = 32;
    static constexpr qsizetype kSessionKeyBytes = 32;
    static constexpr qsizetype kChannelBindingBytes = 32;
    static constexpr qsizetype kNonceBytes = 32;
    static constexpr qsizetype kSessionIDBytes = 16;
    static constexpr qsizetype kCodeLength = 6;

    enum class State { created, shareSent, awaitingConfirmation, confirmed, failed };

    // A long secret both ends were given in advance, standing in for the code
    // where no person reads one off a screen.
    struct SharedSecret {
        QString text;
    };
    static constexpr qsizetype kMinimumSecretLength = 16;

    // Throws invalidCode, invalidChannelBinding or cryptoUnavailable.
    SecurePairing(DeviceRole role, const QString& code, const QByteArray& channelBinding);
    // Keyed by the secret's SHA-512 (never the same length as a code). Throws
    // invalidCode for a secret shorter than kMinimumSecretLength.
    SecurePairing(DeviceRole role, const SharedSecret& secret, const QByteArray& channelBinding);
    ~SecurePairing();
    SecurePairing(const SecurePairing&) = delete;
    SecurePairing& operator=(const SecurePairing&) = delete;

    // SHA-256 over both certificates' DER, the source's first, each with its
    // length so that no other pair hashes the same. Throws invalidChannelBinding
    // for a missing certificate.
    static QByteArray channelBinding(const QByteArray& sourceCertificateDer, const QByteArray& destinationCertificateDer);

    QByteArray start();
    // This attempt's own fresh value, drawn when the object is made.
    QByteArray nonce() const;
    QByteArray receivePeerShare(const QByteArray& peerShare, const QByteArray& peerNonce);
    void receivePeerConfirmation(const QByteArray& peerConfirmation);
    // Present once the peer's confirmation has verified.
    std::optional<QByteArray> sessionKey() const;
    std::optional<QByteArray> sessionID() const;

    DeviceRole role() const { return m_role; }
    State state() const { return m_state; }

private:
    [[noreturn]] void fail(SecurePairingError::Kind kind);
    void requireState(State expected);
    void wipe();

    DeviceRole m_role;
    State m_state = State::created;
    void takeChannelBinding(const QByteArray& channelBinding);

    // The password: the code's digits, or a secret's digest.
    std::array<unsigned char, 64> m_code{};
    std::size_t m_codeLength = 0;
    std::array<unsigned char, kChannelBindingBytes> m_binding{};
    std::array<unsigned char, cpace::kScalarBytes> m_scalar{};
    std::array<unsigned char, kShareBytes> m_ourShare{};
    std::array<unsigned char, kConfirmationBytes> m_expectedPeerConfirmation{};
    std::array<unsigned char, kSessionKeyBytes> m_sessionKey{};
    std::array<unsigned char, kNonceBytes> m_nonce{};
    std::array<unsigned char, kSessionIDBytes> m_sessionID{};
};

QString toString(SecurePairing::State state);

} // namespace kivo
