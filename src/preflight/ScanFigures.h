// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/PreFlightReport.h"
#include "preflight/PreflightChecker.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

class DataCategoryManager;

// What the scan's one walk already counted, for whatever would otherwise walk
// the same folders again: the size estimates and the placeholder check.

// Bytes on disk below `roots` ("~/" paths the scan walked), hidden entries left out.
std::uint64_t visibleBytesOf(const PreFlightReport& report, const QStringList& roots);

// The same per walked root, for the folder list.
QHash<QString, std::uint64_t> visibleBytesByRoot(const PreFlightReport& report);

// The scanned categories' estimates, each from the roots the scan walked for it.
void applyScanSizes(DataCategoryManager& manager, const PreFlightReport& report);

// The placeholder count of the checks, when the scan walked every user folder
// of `home` that exists; nothing when one was left out and must be counted.
std::optional<PlaceholderCount> placeholdersFromScan(const PreFlightReport& report, const QString& home);

} // namespace kivo
