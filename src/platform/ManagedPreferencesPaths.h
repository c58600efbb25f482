// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kivo::managedpaths {

// Where device management leaves this program's configuration: one property
// list, XML or binary. KIVO_CONFIG_PROFILE, when set and non-empty, names another.
inline QString defaultProfilePath() { return QStringLiteral("/etc/kivo/com.kivo.config.plist"); }
// Filled by device management with the profiles it installed; empty or absent
// on a machine nobody enrolled.
inline QString managedPreferencesFolder() { return QStringLiteral("/etc/kivo/managed-preferences"); }
// The system's enrolment-status tool; Linux has none.
inline QString profilesTool() { return QString(); }

} // namespace kivo::managedpaths
