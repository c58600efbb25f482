// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QList>
#include <QString>

#include <optional>

namespace kivo {

// How the two machines are linked, as the pre-flight estimate and the
// configuration profile name it.
enum class ConnectionType { wifi, ethernet, thunderbolt };

QString toString(ConnectionType type);
std::optional<ConnectionType> connectionTypeFromString(const QString& text);
QList<ConnectionType> allConnectionTypes();

} // namespace kivo
