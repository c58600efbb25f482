// SPDX-License-Identifier: Apache-2.0
#include "vault/VaultLocation.h"

#include "platform/FileSystem.h"
#include "platform/SmallFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

namespace kivo {

QString kivoDataFolder(const QString& home) { return QDir(home).filePath(QStringLiteral(".local/share/kivo")); }

QString defaultVaultFolder(const QString& home) { return QDir(kivoDataFolder(home)).filePath(QStringLiteral("vault")); }

QString keyFileBeside(const QString& vaultFolder) { return QDir::cleanPath(vaultFolder) + QStringLiteral(".key"); }

std::optional<QString> readPasswordFile(const QString& path)
{
    const auto bytes = fs::readRegularFile(path, 4096);
    if (!bytes)
        return std::nullopt;
    const QString password = QString::fromUtf8(*bytes).trimmed();
    if (password.isEmpty())
        return std::nullopt;
    return password;
}

namespace {

QString newKey()
{
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

VaultAccess resolveAccess(const QString& vaultFolder, const PasswordChoice& choice)
{
    VaultAccess access{QDir::cleanPath(QFileInfo(vaultFolder).absoluteFilePath()), {}};
    std::optional<QString> named = choice.passwordFile;
    if (!named && qEnvironmentVariableIsSet("KIVO_VAULT_PASSWORD_FILE"))
        named = qEnvironmentVariable("KIVO_VAULT_PASSWORD_FILE");
    if (named) {
        const auto password = readPasswordFile(*named);
        if (!password)
            throw VaultError(VaultErrorKind::missingKey,
                             QStringLiteral("the password file %1 is missing, unreadable or empty").arg(*named));
        access.password = *password;
        return access;
    }
    const QString keyFile = keyFileBeside(access.repository);
    if (const auto password = readPasswordFile(keyFile)) {
        access.password = *password;
        return access;
    }
    if (!choice.createKey || fs::status(keyFile, fs::Links::dontFollow))
        throw VaultError(VaultErrorKind::missingKey,
                         QStringLiteral("no password for the vault at %1: give --password-file or KIVO_VAULT_PASSWORD_FILE")
                             .arg(access.repository));
    access.password = newKey();
    // Written owner-only, in one step.
    fs::writeFileAtomically(keyFile, (access.password + u'\n').toUtf8());
    return access;
}

} // namespace kivo
