// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

namespace kivo {

enum class DeploymentMode { interactive, managed };
// `auto` is a keyword: the first case is `automatic`, raw value "auto".
enum class ManagedMigrationSource { automatic, bonjour, thunderbolt };
enum class DeploymentRole { destination, source };

QString toString(DeploymentMode mode);
QString toString(ManagedMigrationSource source);
QString toString(DeploymentRole role);

// The pairing secret of a managed deployment must be at least this long to be used.
inline constexpr int kMinimumPairingSecretLength = 16;

// What the profile says about an unattended run, derived on demand.
struct ManagedDeploymentConfig {
    DeploymentMode deploymentMode = DeploymentMode::interactive;
    std::optional<QString> userPrincipal;
    ManagedMigrationSource migrationSource = ManagedMigrationSource::automatic;
    QStringList migrationCategories;
    bool requireManagedSource = false;
    DeploymentRole deploymentRole = DeploymentRole::destination;
    std::optional<QUrl> telemetryEndpoint;
    std::optional<QString> brandingName;
    // Both managed ends prove this instead of a typed code; never shown.
    std::optional<QString> pairingSecret;
    // Without a secret, the advertised code is accepted unseen only when allowed.
    bool allowUnverifiedPairing = false;

    QStringList missingRequiredKeys() const;
    std::optional<QString> shortUsername() const;
    // The secret appears as "(set)".
    QJsonObject toJson() const;
};

} // namespace kivo
