// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/DestinationWriter.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/MDMSafetyChecker.h"
#include "transfer/TransferManifest.h"
#include "transfer/WirePath.h"
#include "transfer/UserMapping.h"

#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

#include <optional>

namespace kivo {

// Logs each attribute name a destination file system refuses once, not once per file.
class AttributeRefusals {
public:
    void report(const QList<QByteArray>& names, const QString& path);

private:
    QMutex m_mutex;
    QSet<QByteArray> m_logged;
};

// What became of one folder or link that was not simply placed.
struct EntryOutcome {
    QString relativePath;
    QString categoryID;
    QString error;          // failed: why
    QString conflictReason; // something else was there and stays: why
};

// The link's text as this machine needs it: a target naming the source
// account's home names the destination's instead; anything else is kept as it is.
QByteArray mappedLinkTarget(const QByteArray& target, const std::optional<UserMapping>& mapping);

// The destination of a folder or link entry, as a file's would be; refused paths give their reason.
WirePathCheck entryPath(const TransferManifest::Entry& entry, const QString& home,
                        const std::optional<UserMapping>& mapping, const MDMSafetyChecker& safety);

// Creates the folders bare and the links in them, then gives every folder,
// deepest first, its mode, attributes
// and time, so that nothing placed afterwards moves a folder's time. Runs once
// every file is in place. Links are never followed; something other than the
// same link at a link's path is handled by `policy` as a file would be.
QList<EntryOutcome> placeEntries(DestinationWriter& writer, const QList<TransferManifest::Entry>& entries,
                                 const QString& home, const std::optional<UserMapping>& mapping,
                                 const MDMSafetyChecker& safety, ConflictPolicy policy, AttributeRefusals& refusals);

// Creates the folders among `entries` bare, before the account's ownership is
// handed over, so that empty ones are handed over too; placeEntries later gives
// them their mode and time. Returns where they are; failures are left for
// placeEntries to report.
QStringList makeFolders(DestinationWriter& writer, const QList<TransferManifest::Entry>& entries, const QString& home,
                        const std::optional<UserMapping>& mapping, const MDMSafetyChecker& safety);

} // namespace kivo
