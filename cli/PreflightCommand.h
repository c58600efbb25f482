// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "cli/CliOptions.h"
#include "cli/Reporter.h"
#include "preflight/PreFlightReport.h"
#include "preflight/PreflightChecker.h"
#include "preflight/PreflightSettings.h"

#include <QDateTime>
#include <QString>

namespace kivo::cli {

// Sizes, applications, the space line, the readiness checks and the scan, as
// the screens show them; exit 5 on a blocker, 1 when the export failed.
int runPreflight(const PreflightOptions& options);

// The pre-flight choices the flags make; `destinationIsLocal` is false for `send`.
PreflightSettings preflightSettingsFrom(const PreflightFlags& flags, bool destinationIsLocal);
// The file an export to `target` writes: `target` itself, or in a folder a
// name stamped with the report's time (UTC).
QString exportFileFor(const QString& target, const QDateTime& generatedAt);
// Writes the report in one step; when it cannot, why, already said on stderr.
std::optional<QString> exportReport(const PreFlightReport& report, const QString& target, Reporter& out);
// The checks and the report as people read them.
void showChecks(const PreflightResult& checks, Reporter& out);
void showReport(const PreFlightReport& report, const HomeLayout& layout, Reporter& out);

} // namespace kivo::cli
