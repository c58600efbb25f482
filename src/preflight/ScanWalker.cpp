// SPDX-License-Identifier: Apache-2.0
#include "preflight/ScanWalker.h"

#include "categories/WalkCounter.h"
#include "platform/DirectoryEntries.h"
#include "preflight/ExclusionRules.h"
#include "preflight/PreFlightScanner.h"

#include <QDir>
#include <QSet>

namespace kivo {

namespace {

constexpr int kMaxGhostPaths = 100;

std::optional<QDateTime> modifiedOf(const fs::FileStatus& status)
{
    return QDateTime::fromSecsSinceEpoch(status.modifiedSecs, Qt::UTC);
}

QString lastComponent(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

bool isRepositoryRule(const ExclusionRule* rule) { return rule && rule->name == QLatin1String(".git"); }

class Walker {
public:
    Walker(const UserFolders& home, bool applyRules, ScanCounters& counters, CheckQueue& checks,
           const RepositoryCheck& check, const LeftOut& leftOut, RootFindings& out)
        : m_home(home), m_applyRules(applyRules), m_counters(counters), m_checks(checks), m_check(check),
          m_leftOut(leftOut), m_out(out), m_into(&out.findings)
    {
        for (const ExclusionRule& r : ExclusionRule::all())
            m_ruleNames.insert(r.name);
    }

    void walkRoot(const QString& listed)
    {
        if (m_leftOut && m_leftOut(listed))
            return;
        const QString absolute = m_home.expandTilde(listed);
        const auto status = fs::status(absolute, fs::Links::follow);
        if (!status)
            return;
        PreFlightDirectoryNode node;
        node.path = listed;
        node.name = lastComponent(QDir::cleanPath(listed));
        node.modifiedDate = modifiedOf(*status);
        if (status->isRegular()) {
            const auto provider = placeholderProvider(node.name, fs::extendedAttributes(absolute));
            countFile(status->size, provider, listed);
            tallyFigures(node.name, *status, /*hidden=*/false);
            node.fileCount = 1;
            node.totalBytes = status->size;
            node.status = provider ? NodeStatus::ghost : NodeStatus::included;
            m_out.total += {1, status->size};
            m_out.node = std::move(node);
            return;
        }
        if (!status->isDirectory())
            return;
        WalkCounter::count(absolute);
        node.isDirectory = true;
        node.children.emplace();
        const Tally t = walkDirectory(absolute, &*node.children, /*hidden=*/false, /*followRoot=*/true);
        node.fileCount = t.files;
        node.totalBytes = t.bytes;
        m_out.total += t;
        m_out.node = std::move(node);
    }

private:
    // What the size estimate and the placeholder check would find here, taken on the way.
    void tallyFigures(const QString& name, const fs::FileStatus& status, bool hidden)
    {
        RootFigures& figures = m_out.figures;
        if (!hidden)
            figures.visibleAllocatedBytes += status.allocatedBytes;
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot > 0 && QStringView(name).mid(dot + 1) == QLatin1String("icloud")) {
            ++figures.icloudNamedFiles;
            figures.icloudNamedBytes += status.size;
        }
    }

    void countFile(std::uint64_t size, const std::optional<QString>& provider, const QString& tildePath)
    {
        m_counters.files.fetch_add(1, std::memory_order_relaxed);
        m_counters.bytes.fetch_add(size, std::memory_order_relaxed);
        if (!provider)
            return;
        GhostFileSummary& g = m_into->ghosts[*provider];
        g.provider = *provider;
        ++g.count;
        if (g.paths.size() < kMaxGhostPaths)
            g.paths.append(tildePath);
    }

    const ExclusionRule* ruleFor(const QString& name, const QList<fs::DirectoryEntry>& entries, QSet<QString>& siblings)
    {
        if (!m_applyRules || !m_ruleNames.contains(name))
            return nullptr;
        if (siblings.isEmpty())
            for (const fs::DirectoryEntry& e : entries)
                siblings.insert(e.name);
        return matchExclusionRule(name, siblings);
    }

    Tally countExcluded(const QString& absolute, bool hidden)
    {
        Tally t;
        const qsizetype below = absolute.size();
        fs::forEachRegularFile(absolute, false, [&](const QString& path, const fs::FileStatus& status) {
            t += {1, status.size};
            tallyFigures(lastComponent(path), status, hidden || path.indexOf(QLatin1String("/."), below) >= 0);
        });
        return t;
    }

    // The check starts at once and runs while the repository's own folder is
    // walked; a repository inside one already waiting is checked on the spot.
    void deferRepository(const QString& absolute, const fs::DirectoryEntry& entry, const ExclusionRule* rule,
                         QList<PreFlightDirectoryNode>* nodes, const QString& parentName, const QSet<QString>& siblings)
    {
        PendingRepository p;
        p.tildePath = m_home.abbreviate(absolute);
        p.rule = rule;
        p.project = projectNameFor(parentName, siblings);
        p.exclusionAt = m_out.findings.exclusions.size();
        p.keptAt = m_out.findings.keptFolders.size();
        p.isNode = nodes != nullptr;
        p.nodeIndex = nodes ? nodes->size() : m_node;
        p.verdict = std::make_shared<PendingRepository::Verdict>();
        m_checks.submit([verdict = p.verdict, absolute, check = m_check] {
            verdict->reason = check(absolute);
            verdict->answered = true;
        });
        ScanFindings* outer = std::exchange(m_into, &p.below);
        m_inRepository = true;
        p.inside = walkDirectory(absolute, nullptr, /*hidden=*/true);
        m_inRepository = false;
        m_into = outer;
        if (nodes)
            nodes->append(directoryNode(absolute, entry, {}, NodeStatus::included));
        m_out.pending.append(std::move(p));
    }

    void excludeFolder(const QString& child, const fs::DirectoryEntry& entry, const ExclusionRule* rule, bool hidden,
                       QList<PreFlightDirectoryNode>* nodes, const QString& parentName, const QSet<QString>& siblings)
    {
        const Tally t = countExcluded(child, hidden);
        m_into->excluded += t;
        m_into->exclusions.append({m_home.abbreviate(child), rule->name, t.files, t.bytes, rule->regenerationHint,
                                   projectNameFor(parentName, siblings)});
        if (nodes)
            nodes->append(directoryNode(child, entry, t, NodeStatus::excluded));
    }

    void countRegular(const QString& absolute, const fs::DirectoryEntry& entry, bool hidden,
                      QList<PreFlightDirectoryNode>* nodes, Tally& total)
    {
        const auto provider = placeholderProvider(entry.name, entry.attributes);
        const bool named = nodes || provider;
        const QString tildePath = named ? m_home.abbreviate(absolute + QLatin1Char('/') + entry.name) : QString();
        countFile(entry.status.size, provider, tildePath);
        tallyFigures(entry.name, entry.status, hidden || entry.name.startsWith(u'.'));
        total += {1, entry.status.size};
        if (!nodes)
            return;
        PreFlightDirectoryNode node;
        node.path = tildePath;
        node.name = entry.name;
        node.fileCount = 1;
        node.totalBytes = entry.status.size;
        node.modifiedDate = modifiedOf(entry.status);
        node.status = provider ? NodeStatus::ghost : NodeStatus::included;
        nodes->append(std::move(node));
    }

    // `nodes`: where the folder's entries go as tree nodes; null below the tree's one level.
    // `hidden`: below an entry whose name begins with ".", which size estimates leave out.
    Tally walkDirectory(const QString& absolute, QList<PreFlightDirectoryNode>* nodes, bool hidden, bool followRoot = false)
    {
        if (m_counters.cancelled.load(std::memory_order_relaxed))
            return {};
        // Inside a repository's own folder no file is a cloud placeholder: its
        // attributes are not worth a system call per object file.
        const auto entries = fs::listDirectory(absolute, /*withAttributes=*/!m_inRepository, followRoot);
        if (!entries)
            return {};
        Tally total;
        QSet<QString> siblings;
        const QString parentName = lastComponent(absolute);
        for (const fs::DirectoryEntry& entry : *entries) {
            if (m_leftOut && m_leftOut(m_home.abbreviate(absolute + QLatin1Char('/') + entry.name)))
                continue;
            if (entry.status.isRegular()) {
                countRegular(absolute, entry, hidden, nodes, total);
                continue;
            }
            if (!entry.status.isDirectory())
                continue;
            const QString child = absolute + QLatin1Char('/') + entry.name;
            const bool childHidden = hidden || entry.name.startsWith(u'.');
            const ExclusionRule* rule = ruleFor(entry.name, *entries, siblings);
            if (isRepositoryRule(rule)) {
                if (!m_inRepository) {
                    deferRepository(child, entry, rule, nodes, parentName, siblings);
                    continue;
                }
                // A repository with work that exists nowhere else travels, and the report says why.
                if (const auto reason = m_check(child)) {
                    m_into->keptFolders.append(QStringLiteral("%1: %2").arg(m_home.abbreviate(child), *reason));
                    rule = nullptr;
                }
            }
            if (rule) {
                excludeFolder(child, entry, rule, childHidden, nodes, parentName, siblings);
                continue;
            }
            if (nodes)
                m_node = nodes->size();
            const Tally t = walkDirectory(child, nullptr, childHidden);
            if (nodes)
                m_node = -1;
            total += t;
            if (nodes)
                nodes->append(directoryNode(child, entry, t, NodeStatus::included));
        }
        return total;
    }

    PreFlightDirectoryNode directoryNode(const QString& absolute, const fs::DirectoryEntry& entry, const Tally& t,
                                         NodeStatus status) const
    {
        PreFlightDirectoryNode node;
        node.path = m_home.abbreviate(absolute);
        node.name = entry.name;
        node.isDirectory = true;
        node.fileCount = t.files;
        node.totalBytes = t.bytes;
        node.modifiedDate = modifiedOf(entry.status);
        node.children.emplace(); // summarised: the tree is one level deep
        node.status = status;
        return node;
    }

    const UserFolders& m_home;
    bool m_applyRules;
    ScanCounters& m_counters;
    CheckQueue& m_checks;
    const RepositoryCheck& m_check;
    const LeftOut& m_leftOut;
    RootFindings& m_out;
    ScanFindings* m_into;
    bool m_inRepository = false;
    qsizetype m_node = -1; // the root's child node the walk is in
    QSet<QString> m_ruleNames;
};

void mergeGhosts(QMap<QString, GhostFileSummary>& into, const QMap<QString, GhostFileSummary>& from)
{
    for (const GhostFileSummary& g : from) {
        GhostFileSummary& to = into[g.provider];
        to.provider = g.provider;
        to.count += g.count;
        to.paths += g.paths.mid(0, kMaxGhostPaths - to.paths.size());
    }
}

template<typename T>
void insertAt(QList<T>& list, qsizetype at, const QList<T>& items)
{
    for (qsizetype i = 0; i < items.size(); ++i)
        list.insert(at + i, items[i]);
}

} // namespace

RootFindings walkRoot(const UserFolders& home, const QString& listed, bool applyRules, ScanCounters& counters,
                      CheckQueue& checks, const RepositoryCheck& check, const LeftOut& leftOut)
{
    RootFindings out;
    Walker(home, applyRules, counters, checks, check, leftOut, out).walkRoot(listed);
    return out;
}

void settleRepositories(RootFindings& root, ScanCounters& counters)
{
    ScanFindings& f = root.findings;
    // Last first: the positions recorded for earlier ones stay true.
    for (auto it = root.pending.rbegin(); it != root.pending.rend(); ++it) {
        const PendingRepository& p = *it;
        PreFlightDirectoryNode* node = root.node && root.node->children && p.nodeIndex >= 0
                                           ? &(*root.node->children)[p.nodeIndex]
                                           : nullptr;
        if (p.verdict->reason) {
            insertAt(f.keptFolders, p.keptAt,
                     QStringList{QStringLiteral("%1: %2").arg(p.tildePath, *p.verdict->reason)} + p.below.keptFolders);
            insertAt(f.exclusions, p.exclusionAt, p.below.exclusions);
            f.excluded += p.below.excluded;
            mergeGhosts(f.ghosts, p.below.ghosts);
            root.total += p.inside;
            root.node->fileCount += p.inside.files;
            root.node->totalBytes += p.inside.bytes;
            if (node) {
                node->fileCount += p.inside.files;
                node->totalBytes += p.inside.bytes;
            }
            continue;
        }
        Tally all = p.inside;
        all += p.below.excluded;
        insertAt(f.exclusions, p.exclusionAt,
                 {{p.tildePath, p.rule->name, all.files, all.bytes, p.rule->regenerationHint, p.project}});
        f.excluded += all;
        counters.files.fetch_sub(p.inside.files, std::memory_order_relaxed);
        counters.bytes.fetch_sub(p.inside.bytes, std::memory_order_relaxed);
        if (node && p.isNode) {
            node->fileCount = all.files;
            node->totalBytes = all.bytes;
            node->status = NodeStatus::excluded;
        }
    }
    root.pending.clear();
}

} // namespace kivo
