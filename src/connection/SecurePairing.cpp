// SPDX-License-Identifier: Apache-2.0
#include "connection/SecurePairing.h"

#include <sodium.h>

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <memory>

namespace kivo {

namespace {

using Kind = SecurePairingError::Kind;

// Names this protocol and its version inside every derived value, so that a
// later version can never agree on a key with this one.
constexpr char kProtocolLabel[] = "kivo secure pairing 1";
// The draft's associated data: the role of whoever sent the share. The source
// is always CPace's A, whoever speaks first.
constexpr char kSourceData[] = "source";
constexpr char kDestinationData[] = "destination";
constexpr char kSourceConfirms[] = "source confirms";
constexpr char kDestinationConfirms[] = "destination confirms";
constexpr char kConfirmationKeyInfo[] = "confirmation key";
constexpr char kSessionKeyInfo[] = "session key";
constexpr char kSessionIDInfo[] = "session id";

template <std::size_t N>
cpace::Bytes text(const char (&literal)[N])
{
    return {reinterpret_cast<const unsigned char*>(literal), N - 1};
}

cpace::Bytes bytesOf(const QByteArray& data)
{
    return {reinterpret_cast<const unsigned char*>(data.constData()), static_cast<std::size_t>(data.size())};
}

// Zeroes a secret on every path out of a scope.
template <typename Buffer>
struct Wiped {
    Buffer value{};
    ~Wiped() { sodium_memzero(value.data(), value.size()); }
};

void hkdfSha256(cpace::Bytes inputKey, cpace::Bytes info, std::span<unsigned char> out)
{
    std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr), EVP_KDF_free);
    std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)> ctx(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr,
                                                                  EVP_KDF_CTX_free);
    if (!ctx)
        throw SecurePairingError(Kind::cryptoUnavailable);
    char digest[] = "SHA256";
    const cpace::Bytes salt = text(kProtocolLabel);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<unsigned char*>(inputKey.data()), inputKey.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<unsigned char*>(salt.data()), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<unsigned char*>(info.data()), info.size()),
        OSSL_PARAM_construct_end(),
    };
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1)
        throw SecurePairingError(Kind::cryptoUnavailable);
}

// HMAC-SHA-256 over the role's label and the whole transcript.
void confirmationTag(std::span<const unsigned char, crypto_auth_hmacsha256_KEYBYTES> key, cpace::Bytes roleLabel,
                     cpace::Bytes transcript, std::span<unsigned char, crypto_auth_hmacsha256_BYTES> tag)
{
    std::vector<unsigned char> label;
    cpace::appendLengthValue(label, roleLabel);
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.data(), key.size());
    crypto_auth_hmacsha256_update(&state, label.data(), label.size());
    crypto_auth_hmacsha256_update(&state, transcript.data(), transcript.size());
    crypto_auth_hmacsha256_final(&state, tag.data());
    sodium_memzero(&state, sizeof state);
}

} // namespace

static_assert(SecurePairing::kConfirmationBytes == crypto_auth_hmacsha256_BYTES);
static_assert(SecurePairing::kChannelBindingBytes == crypto_hash_sha256_BYTES);

SecurePairing::SecurePairing(DeviceRole role, const QString& code, const QByteArray& channelBinding) : m_role(role)
{
    if (!cpace::initialise())
        throw SecurePairingError(Kind::cryptoUnavailable);
    if (code.size() != kCodeLength)
        throw SecurePairingError(Kind::invalidCode);
    for (qsizetype i = 0; i < kCodeLength; ++i) {
        const char16_t c = code.at(i).unicode();
        if (c < u'0' || c > u'9') {
            wipe();
            throw SecurePairingError(Kind::invalidCode);
        }
        m_code[std::size_t(i)] = static_cast<unsigned char>(c);
    }
    m_codeLength = std::size_t(kCodeLength);
    takeChannelBinding(channelBinding);
    randombytes_buf(m_nonce.data(), m_nonce.size());
}

