// SPDX-License-Identifier: Apache-2.0
#include "managed/ManagedDeploymentConfig.h"

#include <QJsonArray>

namespace kivo {

QString toString(DeploymentMode mode)
{
    return mode == DeploymentMode::managed ? QStringLiteral("managed") : QStringLiteral("interactive");
}

QString toString(ManagedMigrationSource source)
{
    switch (source) {
    case ManagedMigrationSource::bonjour: return QStringLiteral("bonjour");
    case ManagedMigrationSource::thunderbolt: return QStringLiteral("thunderbolt");
    case ManagedMigrationSource::automatic: break;
    }
    return QStringLiteral("auto");
}

QString toString(DeploymentRole role)
{
    return role == DeploymentRole::source ? QStringLiteral("source") : QStringLiteral("destination");
}

QStringList ManagedDeploymentConfig::missingRequiredKeys() const
{
    QStringList missing;
    if (deploymentMode != DeploymentMode::managed)
        return missing;
    if (!userPrincipal || userPrincipal->trimmed().isEmpty())
        missing << QStringLiteral("kivo.userPrincipal");
    // Nobody is there to read a code: the two ends need a shared secret, or
    // explicit leave to take the advertised code on trust.
    if (!pairingSecret && !allowUnverifiedPairing)
        missing << QStringLiteral("kivo.pairingSecret");
    return missing;
}

std::optional<QString> ManagedDeploymentConfig::shortUsername() const
{
    if (!userPrincipal)
        return std::nullopt;
    const QString trimmed = userPrincipal->trimmed();
    if (trimmed.isEmpty())
        return std::nullopt;
    const qsizetype at = trimmed.indexOf(u'@');
    return at >= 0 ? trimmed.left(at) : trimmed;
}

QJsonObject ManagedDeploymentConfig::toJson() const
{
    const auto optionalText = [](const std::optional<QString>& v) { return v ? QJsonValue(*v) : QJsonValue(); };
    return {
        {QStringLiteral("deploymentMode"), toString(deploymentMode)},
        {QStringLiteral("userPrincipal"), optionalText(userPrincipal)},
        {QStringLiteral("migrationSource"), toString(migrationSource)},
        {QStringLiteral("migrationCategories"), QJsonArray::fromStringList(migrationCategories)},
        {QStringLiteral("requireManagedSource"), requireManagedSource},
        {QStringLiteral("deploymentRole"), toString(deploymentRole)},
        {QStringLiteral("telemetryEndpoint"),
         telemetryEndpoint ? QJsonValue(telemetryEndpoint->toString()) : QJsonValue()},
        {QStringLiteral("brandingName"), optionalText(brandingName)},
        {QStringLiteral("pairingSecret"), pairingSecret ? QJsonValue(QStringLiteral("(set)")) : QJsonValue()},
        {QStringLiteral("allowUnverifiedPairing"), allowUnverifiedPairing},
    };
}

} // namespace kivo
