// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QMap>
#include <QString>

#include <functional>
#include <optional>

namespace kivo {

// The organisation profile's vault keys, as the vault needs them; empty when unset.
struct VaultSettings {
    QString storageType; // "local", "s3" or empty
    QString bucketName, prefix, region, endpoint;
    QString credentialARN;                 // a role to assume for the keys
    QString accessKeyID, secretAccessKey;  // the store's keys
    QString credentialKeyID, credentialSecret; // the vault's password and which key it opens
    QString principal;                     // the managed user, for the snapshots' tags
};

// Keys for an S3 store; a session token with keys a role handed out.
struct AwsKeys {
    QString accessKeyID;
    QString secretAccessKey;
    QString sessionToken;
    bool operator==(const AwsKeys&) const = default;
};

// The profile's keys, else AWS_ACCESS_KEY_ID/AWS_SECRET_ACCESS_KEY (with
// AWS_SESSION_TOKEN) of `environment`. Half a pair is no pair.
std::optional<AwsKeys> chooseKeys(const VaultSettings& profile, const QMap<QString, QString>& environment);

// Where a vault's password comes from, in the order they are tried.
enum class PasswordSource { passwordFile, environmentFile, profileSecret, secretService, keyBeside };
QString toString(PasswordSource source);

struct PasswordSources {
    std::optional<QString> passwordFile;    // --password-file
    std::optional<QString> environmentFile; // KIVO_VAULT_PASSWORD_FILE
    std::optional<QString> profileSecret;   // kivo.vaultCredentialSecret
    // The item `vault init` saved when the person typed the password; asked only when reached.
    std::function<std::optional<QString>()> secretService;
    std::optional<QString> keyBeside;       // a folder vault's key file
};

struct ChosenPassword {
    PasswordSource source;
    QString password;
};

// The first source that has a password. A file named by the person that cannot
// be read is an error (VaultError missingKey), never a reason to look further.
// Nothing when no source has one.
std::optional<ChosenPassword> choosePassword(const PasswordSources& sources,
                                             const std::function<std::optional<QString>(const QString&)>& readFile);

// The Secret Service item that keeps a typed vault password: found by these attributes.
QMap<QString, QString> secretServiceAttributes(const QString& repository);
// The password `vault init` saved for the repository; nothing when there is none or no service answers.
std::optional<QString> secretServicePassword(const QString& repository);
// Saves a typed password for the repository. Throws VaultError(locked) when the service cannot take it.
void saveSecretServicePassword(const QString& repository, const QString& password);

} // namespace kivo
