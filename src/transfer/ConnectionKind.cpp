// SPDX-License-Identifier: Apache-2.0
#include "transfer/ConnectionKind.h"

namespace kivo {

QString toString(ConnectionType type)
{
    switch (type) {
    case ConnectionType::wifi: return QStringLiteral("wifi");
    case ConnectionType::ethernet: return QStringLiteral("ethernet");
    case ConnectionType::thunderbolt: return QStringLiteral("thunderbolt");
    }
    return QStringLiteral("wifi");
}

std::optional<ConnectionType> connectionTypeFromString(const QString& text)
{
    for (ConnectionType t : allConnectionTypes())
        if (toString(t) == text)
            return t;
    return std::nullopt;
}

QList<ConnectionType> allConnectionTypes()
{
    return {ConnectionType::wifi, ConnectionType::ethernet, ConnectionType::thunderbolt};
}

} // namespace kivo
