// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/CommandRunner.h"
#include "transfer/CategoryTransferHandler.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace kivo::browserSecrets {

// The Secret Service schema under which Chromium-family browsers keep the key
// of their saved passwords and cookies ("Safe Storage"), one item per browser
// told apart by the `application` attribute.
inline constexpr char kSchema[] = "chrome_libsecret_os_crypt_password_v2";
// An export larger than this is refused unread.
inline constexpr qint64 kMaxExportBytes = 1024 * 1024;

struct SafeStorageSecret {
    QString application;
    QByteArray secret;
    bool operator==(const SafeStorageSecret&) const = default;
};

// Values those browsers encrypt with that key start with "v11", then
// AES-128-CBC under PBKDF2-HMAC-SHA1(secret, "saltysalt", 1 round, 16 bytes)
// with an IV of 16 spaces and PKCS#7 padding.
QByteArray v11Key(const QByteArray& secret);
QByteArray encryptV11(const QByteArray& plain, const QByteArray& key);
// The plaintext; nothing when the value is not "v11" or does not open with the key.
std::optional<QByteArray> decryptV11(const QByteArray& value, const QByteArray& key);
// A value for the other key: a v11 value re-encrypted, any other value (v10,
// plain, empty) as it is; nothing when a v11 value does not open.
std::optional<QByteArray> reencrypted(const QByteArray& value, const QByteArray& fromKey, const QByteArray& toKey);

// The export's plaintext: a JSON array of {"application", "secret" (Base64)}.
QByteArray encodeSecrets(const QList<SafeStorageSecret>& secrets);
// Throws SystemError on anything else; application names are checked.
QList<SafeStorageSecret> decodeSecrets(const QByteArray& json);

// The Safe Storage secrets of these applications in the Secret Service the
// client options reach; applications without one are left out.
QList<SafeStorageSecret> gather(const QStringList& applications, const CommandOptions& client);

// The received databases whose values a secret protects, with the table and column.
struct ProtectedColumn {
    const char* table;
    const char* column;
};
// Login Data (logins.password_value) and Cookies (cookies.encrypted_value) by file name.
std::optional<ProtectedColumn> protectedColumnOf(const QString& fileName);

// Puts each arriving secret into the destination account's Secret Service
// (`client`): stored when it has none; when it has a different one, that one
// stays and the v11 values of `databases` (received files of that
// application's browsers, as application → paths) are re-encrypted with it.
// Throws SystemError when no Secret Service answers.
CategoryTransferHandler::ImportCounts arrive(const QList<SafeStorageSecret>& secrets,
                                             const QMap<QString, QStringList>& databases, const CommandOptions& client);

} // namespace kivo::browserSecrets
