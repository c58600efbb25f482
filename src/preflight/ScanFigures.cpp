// SPDX-License-Identifier: Apache-2.0
#include "preflight/ScanFigures.h"

#include "categories/DataCategoryManager.h"

#include <QFileInfo>

namespace kivo {

std::uint64_t visibleBytesOf(const PreFlightReport& report, const QStringList& roots)
{
    std::uint64_t size = 0;
    for (const QString& root : roots)
        size += report.rootFigures.value(root).visibleAllocatedBytes;
    return size;
}

QHash<QString, std::uint64_t> visibleBytesByRoot(const PreFlightReport& report)
{
    QHash<QString, std::uint64_t> out;
    for (auto it = report.rootFigures.constBegin(); it != report.rootFigures.constEnd(); ++it)
        out.insert(it.key(), it->visibleAllocatedBytes);
    return out;
}

void applyScanSizes(DataCategoryManager& manager, const PreFlightReport& report)
{
    for (const CategorySummary& c : report.categories) {
        QStringList roots;
        for (const PreFlightDirectoryNode& node : c.rootNodes)
            roots.append(node.path);
        manager.overrideEstimatedSize(c.category, visibleBytesOf(report, roots));
    }
}

std::optional<PlaceholderCount> placeholdersFromScan(const PreFlightReport& report, const QString& home)
{
    PlaceholderCount out;
    for (const char* folder : {"Documents", "Desktop", "Downloads", "Pictures", "Movies", "Music"}) {
        const QString root = QStringLiteral("~/") + QLatin1String(folder);
        if (const auto it = report.rootFigures.constFind(root); it != report.rootFigures.constEnd()) {
            out.count += it->icloudNamedFiles;
            out.bytes += it->icloudNamedBytes;
        } else if (QFileInfo::exists(home + QLatin1Char('/') + QLatin1String(folder))) {
            return std::nullopt;
        }
    }
    return out;
}

} // namespace kivo
