// SPDX-License-Identifier: Apache-2.0
// The destination's side of keeping what a file is besides its bytes: names
// that are not UTF-8, times, attributes, and the folders and links of the tree.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/TreeEntries.h"
#include "transfer/WireName.h"

#include <QUuid>

namespace kivo {

// The name the file system gets for an item's path: its own bytes when the wire spells them escaped.
QString DestinationTransfer::heldPath(const QString& wirePath) const
{
    const qsizetype i = indexOf(wirePath);
    if (i < 0 || !m_manifest->items[i].rawName)
        return wirePath;
    return fromWireName(wirePath).value_or(QString());
}

void DestinationTransfer::sweepPartials()
{
    for (const auto& item : std::as_const(m_manifest->items)) {
        if (item.transferStatus == FileTransferStatus::completed)
            continue;
        const WirePathCheck check = checkPath(item.relativePath);
        if (check.refusal)
            continue;
        const QString partial = partialPathFor(check.destination, m_transferID, item.relativePath);
        try {
            if (m_writer->regularFileSize(partial))
                m_writer->remove(partial);
        } catch (const WriteFailure& e) {
            qCWarning(lcTransferEngine).noquote() << "Could not remove" << partial << e.description();
        }
    }
}

// Attributes, then the time: the mode follows and changes neither.
void DestinationTransfer::applyFileMetadata(const QString& path, qsizetype itemIndex)
{
    const auto& item = m_manifest->items[itemIndex];
    const std::optional<fs::FileTime> time = item.modifiedTime();
    if (!time && item.extendedAttributes.isEmpty())
        return;
    if (!m_attributeRefusals)
        m_attributeRefusals = std::make_shared<AttributeRefusals>();
    try {
        m_attributeRefusals->report(m_writer->applyMetadata(path, {std::nullopt, time, item.extendedAttributes}),
                                    item.relativePath);
    } catch (const WriteFailure& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not set the time or attributes:" << e.description();
    }
}

QList<TransferManifest::Entry> DestinationTransfer::relocatedEntries() const
{
    QList<TransferManifest::Entry> entries = m_manifest->entries;
    if (m_relocation)
        for (TransferManifest::Entry& entry : entries)
            if (!entry.rawName)
                entry.relativePath = m_relocation(entry.relativePath, entry.categoryID);
    return entries;
}

QCoro::Task<QStringList> DestinationTransfer::makeEntryFolders()
{
    if (!m_manifest || m_manifest->entries.isEmpty())
        co_return QStringList();
    auto making = startInBackground([entries = relocatedEntries(), home = m_home, mapping = m_userMapping, safety = m_safety] {
        DestinationWriter writer(home);
        return makeFolders(writer, entries, home, mapping, safety);
    });
    co_return co_await finishInBackground(std::move(making));
}

QCoro::Task<void> DestinationTransfer::placeTreeEntries()
{
    if (!m_manifest || m_manifest->entries.isEmpty())
        co_return;
    if (!m_attributeRefusals)
        m_attributeRefusals = std::make_shared<AttributeRefusals>();
    m_writer->closeCurrent();
    // Built as a named future first: g++ 12 mishandles lambda temporaries inside co_await.
    auto placing = startInBackground([entries = relocatedEntries(), home = m_home, mapping = m_userMapping,
                                      safety = m_safety, policy = m_conflictPolicy, refusals = m_attributeRefusals] {
        DestinationWriter writer(home);
        return placeEntries(writer, entries, home, mapping, safety, policy, *refusals);
    });
    const QList<EntryOutcome> outcomes = co_await finishInBackground(std::move(placing));
    for (const EntryOutcome& outcome : outcomes) {
        if (!outcome.error.isEmpty()) {
            qCCritical(lcTransferEngine, "%s failed: %s", forLog(outcome.relativePath).constData(),
                       qUtf8Printable(outcome.error));
            addFileError(outcome.relativePath, outcome.categoryID, outcome.error);
            continue;
        }
        qCInfo(lcTransferEngine, "Conflict at %s — %s", forLog(outcome.relativePath).constData(),
               qUtf8Printable(outcome.conflictReason));
        m_progress->addConflictOutcome(
            {QUuid::createUuid(), outcome.relativePath, QStringLiteral("skipped"), m_clock->now()});
    }
}

} // namespace kivo
