// SPDX-License-Identifier: Apache-2.0
#include "preflight/PreFlightReport.h"

#include "platform/Json.h"

#include <QJsonArray>

namespace kivo {

namespace {

template <typename T>
QJsonArray arrayOf(const QList<T>& records)
{
    QJsonArray out;
    for (const T& r : records)
        out.append(r.toJson());
    return out;
}

double number(std::uint64_t v) { return static_cast<double>(v); }

} // namespace

std::uint64_t throughputOf(ConnectionType type)
{
    switch (type) {
    case ConnectionType::wifi: return 50'000'000;
    case ConnectionType::ethernet: return 75'000'000;
    case ConnectionType::thunderbolt: return 500'000'000;
    }
    return 50'000'000;
}

QString toString(NodeStatus status)
{
    switch (status) {
    case NodeStatus::included: return QStringLiteral("included");
    case NodeStatus::excluded: return QStringLiteral("excluded");
    case NodeStatus::ghost: return QStringLiteral("ghost");
    case NodeStatus::conflict: return QStringLiteral("conflict");
    case NodeStatus::staged: return QStringLiteral("staged");
    }
    return QStringLiteral("included");
}

QJsonObject PreFlightDirectoryNode::toJson() const
{
    QJsonObject o{{QStringLiteral("path"), path},
                  {QStringLiteral("name"), name},
                  {QStringLiteral("isDirectory"), isDirectory},
                  {QStringLiteral("fileCount"), static_cast<double>(fileCount)},
                  {QStringLiteral("totalBytes"), number(totalBytes)},
                  {QStringLiteral("status"), toString(status)}};
    json::put(o, "modifiedDate", modifiedDate);
    if (children)
        o.insert(QStringLiteral("children"), arrayOf(*children));
    if (conflictDetail)
        o.insert(QStringLiteral("conflictDetail"), conflictDetail->toJson());
    return o;
}

QJsonObject CategorySummary::toJson() const
{
    QJsonObject o{{QStringLiteral("category"), category},
                  {QStringLiteral("fileCount"), static_cast<double>(fileCount)},
                  {QStringLiteral("totalBytes"), number(totalBytes)},
                  {QStringLiteral("rootNodes"), arrayOf(rootNodes)}};
    json::put(o, "details", details);
    if (stagedCount)
        o.insert(QStringLiteral("stagedCount"), static_cast<double>(*stagedCount));
    return o;
}

QJsonObject ExclusionSummary::toJson() const
{
    QJsonObject o{{QStringLiteral("path"), path},
                  {QStringLiteral("rule"), rule},
                  {QStringLiteral("fileCount"), static_cast<double>(fileCount)},
                  {QStringLiteral("totalBytes"), number(totalBytes)},
                  {QStringLiteral("regenerationHint"), regenerationHint}};
    json::put(o, "parentProject", parentProject);
    return o;
}

QJsonObject StagedPrefSummary::toJson() const
{
    return {{QStringLiteral("appName"), appName},
            {QStringLiteral("bundleID"), bundleID},
            {QStringLiteral("fileCount"), static_cast<double>(fileCount)},
            {QStringLiteral("totalBytes"), number(totalBytes)}};
}

QJsonObject GhostFileSummary::toJson() const
{
    return {{QStringLiteral("provider"), provider},
            {QStringLiteral("count"), static_cast<double>(count)},
            {QStringLiteral("paths"), json::toArray(paths)}};
}

QJsonObject PreFlightReport::toJson() const
{
    QJsonObject o{{QStringLiteral("generatedAt"), json::formatDate(generatedAt)},
                  {QStringLiteral("categories"), arrayOf(categories)},
                  {QStringLiteral("exclusions"), arrayOf(exclusions)},
                  {QStringLiteral("stagedPrefs"), arrayOf(stagedPrefs)},
                  {QStringLiteral("conflicts"), arrayOf(conflicts)},
                  {QStringLiteral("ghostFiles"), arrayOf(ghostFiles)},
                  {QStringLiteral("connectionType"), toString(connectionType)},
                  {QStringLiteral("thunderboltAvailable"), thunderboltAvailable},
                  {QStringLiteral("totalFiles"), static_cast<double>(totalFiles)},
                  {QStringLiteral("totalBytes"), number(totalBytes)},
                  {QStringLiteral("excludedFiles"), static_cast<double>(excludedFiles)},
                  {QStringLiteral("excludedBytes"), number(excludedBytes)},
                  {QStringLiteral("estimatedSeconds"), static_cast<double>(estimatedSeconds)},
                  {QStringLiteral("rootNodes"), arrayOf(rootNodes)}};
    if (!keptFolders.isEmpty())
        o.insert(QStringLiteral("keptFolders"), json::toArray(keptFolders));
    return o;
}

std::int64_t estimatedSecondsFor(std::uint64_t totalBytes, ConnectionType type)
{
    if (totalBytes < 1)
        return 0;
    return static_cast<std::int64_t>(static_cast<double>(totalBytes) / static_cast<double>(throughputOf(type)));
}

namespace {

void markConflicts(QList<PreFlightDirectoryNode>& nodes, const QHash<QString, ConflictSummary>& byPath)
{
    for (PreFlightDirectoryNode& node : nodes) {
        if (const auto it = byPath.constFind(node.path); it != byPath.constEnd()) {
            node.status = NodeStatus::conflict;
            node.conflictDetail = *it;
        }
        if (node.children)
            markConflicts(*node.children, byPath);
    }
}

} // namespace

void mergeConflicts(PreFlightReport& report, QList<ConflictSummary> conflicts,
                    const QHash<QString, SourceFileFacts>& sourceFiles)
{
    QHash<QString, ConflictSummary> byPath;
    for (ConflictSummary& c : conflicts) {
        if (const auto it = sourceFiles.constFind(c.path); it != sourceFiles.constEnd()) {
            c.sourceSize = it->size;
            c.sourceModified = it->modified;
        }
        byPath.insert(c.path, c);
    }
    markConflicts(report.rootNodes, byPath);
    for (CategorySummary& category : report.categories)
        markConflicts(category.rootNodes, byPath);
    report.conflicts = std::move(conflicts);
}

} // namespace kivo