SecurePairing::SecurePairing(DeviceRole role, const SharedSecret& secret, const QByteArray& channelBinding) : m_role(role)
{
    static_assert(sizeof m_code == crypto_hash_sha512_BYTES);
    if (!cpace::initialise())
        throw SecurePairingError(Kind::cryptoUnavailable);
    if (secret.text.size() < kMinimumSecretLength)
        throw SecurePairingError(Kind::invalidCode);
    QByteArray bytes = secret.text.toUtf8();
    crypto_hash_sha512(m_code.data(), reinterpret_cast<const unsigned char*>(bytes.constData()), std::size_t(bytes.size()));
    sodium_memzero(bytes.data(), std::size_t(bytes.size()));
    m_codeLength = m_code.size();
    takeChannelBinding(channelBinding);
    randombytes_buf(m_nonce.data(), m_nonce.size());
}

void SecurePairing::takeChannelBinding(const QByteArray& channelBinding)
{
    if (channelBinding.size() != kChannelBindingBytes) {
        wipe();
        throw SecurePairingError(Kind::invalidChannelBinding);
    }
    std::copy(channelBinding.cbegin(), channelBinding.cend(), m_binding.begin());
}

QByteArray SecurePairing::nonce() const
{
    return QByteArray(reinterpret_cast<const char*>(m_nonce.data()), kNonceBytes);
}

SecurePairing::~SecurePairing()
{
    wipe();
}

QByteArray SecurePairing::channelBinding(const QByteArray& sourceCertificateDer,
                                         const QByteArray& destinationCertificateDer)
{
    if (sourceCertificateDer.isEmpty() || destinationCertificateDer.isEmpty())
        throw SecurePairingError(Kind::invalidChannelBinding);
    if (!cpace::initialise())
        throw SecurePairingError(Kind::cryptoUnavailable);
    std::vector<unsigned char> pair;
    cpace::appendLengthValue(pair, bytesOf(sourceCertificateDer));
    cpace::appendLengthValue(pair, bytesOf(destinationCertificateDer));
    QByteArray digest(kChannelBindingBytes, '\0');
    crypto_hash_sha256(reinterpret_cast<unsigned char*>(digest.data()), pair.data(), pair.size());
    return digest;
}

QByteArray SecurePairing::start()
{
    requireState(State::created);
    // The channel is the certificate pair; fresh identities on every start make
    // it this session's identifier as well.
    std::vector<unsigned char> channel;
    cpace::appendLengthValue(channel, text(kProtocolLabel));
    cpace::appendLengthValue(channel, m_binding);

    Wiped<std::array<unsigned char, cpace::kPointBytes>> generator;
    cpace::calculateGenerator(cpace::Bytes(m_code.data(), m_codeLength), channel, m_binding, generator.value);
    sodium_memzero(m_code.data(), m_code.size());
    cpace::sampleScalar(m_scalar);
    if (!cpace::scalarMultVfy(m_scalar, generator.value, m_ourShare))
        fail(Kind::cryptoUnavailable); // a generator is never the neutral element
    m_state = State::shareSent;
    return QByteArray(reinterpret_cast<const char*>(m_ourShare.data()), kShareBytes);
}

