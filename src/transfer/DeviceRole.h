// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <optional>

namespace kivo {

// Which end of a migration this machine is.
enum class DeviceRole { source = 0, destination = 1 };

QString toString(DeviceRole role);
std::optional<DeviceRole> deviceRoleFromString(const QString& text);

} // namespace kivo
