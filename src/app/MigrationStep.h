#pragma once

#include <QObject>
#include <QString>
#include <optional>

namespace kivo {
Q_NAMESPACE

// The ten wizard steps, in order.
enum class MigrationStep {
    welcome = 0,
    roleSelection = 1,
    discovery = 2,
    pairing = 3,
    userMapping = 4,
    manifest = 5,
    preflight = 6,
    preflightSummary = 7,
    progress = 8,
    complete = 9,
};
Q_ENUM_NS(MigrationStep)

enum class DeviceRole { source = 0, destination = 1 };
Q_ENUM_NS(DeviceRole)

QString displayName(MigrationStep step);
QString toString(DeviceRole role);
std::optional<DeviceRole> deviceRoleFromString(const QString& text);

} // namespace kivo
