// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <optional>

namespace kivo {

// What the destination does with a file that already exists there.
enum class ConflictPolicy { skip, overwrite, keepNewer, ask };

QString toString(ConflictPolicy policy);
// Exact raw value ("skip", "overwrite", "keepNewer", "ask").
std::optional<ConflictPolicy> conflictPolicyFromString(const QString& text);
// Case-insensitive match, unknown values give skip (the profile's rule).
ConflictPolicy conflictPolicyLenient(const QString& text);
QString label(ConflictPolicy policy);

} // namespace kivo
