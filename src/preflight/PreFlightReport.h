// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/ConnectionKind.h"

#include "transfer/PreFlightConflict.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kivo {

// The link a duration estimate assumes.
// Bytes per second the estimate counts on.
std::uint64_t throughputOf(ConnectionType type);

enum class NodeStatus { included, excluded, ghost, conflict, staged };
QString toString(NodeStatus status);

struct PreFlightDirectoryNode {
    QString path; // "~/" form
    QString name;
    bool isDirectory = false;
    std::int64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    std::optional<QDateTime> modifiedDate;
    std::optional<QList<PreFlightDirectoryNode>> children; // absent for a file
    NodeStatus status = NodeStatus::included;
    std::optional<ConflictSummary> conflictDetail;

    QJsonObject toJson() const;
    bool operator==(const PreFlightDirectoryNode&) const = default;
};

struct CategorySummary {
    QString category;
    std::int64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    std::optional<QString> details;
    std::optional<std::int64_t> stagedCount;
    QList<PreFlightDirectoryNode> rootNodes;

    QJsonObject toJson() const;
};

struct ExclusionSummary {
    QString path; // "~/" form
    QString rule;
    std::int64_t fileCount = 0;
    std::uint64_t totalBytes = 0;
    QString regenerationHint;
    std::optional<QString> parentProject;

    QJsonObject toJson() const;
    bool operator==(const ExclusionSummary&) const = default;
};

struct StagedPrefSummary {
    QString appName;
    QString bundleID;
    std::int64_t fileCount = 0;
    std::uint64_t totalBytes = 0;

    QJsonObject toJson() const;
    bool operator==(const StagedPrefSummary&) const = default;
};

struct GhostFileSummary {
    QString provider;
    std::int64_t count = 0;
    QStringList paths; // at most 100

    QJsonObject toJson() const;
    bool operator==(const GhostFileSummary&) const = default;
};

// What the walk of one listed path saw beyond the report: the bytes a size
// estimate counts (allocated, hidden entries left out) and the files named
// like iCloud placeholders (hidden ones included).
struct RootFigures {
    std::uint64_t visibleAllocatedBytes = 0;
    std::int64_t icloudNamedFiles = 0;
    std::uint64_t icloudNamedBytes = 0;
    bool operator==(const RootFigures&) const = default;
};

// What the migration will contain, shown before any byte moves.
struct PreFlightReport {
    QDateTime generatedAt;
    QList<CategorySummary> categories;
    QList<ExclusionSummary> exclusions;
    QList<StagedPrefSummary> stagedPrefs;
    QList<ConflictSummary> conflicts;
    QList<GhostFileSummary> ghostFiles;
    ConnectionType connectionType = ConnectionType::wifi;
    bool thunderboltAvailable = false;
    std::int64_t totalFiles = 0;
    std::uint64_t totalBytes = 0;
    std::int64_t excludedFiles = 0;
    std::uint64_t excludedBytes = 0;
    std::int64_t estimatedSeconds = 0;
    QList<PreFlightDirectoryNode> rootNodes;
    // Our own addition: version-control folders that travel although a rule
    // names them, each with the reason. Omitted when empty.
    QStringList keptFolders;
    // Per listed path that exists, for the steps that would otherwise walk it
    // again; not part of the report's JSON.
    QHash<QString, RootFigures> rootFigures;

    QJsonObject toJson() const;
};

// Whole seconds of `totalBytes` over the connection's throughput.
std::int64_t estimatedSecondsFor(std::uint64_t totalBytes, ConnectionType type);

// The source's side of a file the destination already has.
struct SourceFileFacts {
    std::uint64_t size = 0;
    QDateTime modified;
};
// Folds the destination's answer into the report: each conflict takes the
// source's size and date from `sourceFiles` (keyed by the path as sent), and
// the tree node of that path, where the tree reaches it, becomes a conflict.
void mergeConflicts(PreFlightReport& report, QList<ConflictSummary> conflicts,
                    const QHash<QString, SourceFileFacts>& sourceFiles);

} // namespace kivo
