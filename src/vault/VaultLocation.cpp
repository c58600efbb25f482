// SPDX-License-Identifier: Apache-2.0
#include "vault/VaultLocation.h"

#include "platform/FileSystem.h"
#include "platform/SmallFiles.h"
#include "vault/AssumeRole.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

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

using namespace Qt::Literals::StringLiterals;

std::optional<VaultLocation> parseVaultLocation(const QString& text, QString* error)
{
    VaultLocation out;
    if (text.startsWith(u"s3:"_s)) {
        out.s3 = parseS3Location(text, error);
        return out.s3 ? std::optional<VaultLocation>(out) : std::nullopt;
    }
    static const QRegularExpression otherScheme(u"^[A-Za-z][A-Za-z0-9+.-]*:"_s);
    if (text.trimmed().isEmpty() || otherScheme.match(text).hasMatch()) {
        if (error)
            *error = u"\"%1\" is neither a folder nor s3:https://HOST[:PORT]/BUCKET[/PREFIX]"_s.arg(text);
        return std::nullopt;
    }
    out.folder = QDir::cleanPath(QFileInfo(text).absoluteFilePath());
    return out;
}

namespace {

VaultLocation chooseWhere(const std::optional<QString>& option, const VaultSettings& profile, const QString& home)
{
    QString error;
    if (option) {
        if (auto where = parseVaultLocation(*option, &error))
            return *where;
        throw VaultError(VaultErrorKind::noVault, error);
    }
    const QString type = profile.storageType.trimmed().toLower();
    if (type == u"s3"_s) {
        VaultLocation out;
        out.s3 = s3LocationFrom(profile.endpoint, profile.bucketName, profile.prefix, profile.region, &error);
        if (!out.s3)
            throw VaultError(VaultErrorKind::noVault, u"the profile's s3 vault cannot be used: %1"_s.arg(error));
        return out;
    }
    if (type == u"local"_s) {
        if (!QDir::isAbsolutePath(profile.prefix))
            throw VaultError(VaultErrorKind::noVault, u"the profile's local vault needs an absolute folder in kivo.vaultPrefix"_s);
        return VaultLocation{QDir::cleanPath(profile.prefix), std::nullopt};
    }
    if (!type.isEmpty())
        throw VaultError(VaultErrorKind::noVault,
                         u"the profile's vault type \"%1\" is not one kivo knows (\"local\" or \"s3\")"_s.arg(profile.storageType));
    return VaultLocation{defaultVaultFolder(home), std::nullopt};
}

} // namespace

VaultLocation chooseLocation(const std::optional<QString>& option, const VaultSettings& profile, const QString& home)
{
    VaultLocation where = chooseWhere(option, profile, home);
    if (where.s3)
        where.cacheFolder = QDir(kivoDataFolder(home)).filePath(u"restic-cache"_s);
    return where;
}

namespace {

QMap<QString, QString> awsEnvironment()
{
    QMap<QString, QString> out;
    for (const char* name : {"AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN"})
        out.insert(QString::fromLatin1(name), qEnvironmentVariable(name));
    return out;
}

// The token service: the profile's endpoint, else the store's own unless it is AWS's.
QUrl tokenService(const S3Location& store, const VaultSettings& profile)
{
    if (!profile.endpoint.trimmed().isEmpty() || !store.host.endsWith(u".amazonaws.com"_s))
        return sts::serviceFor(profile.endpoint.trimmed().isEmpty() ? store.endpoint() : profile.endpoint, store.region);
    return sts::serviceFor({}, store.region);
}

AwsKeys storeKeys(const S3Location& store, const VaultSettings& profile)
{
    const auto keys = chooseKeys(profile, awsEnvironment());
    if (!keys)
        throw VaultError(VaultErrorKind::missingKey,
                         u"no keys for the vault at %1: set kivo.awsAccessKeyID and kivo.awsSecretAccessKey in the "
                         "profile, or AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY"_s.arg(store.repository()));
    return *keys;
}

AwsKeys roleKeys(const S3Location& store, const VaultSettings& profile, const AwsKeys& keys)
{
    sts::RoleRequest role;
    role.endpoint = tokenService(store, profile);
    role.region = store.region;
    role.roleARN = profile.credentialARN.trimmed();
    role.sessionName = u"kivo"_s;
    return sts::assumeRole(role, keys);
}

QString newKey()
{
    QByteArray raw(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(raw.data()), raw.size() / 4);
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

VaultAccess openAccess(const VaultLocation& where, const VaultSettings& profile, const PasswordChoice& choice)
{
    VaultAccess access;
    access.repository = where.repository();
    access.cacheFolder = where.cacheFolder;
    access.keyHint = profile.credentialKeyID.trimmed();
    // Keys first: a store without them is never contacted.
    if (where.s3)
        access.keys = storeKeys(*where.s3, profile);
    PasswordSources sources;
    sources.passwordFile = choice.passwordFile;
    if (qEnvironmentVariableIsSet("KIVO_VAULT_PASSWORD_FILE"))
        sources.environmentFile = qEnvironmentVariable("KIVO_VAULT_PASSWORD_FILE");
    if (!profile.credentialSecret.isEmpty())
        sources.profileSecret = profile.credentialSecret;
    const QString keyFile = where.s3 ? QString() : keyFileBeside(where.folder);
    // A typed password saved by `vault init` made no key beside the vault: the
    // service is asked only when there is none, so a folder vault never waits on it.
    if (where.s3 || !fs::status(keyFile, fs::Links::dontFollow)) {
        const QString repository = access.repository;
        sources.secretService = [repository] { return secretServicePassword(repository); };
    }
    if (!where.s3)
        sources.keyBeside = keyFile;
    if (const auto chosen = choosePassword(sources, readPasswordFile)) {
        access.password = chosen->password;
    } else if (!where.s3 && choice.createKey && !fs::status(keyFile, fs::Links::dontFollow)) {
        access.password = newKey();
        // Written owner-only, in one step.
        fs::writeFileAtomically(keyFile, (access.password + u'\n').toUtf8());
    } else {
        throw VaultError(VaultErrorKind::missingKey,
                         u"no password for the vault at %1: give --password-file or KIVO_VAULT_PASSWORD_FILE%2"_s.arg(
                             access.repository, where.s3 ? u", or set kivo.vaultCredentialSecret in the profile"_s : QString()));
    }
    if (where.s3) {
        access.region = where.s3->region;
        // The role is asked last, once everything local is in place.
        if (!profile.credentialARN.trimmed().isEmpty())
            access.keys = roleKeys(*where.s3, profile, *access.keys);
    }
    return access;
}

VaultAccess resolveAccess(const QString& vaultFolder, const PasswordChoice& choice)
{
    return openAccess(VaultLocation{QDir::cleanPath(QFileInfo(vaultFolder).absoluteFilePath()), std::nullopt}, {}, choice);
}

} // namespace kivo
