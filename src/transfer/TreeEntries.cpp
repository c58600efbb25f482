// SPDX-License-Identifier: Apache-2.0
#include "transfer/TreeEntries.h"

#include "platform/Logging.h"
#include "platform/NameBytes.h"
#include "transfer/ConflictResolver.h"
#include "transfer/WireName.h"
#include "transfer/WirePath.h"

#include <algorithm>

namespace kivo {

void AttributeRefusals::report(const QList<QByteArray>& names, const QString& path)
{
    QMutexLocker lock(&m_mutex);
    for (const QByteArray& name : names) {
        if (m_logged.contains(name))
            continue;
        m_logged.insert(name);
        qCWarning(lcTransferEngine, "The destination does not keep the attribute %s (first refused on %s)",
                  forLog(QString::fromUtf8(name)).constData(), forLog(path).constData());
    }
}

QByteArray mappedLinkTarget(const QByteArray& target, const std::optional<UserMapping>& mapping)
{
    if (!mapping || !mapping->changesHomeFolder() || mapping->sourceHomeFolder.isEmpty())
        return target;
    const QByteArray from = fs::nameToBytes(mapping->sourceHomeFolder);
    if (target == from || (target.startsWith(from) && target.at(from.size()) == '/'))
        return fs::nameToBytes(mapping->destinationHomeFolder) + target.mid(from.size());
    return target;
}

WirePathCheck entryPath(const TransferManifest::Entry& entry, const QString& home,
                        const std::optional<UserMapping>& mapping, const MDMSafetyChecker& safety)
{
    const std::optional<QString> held = entry.rawName ? fromWireName(entry.relativePath) : entry.relativePath;
    if (!held)
        return {{}, PathRefusal::invalid};
    return checkWirePath(*held, home, mapping, safety);
}

namespace {

qsizetype depthOf(const QString& path) { return path.count(u'/'); }

EntryMetadata metadataOf(const TransferManifest::Entry& entry)
{
    return {entry.mode, entry.modifiedTime(), entry.extendedAttributes};
}

} // namespace

QList<EntryOutcome> placeEntries(DestinationWriter& writer, const QList<TransferManifest::Entry>& entries,
                                 const QString& home, const std::optional<UserMapping>& mapping,
                                 const MDMSafetyChecker& safety, ConflictPolicy policy, AttributeRefusals& refusals)
{
    QList<EntryOutcome> outcomes;
    QList<std::pair<const TransferManifest::Entry*, QString>> folders;
    // A link may be all a folder holds: the folder is there before the link is placed in it.
    makeFolders(writer, entries, home, mapping, safety);
    auto failed = [&](const TransferManifest::Entry& e, const QString& error) {
        outcomes.append({e.relativePath, e.categoryID, error, {}});
    };
    for (const TransferManifest::Entry& entry : entries) {
        const WirePathCheck check = entryPath(entry, home, mapping, safety);
        if (check.refusal) {
            failed(entry, toString(*check.refusal));
            continue;
        }
        if (entry.kind == TransferManifest::Entry::Kind::folder) {
            folders.append({&entry, check.destination});
            continue;
        }
        try {
            const QByteArray target = mappedLinkTarget(entry.linkTarget, mapping);
            bool replace = false;
            // The same link, left by an earlier run of this migration, is no conflict.
            if (writer.linkTarget(check.destination) != target) {
                const ConflictDecision decision = ConflictResolver::resolve(
                    check.destination, entry.sourceModified, policy, entry.sourceModifiedNanoseconds, fs::Links::dontFollow);
                replace = decision.write;
                if (!decision.write) {
                    outcomes.append({entry.relativePath, entry.categoryID, {}, decision.reason});
                    continue;
                }
            }
            if (writer.placeLink(check.destination, target, entry.modifiedTime(), replace)
                == DestinationWriter::LinkPlacement::kept)
                outcomes.append({entry.relativePath, entry.categoryID, {}, QStringLiteral("destination exists")});
        } catch (const WriteFailure& e) {
            failed(entry, e.description());
        }
    }
    // Inner folders first: setting a folder's time or mode must come after everything placed inside it.
    std::stable_sort(folders.begin(), folders.end(),
                     [](const auto& a, const auto& b) { return depthOf(a.second) > depthOf(b.second); });
    for (const auto& [entry, destination] : std::as_const(folders)) {
        try {
            refusals.report(writer.placeFolder(destination, metadataOf(*entry)), entry->relativePath);
        } catch (const WriteFailure& e) {
            failed(*entry, e.description());
        }
    }
    return outcomes;
}

QStringList makeFolders(DestinationWriter& writer, const QList<TransferManifest::Entry>& entries, const QString& home,
                        const std::optional<UserMapping>& mapping, const MDMSafetyChecker& safety)
{
    QStringList made;
    for (const TransferManifest::Entry& entry : entries) {
        if (entry.kind != TransferManifest::Entry::Kind::folder)
            continue;
        const WirePathCheck check = entryPath(entry, home, mapping, safety);
        if (check.refusal)
            continue;
        try {
            writer.placeFolder(check.destination, {});
            made.append(check.destination);
        } catch (const WriteFailure&) {
        }
    }
    return made;
}

} // namespace kivo
