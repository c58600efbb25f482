// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/PreFlightReport.h"
#include "transfer/PreFlightConflict.h"
#include "transfer/TransferManifest.h"

#include <QString>
#include <QStringList>

namespace kivo {

// Takes out of `manifest` every file below a folder the report excluded, so
// what is sent is what the report said; the total follows.
void leaveOutExclusions(TransferManifest& manifest, const PreFlightReport& report, const QString& homeFolder);

// The question to the destination about the "~/" paths the transfer will
// write, in requests of at most `perRequest` paths (their ids left empty).
QList<PreFlightConflictRequest> intendedWriteRequests(const TransferManifest& manifest, qsizetype perRequest = 10000);

// Each intended path's source figures, for the conflict merge.
QHash<QString, SourceFileFacts> sourceFactsOf(const TransferManifest& manifest);

} // namespace kivo
