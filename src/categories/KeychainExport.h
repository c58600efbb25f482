// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/SecretService.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace kivo::keychain {

// An export larger than this is refused unread.
inline constexpr std::int64_t kMaxExportBytes = 64 * 1024 * 1024;
inline constexpr int kKeyBytes = 32;
inline constexpr int kNonceBytes = 12;
inline constexpr int kTagBytes = 16;

// AES-256-GCM in combined form: nonce, ciphertext, tag. The key is the paired
// connection's; a fresh random nonce every time.
QByteArray seal(const QByteArray& plaintext, const QByteArray& key);
// Throws SystemError when the box is malformed or does not authenticate.
QByteArray open(const QByteArray& sealed, const QByteArray& key);

// The plaintext: a JSON array with one object per item, the item's attributes
// verbatim plus the control keys "_kivo_class", "_kivo_label", "_kivo_secret"
// (Base64) and "_kivo_contentType".
QByteArray encodeItems(const QList<secrets::Item>& items);
// Throws DecodingError on text that is no JSON, and TransferError's
// encodingError "Invalid keychain export format" on JSON that is no array of
// objects. Empty objects are dropped.
QList<secrets::Item> decodeItems(const QByteArray& json);

} // namespace kivo::keychain
