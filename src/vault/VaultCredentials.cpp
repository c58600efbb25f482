// SPDX-License-Identifier: Apache-2.0
#include "vault/VaultCredentials.h"

#include "platform/Error.h"
#include "platform/SecretTool.h"
#include "vault/VaultError.h"

namespace kivo {

using namespace Qt::Literals::StringLiterals;

std::optional<AwsKeys> chooseKeys(const VaultSettings& profile, const QMap<QString, QString>& environment)
{
    if (!profile.accessKeyID.trimmed().isEmpty() && !profile.secretAccessKey.trimmed().isEmpty())
        return AwsKeys{profile.accessKeyID.trimmed(), profile.secretAccessKey.trimmed(), {}};
    const QString id = environment.value(u"AWS_ACCESS_KEY_ID"_s).trimmed();
    const QString secret = environment.value(u"AWS_SECRET_ACCESS_KEY"_s).trimmed();
    if (!id.isEmpty() && !secret.isEmpty())
        return AwsKeys{id, secret, environment.value(u"AWS_SESSION_TOKEN"_s).trimmed()};
    return std::nullopt;
}

QString toString(PasswordSource source)
{
    switch (source) {
    case PasswordSource::passwordFile: return u"--password-file"_s;
    case PasswordSource::environmentFile: return u"KIVO_VAULT_PASSWORD_FILE"_s;
    case PasswordSource::profileSecret: return u"kivo.vaultCredentialSecret"_s;
    case PasswordSource::secretService: return u"the Secret Service"_s;
    case PasswordSource::keyBeside: return u"the key beside the vault"_s;
    }
    return {};
}

std::optional<ChosenPassword> choosePassword(const PasswordSources& sources,
                                             const std::function<std::optional<QString>(const QString&)>& readFile)
{
    const auto named = [&](const std::optional<QString>& file, PasswordSource source) -> std::optional<ChosenPassword> {
        if (!file)
            return std::nullopt;
        const auto password = readFile(*file);
        if (!password)
            throw VaultError(VaultErrorKind::missingKey,
                             u"the password file %1 (%2) is missing, unreadable or empty"_s.arg(*file, toString(source)));
        return ChosenPassword{source, *password};
    };
    if (auto p = named(sources.passwordFile, PasswordSource::passwordFile))
        return p;
    if (auto p = named(sources.environmentFile, PasswordSource::environmentFile))
        return p;
    if (sources.profileSecret && !sources.profileSecret->trimmed().isEmpty())
        return ChosenPassword{PasswordSource::profileSecret, sources.profileSecret->trimmed()};
    if (sources.secretService)
        if (auto p = sources.secretService(); p && !p->isEmpty())
            return ChosenPassword{PasswordSource::secretService, *p};
    if (sources.keyBeside)
        if (auto p = readFile(*sources.keyBeside))
            return ChosenPassword{PasswordSource::keyBeside, *p};
    return std::nullopt;
}

QMap<QString, QString> secretServiceAttributes(const QString& repository)
{
    return {{u"application"_s, u"kivo"_s}, {u"kivo-vault"_s, repository}};
}

namespace {

secretTool::Attributes flat(const QMap<QString, QString>& attributes)
{
    secretTool::Attributes out;
    for (auto it = attributes.begin(); it != attributes.end(); ++it)
        out.append({it.key(), it.value()});
    return out;
}

CommandOptions secretClient()
{
    CommandOptions options;
    // A service that does not answer must not hold up the vault.
    options.timeout = std::chrono::seconds(5);
    return options;
}

} // namespace

std::optional<QString> secretServicePassword(const QString& repository)
{
    const auto secret = secretTool::lookup(flat(secretServiceAttributes(repository)), secretClient());
    if (!secret)
        return std::nullopt;
    const QString password = QString::fromUtf8(*secret);
    return password.isEmpty() ? std::nullopt : std::optional<QString>(password);
}

void saveSecretServicePassword(const QString& repository, const QString& password)
{
    try {
        secretTool::store(u"kivo vault %1"_s.arg(repository), flat(secretServiceAttributes(repository)), password.toUtf8(),
                          secretClient());
    } catch (const Error& e) {
        throw VaultError(VaultErrorKind::locked, u"the Secret Service did not keep the vault's password: %1"_s.arg(e.description()));
    }
}

} // namespace kivo
