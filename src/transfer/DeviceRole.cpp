// SPDX-License-Identifier: Apache-2.0
#include "transfer/DeviceRole.h"

namespace kivo {

QString toString(DeviceRole role)
{
    return role == DeviceRole::source ? QStringLiteral("source") : QStringLiteral("destination");
}

std::optional<DeviceRole> deviceRoleFromString(const QString& text)
{
    if (text == QLatin1String("source"))
        return DeviceRole::source;
    if (text == QLatin1String("destination"))
        return DeviceRole::destination;
    return std::nullopt;
}

} // namespace kivo
