// SPDX-License-Identifier: Apache-2.0
#include "preflight/ManifestExclusions.h"

#include "platform/UserFolders.h"

#include <QSet>

namespace kivo {

void leaveOutExclusions(TransferManifest& manifest, const PreFlightReport& report, const QString& homeFolder)
{
    if (report.exclusions.isEmpty())
        return;
    const UserFolders home(homeFolder);
    QSet<QString> excluded;
    for (const ExclusionSummary& e : report.exclusions)
        excluded.insert(home.expandTilde(e.path));
    // A file is out when any folder above it is: look its ancestors up.
    const auto isExcluded = [&excluded](const QString& path) {
        for (qsizetype slash = path.lastIndexOf(u'/'); slash > 0; slash = path.lastIndexOf(u'/', slash - 1))
            if (excluded.contains(QStringView(path).left(slash).toString()))
                return true;
        return false;
    };
    manifest.items.removeIf([&](const TransferManifest::FileItem& item) { return isExcluded(item.absolutePath()); });
    // The excluded folders themselves, and the folders and links inside them, stay behind too.
    manifest.entries.removeIf([&](const TransferManifest::Entry& entry) {
        const QString path = home.expandTilde(entry.relativePath);
        return excluded.contains(path) || isExcluded(path);
    });
    manifest.totalSize = 0;
    for (const TransferManifest::FileItem& item : manifest.items)
        manifest.totalSize += item.size;
}

QList<PreFlightConflictRequest> intendedWriteRequests(const TransferManifest& manifest, qsizetype perRequest)
{
    QList<PreFlightConflictRequest> out;
    for (const TransferManifest::FileItem& item : manifest.items) {
        if (out.isEmpty() || out.last().pathsToCheck.size() >= perRequest) {
            PreFlightConflictRequest request;
            request.layout = manifest.layout;
            request.userFolders = manifest.userFolders;
            out.append(std::move(request));
        }
        out.last().pathsToCheck.append(item.relativePath);
        out.last().categoryIDs.append(item.categoryID);
    }
    return out;
}

QHash<QString, SourceFileFacts> sourceFactsOf(const TransferManifest& manifest)
{
    QHash<QString, SourceFileFacts> out;
    out.reserve(manifest.items.size());
    for (const TransferManifest::FileItem& item : manifest.items)
        out.insert(item.relativePath, {item.size, item.sourceModified.value_or(QDateTime())});
    return out;
}

} // namespace kivo