QByteArray SecurePairing::receivePeerShare(const QByteArray& peerShare, const QByteArray& peerNonce)
{
    requireState(State::shareSent);
    if (peerShare.size() != kShareBytes || peerNonce.size() != kNonceBytes)
        fail(Kind::malformedShare);
    if (sodium_memcmp(peerNonce.constData(), m_nonce.data(), m_nonce.size()) == 0)
        fail(Kind::reflectedShare);
    const cpace::Bytes peer = bytesOf(peerShare);
    const auto peerPoint = peer.first<cpace::kPointBytes>();
    if (sodium_is_zero(peer.data(), peer.size()))
        fail(Kind::identityShare);
    if (sodium_memcmp(peer.data(), m_ourShare.data(), m_ourShare.size()) == 0)
        fail(Kind::reflectedShare);
    if (crypto_core_ristretto255_is_valid_point(peer.data()) != 1)
        fail(Kind::malformedShare);

    Wiped<std::array<unsigned char, cpace::kPointBytes>> k;
    if (!cpace::scalarMultVfy(m_scalar, peerPoint, k.value))
        fail(Kind::identityShare);
    sodium_memzero(m_scalar.data(), m_scalar.size());

    const bool source = m_role == DeviceRole::source;
    const cpace::Bytes ours(m_ourShare);
    const std::vector<unsigned char> transcript = source
        ? cpace::transcript(ours, text(kSourceData), peer, text(kDestinationData))
        : cpace::transcript(peer, text(kSourceData), ours, text(kDestinationData));

    // The session identifier: the certificate pair and both sides' nonces, the source's first.
    std::vector<unsigned char> sid;
    cpace::appendLengthValue(sid, m_binding);
    cpace::appendLengthValue(sid, source ? cpace::Bytes(m_nonce) : bytesOf(peerNonce));
    cpace::appendLengthValue(sid, source ? bytesOf(peerNonce) : cpace::Bytes(m_nonce));
    Wiped<std::array<unsigned char, cpace::kIskBytes>> isk;
    cpace::intermediateSessionKey(sid, k.value, transcript, isk.value);
    Wiped<std::array<unsigned char, crypto_auth_hmacsha256_KEYBYTES>> confirmationKey;
    try {
        hkdfSha256(isk.value, text(kConfirmationKeyInfo), confirmationKey.value);
        hkdfSha256(isk.value, text(kSessionKeyInfo), m_sessionKey);
        hkdfSha256(isk.value, text(kSessionIDInfo), m_sessionID);
    } catch (const SecurePairingError& e) {
        fail(e.kind());
    }

    QByteArray ourConfirmation(kConfirmationBytes, '\0');
    auto ourTag = std::span<unsigned char, kConfirmationBytes>(
        reinterpret_cast<unsigned char*>(ourConfirmation.data()), kConfirmationBytes);
    confirmationTag(confirmationKey.value, source ? text(kSourceConfirms) : text(kDestinationConfirms), transcript,
                    ourTag);
    confirmationTag(confirmationKey.value, source ? text(kDestinationConfirms) : text(kSourceConfirms), transcript,
                    m_expectedPeerConfirmation);
    m_state = State::awaitingConfirmation;
    return ourConfirmation;
}

void SecurePairing::receivePeerConfirmation(const QByteArray& peerConfirmation)
{
    requireState(State::awaitingConfirmation);
    if (peerConfirmation.size() != kConfirmationBytes)
        fail(Kind::malformedConfirmation);
    if (sodium_memcmp(peerConfirmation.constData(), m_expectedPeerConfirmation.data(), kConfirmationBytes) != 0)
        fail(Kind::confirmationMismatch);
    sodium_memzero(m_expectedPeerConfirmation.data(), m_expectedPeerConfirmation.size());
    m_state = State::confirmed;
}

std::optional<QByteArray> SecurePairing::sessionKey() const
{
    if (m_state != State::confirmed)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(m_sessionKey.data()), kSessionKeyBytes);
}

std::optional<QByteArray> SecurePairing::sessionID() const
{
    if (m_state != State::confirmed)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char*>(m_sessionID.data()), kSessionIDBytes);
}

void SecurePairing::fail(SecurePairingError::Kind kind)
{
    wipe();
    m_state = State::failed;
    throw SecurePairingError(kind);
}

void SecurePairing::requireState(State expected)
{
    if (m_state != expected)
        fail(Kind::unexpectedMessage);
}

void SecurePairing::wipe()
{
    sodium_memzero(m_code.data(), m_code.size());
    sodium_memzero(m_scalar.data(), m_scalar.size());
    sodium_memzero(m_expectedPeerConfirmation.data(), m_expectedPeerConfirmation.size());
    sodium_memzero(m_sessionKey.data(), m_sessionKey.size());
    sodium_memzero(m_sessionID.data(), m_sessionID.size());
}

QString toString(SecurePairing::State state)
{
    using S = SecurePairing::State;
    switch (state) {
    case S::created: return QStringLiteral("created");
    case S::shareSent: return QStringLiteral("shareSent");
    case S::awaitingConfirmation: return QStringLiteral("awaitingConfirmation");
    case S::confirmed: return QStringLiteral("confirmed");
    case S::failed: return QStringLiteral("failed");
    }
    return {};
}

} // namespace kivo
