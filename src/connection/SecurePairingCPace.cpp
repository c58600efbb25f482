// SPDX-License-Identifier: Apache-2.0
#include "connection/SecurePairingCPace.h"

#include <sodium.h>

#include <algorithm>

namespace kivo::cpace {

namespace {

constexpr unsigned char kDsi[] = {'C', 'P', 'a', 'c', 'e', 'R', 'i', 's', 't', 'r', 'e', 't', 't', 'o', '2', '5', '5'};
constexpr unsigned char kIskSuffix[] = {'_', 'I', 'S', 'K'};
// SHA-512's input block: the padding fills it so that the block holding the
// password is hashed the same way whatever the password's length.
constexpr std::size_t kHashBlockBytes = 128;

std::size_t lengthPrefix(std::size_t length, unsigned char (&out)[10])
{
    std::size_t n = 0;
    do {
        unsigned char byte = length & 0x7f;
        length >>= 7;
        if (length != 0)
            byte |= 0x80;
        out[n++] = byte;
    } while (length != 0);
    return n;
}

void hashLengthValue(crypto_hash_sha512_state& state, Bytes data)
{
    unsigned char prefix[10];
    crypto_hash_sha512_update(&state, prefix, lengthPrefix(data.size(), prefix));
    crypto_hash_sha512_update(&state, data.data(), data.size());
}

std::size_t prefixedSize(std::size_t length)
{
    unsigned char prefix[10];
    return lengthPrefix(length, prefix) + length;
}

} // namespace

bool initialise()
{
    return sodium_init() >= 0;
}

void appendLengthValue(std::vector<unsigned char>& out, Bytes data)
{
    unsigned char prefix[10];
    out.insert(out.end(), prefix, prefix + lengthPrefix(data.size(), prefix));
    out.insert(out.end(), data.begin(), data.end());
}

void calculateGenerator(Bytes prs, Bytes ci, Bytes sid, PointOut generator)
{
    const std::size_t used = prefixedSize(prs.size()) + prefixedSize(sizeof kDsi) + 1;
    const std::size_t padding = kHashBlockBytes > used ? kHashBlockBytes - used : 0;
    static constexpr unsigned char kZeros[kHashBlockBytes] = {};

    // Hashed piece by piece, so the password never sits in a buffer of ours.
    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    hashLengthValue(state, kDsi);
    hashLengthValue(state, prs);
    hashLengthValue(state, Bytes(kZeros, padding));
    hashLengthValue(state, ci);
    hashLengthValue(state, sid);
    unsigned char digest[crypto_core_ristretto255_HASHBYTES];
    crypto_hash_sha512_final(&state, digest);
    crypto_core_ristretto255_from_hash(generator.data(), digest);
    sodium_memzero(digest, sizeof digest);
    sodium_memzero(&state, sizeof state);
}

void sampleScalar(std::span<unsigned char, kScalarBytes> scalar)
{
    crypto_core_ristretto255_scalar_random(scalar.data());
}

bool scalarMultVfy(ScalarIn scalar, PointIn point, PointOut out)
{
    // libsodium refuses non-canonical encodings and a neutral result itself;
    // the explicit checks keep that promise visible and independent of it.
    if (sodium_is_zero(point.data(), point.size()) || crypto_core_ristretto255_is_valid_point(point.data()) != 1
        || crypto_scalarmult_ristretto255(out.data(), scalar.data(), point.data()) != 0
        || sodium_is_zero(out.data(), out.size())) {
        sodium_memzero(out.data(), out.size());
        return false;
    }
    return true;
}

std::vector<unsigned char> transcript(Bytes ya, Bytes ada, Bytes yb, Bytes adb)
{
    std::vector<unsigned char> out;
    out.reserve(prefixedSize(ya.size()) + prefixedSize(ada.size()) + prefixedSize(yb.size()) + prefixedSize(adb.size()));
    appendLengthValue(out, ya);
    appendLengthValue(out, ada);
    appendLengthValue(out, yb);
    appendLengthValue(out, adb);
    return out;
}

void intermediateSessionKey(Bytes sid, PointIn k, Bytes transcript, std::span<unsigned char, kIskBytes> isk)
{
    unsigned char dsiIsk[sizeof kDsi + sizeof kIskSuffix];
    std::copy(std::begin(kDsi), std::end(kDsi), dsiIsk);
    std::copy(std::begin(kIskSuffix), std::end(kIskSuffix), dsiIsk + sizeof kDsi);

    crypto_hash_sha512_state state;
    crypto_hash_sha512_init(&state);
    hashLengthValue(state, dsiIsk);
    hashLengthValue(state, sid);
    hashLengthValue(state, k);
    crypto_hash_sha512_update(&state, transcript.data(), transcript.size());
    crypto_hash_sha512_final(&state, isk.data());
    sodium_memzero(&state, sizeof state);
}

} // namespace kivo::cpace
