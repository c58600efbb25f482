// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

// CPace over ristretto255 with SHA-512 (the CFRG's balanced PAKE), reduced to
// the group and hash steps so that the draft's published test vectors pin
// them. Group arithmetic is libsodium's; nothing here touches field elements.
// Secret inputs and outputs live in caller-owned buffers, which the caller
// wipes; the functions wipe their own temporaries.
namespace kivo::cpace {

constexpr std::size_t kPointBytes = 32;
constexpr std::size_t kScalarBytes = 32;
constexpr std::size_t kIskBytes = 64;

using Bytes = std::span<const unsigned char>;
using PointIn = std::span<const unsigned char, kPointBytes>;
using PointOut = std::span<unsigned char, kPointBytes>;
using ScalarIn = std::span<const unsigned char, kScalarBytes>;

// False when libsodium cannot start; everything below needs it.
[[nodiscard]] bool initialise();

// The LEB128 length of `data`, then `data` (the draft's prepend_len).
void appendLengthValue(std::vector<unsigned char>& out, Bytes data);

// The encoded generator: the hash of lv_cat(DSI, PRS, zero padding, CI, sid)
// mapped into the group.
void calculateGenerator(Bytes prs, Bytes ci, Bytes sid, PointOut generator);

// A uniform scalar in [1, group order).
void sampleScalar(std::span<unsigned char, kScalarBytes> scalar);

// scalar * point. False, with `out` zeroed, when the point is not a canonical
// encoding or the result is the neutral element: the caller must abort.
[[nodiscard]] bool scalarMultVfy(ScalarIn scalar, PointIn point, PointOut out);

// lv_cat(Ya, ADa) || lv_cat(Yb, ADb): A's message first, whoever spoke first.
std::vector<unsigned char> transcript(Bytes ya, Bytes ada, Bytes yb, Bytes adb);

// ISK = SHA-512(lv_cat(DSI || "_ISK", sid, K) || transcript).
void intermediateSessionKey(Bytes sid, PointIn k, Bytes transcript, std::span<unsigned char, kIskBytes> isk);

} // namespace kivo::cpace
