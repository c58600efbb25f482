// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UserFolders.h"
#include "preflight/CheckQueue.h"
#include "preflight/PreFlightReport.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kivo {

struct ExclusionRule;

// Shared between a running walk and whoever watches it.
struct ScanCounters {
    std::atomic<std::int64_t> files{0};
    std::atomic<std::uint64_t> bytes{0};
    std::atomic<bool> cancelled{false};
};

struct Tally {
    std::int64_t files = 0;
    std::uint64_t bytes = 0;
    Tally& operator+=(const Tally& o)
    {
        files += o.files;
        bytes += o.bytes;
        return *this;
    }
};

// Why a repository's .git folder must travel; nothing when it may stay behind.
using RepositoryCheck = std::function<std::optional<QString>(const QString& gitFolder)>;

// True for a "~/" path the handler never sends.
using LeftOut = std::function<bool(const QString& tildePath)>;

// What a walk finds that depends on what is left out.
struct ScanFindings {
    QList<ExclusionSummary> exclusions;
    Tally excluded;
    QMap<QString, GhostFileSummary> ghosts; // by provider
    QStringList keptFolders;
};

// A repository whose check runs beside the walk: its folder is walked as if it
// travelled, and what it holds is settled once the check has answered.
struct PendingRepository {
    struct Verdict {
        bool answered = false;
        std::optional<QString> reason;
    };
    QString tildePath;
    const ExclusionRule* rule = nullptr;
    std::optional<QString> project;
    qsizetype exclusionAt = 0; // where its entries go in the root's lists, to keep walk order
    qsizetype keptAt = 0;
    qsizetype nodeIndex = -1; // the root's child node it is, or lies in
    bool isNode = false;
    Tally inside;        // what travels below it if it does
    ScanFindings below;  // and what was found there
    std::shared_ptr<Verdict> verdict;
};

// One listed path's walk.
struct RootFindings {
    std::optional<PreFlightDirectoryNode> node;
    Tally total;
    ScanFindings findings;
    RootFigures figures;
    QList<PendingRepository> pending;
};

// Walks `listed` (a "~/" path) once: totals of what will be sent, what is left
// out and why, and the size and placeholder figures. Repository checks go to
// `checks`; settle the result with settleRepositories() after checks.wait().
// `leftOut` names ("~/" paths) what is not counted at all, as if absent.
RootFindings walkRoot(const UserFolders& home, const QString& listed, bool applyRules, ScanCounters& counters,
                      CheckQueue& checks, const RepositoryCheck& check, const LeftOut& leftOut = {});

// Applies the answered checks: a repository with unshared work travels, any
// other is left out like every other regenerable folder.
void settleRepositories(RootFindings& root, ScanCounters& counters);

} // namespace kivo
