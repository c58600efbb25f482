// SPDX-License-Identifier: Apache-2.0
#include "preflight/PreFlightScanner.h"

#include "platform/DirectoryEntries.h"
#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
#include "preflight/ExclusionRules.h"
#include "preflight/GitRepositoryCheck.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QPointer>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

#include <QCoroFuture>

namespace kivo {

namespace {

constexpr int kMaxGhostPaths = 100;

struct Provider {
    const char* name;
    QByteArray attribute;
};

const Provider kProviders[] = {
    {"iCloud", QByteArrayLiteral("com.apple.icloud.itemDownloadStatus")},
    {"Dropbox", QByteArrayLiteral("com.dropbox.attrs")},
    {"OneDrive", QByteArrayLiteral("com.microsoft.OneDrive")},
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

std::optional<QDateTime> modifiedOf(const fs::FileStatus& status)
{
    return QDateTime::fromSecsSinceEpoch(status.modifiedSecs, Qt::UTC);
}

QString lastComponent(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash < 0 ? path : path.mid(slash + 1);
}

// One category's walk: totals of what will be sent, plus what is left out and why.
class Walker {
public:
    Walker(const UserFolders& home, bool applyRules, ScanCounters& counters)
        : m_home(home), m_applyRules(applyRules), m_counters(counters)
    {
        for (const ExclusionRule& r : ExclusionRule::all())
            m_ruleNames.insert(r.name);
    }

    // One listed path: its root node, when something is there.
    std::optional<PreFlightDirectoryNode> walkRoot(const QString& listed, Tally& total)
    {
        const QString absolute = m_home.expandTilde(listed);
        const auto status = fs::status(absolute, fs::Links::follow);
        if (!status)
            return std::nullopt;
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
            total += {1, status->size};
            return node;
        }
        if (!status->isDirectory())
            return std::nullopt;
        node.isDirectory = true;
        node.children.emplace();
        const Tally t = walkDirectory(absolute, &*node.children, /*hidden=*/false, /*followRoot=*/true);
        node.fileCount = t.files;
        node.totalBytes = t.bytes;
        total += t;
        return node;
    }

    QList<ExclusionSummary> exclusions;
    Tally excluded;
    QMap<QString, GhostFileSummary> ghosts;
    QStringList keptFolders;
    RootFigures figures;

private:
    // What the size estimate and the placeholder check would find here, taken on the way.
    void tallyFigures(const QString& name, const fs::FileStatus& status, bool hidden)
    {
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
        GhostFileSummary& g = ghosts[*provider];
        g.provider = *provider;
        ++g.count;
        if (g.paths.size() < kMaxGhostPaths)
            g.paths.append(tildePath);
    }

    // The rule that leaves `name` out here, if any; a repository with work
    // that exists nowhere else travels, and the report says why.
    const ExclusionRule* exclusionFor(const QString& name, const QString& absolute,
                                      const QList<fs::DirectoryEntry>& entries, QSet<QString>& siblings)
    {
        if (!m_applyRules || !m_ruleNames.contains(name))
            return nullptr;
        if (siblings.isEmpty())
            for (const fs::DirectoryEntry& e : entries)
                siblings.insert(e.name);
        const ExclusionRule* rule = matchExclusionRule(name, siblings);
        if (rule && rule->name == QLatin1String(".git")) {
            if (const auto reason = unsharedWorkIn(absolute)) {
                keptFolders.append(QStringLiteral("%1: %2").arg(m_home.abbreviate(absolute), *reason));
                return nullptr;
            }
        }
        return rule;
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

    // `nodes`: where the folder's entries go as tree nodes; null below the tree's one level.
    // `hidden`: below an entry whose name begins with ".", which size estimates leave out.
    Tally walkDirectory(const QString& absolute, QList<PreFlightDirectoryNode>* nodes, bool hidden, bool followRoot = false)
    {
        if (m_counters.cancelled.load(std::memory_order_relaxed))
            return {};
        const auto entries = fs::listDirectory(absolute, /*withAttributes=*/true, followRoot);
        if (!entries)
            return {};
        Tally total;
        QSet<QString> siblings;
        for (const fs::DirectoryEntry& entry : *entries) {
            if (entry.status.isDirectory()) {
                const QString child = absolute + QLatin1Char('/') + entry.name;
                const bool childHidden = hidden || entry.name.startsWith(u'.');
                if (const ExclusionRule* rule = exclusionFor(entry.name, child, *entries, siblings)) {
                    const Tally t = countExcluded(child, childHidden);
                    excluded += t;
                    exclusions.append({m_home.abbreviate(child), rule->name, t.files, t.bytes, rule->regenerationHint,
                                       projectNameFor(lastComponent(absolute), siblings)});
                    if (nodes)
                        nodes->append(directoryNode(child, entry, t, NodeStatus::excluded));
                    continue;
                }
                const Tally t = walkDirectory(child, nullptr, childHidden);
                total += t;
                if (nodes)
                    nodes->append(directoryNode(child, entry, t, NodeStatus::included));
            } else if (entry.status.isRegular()) {
                const auto provider = placeholderProvider(entry.name, entry.attributes);
                const bool named = nodes || provider;
                const QString tildePath = named ? m_home.abbreviate(absolute + QLatin1Char('/') + entry.name) : QString();
                countFile(entry.status.size, provider, tildePath);
                tallyFigures(entry.name, entry.status, hidden || entry.name.startsWith(u'.'));
                total += {1, entry.status.size};
                if (nodes) {
                    PreFlightDirectoryNode node;
                    node.path = tildePath;
                    node.name = entry.name;
                    node.fileCount = 1;
                    node.totalBytes = entry.status.size;
                    node.modifiedDate = modifiedOf(entry.status);
                    node.status = provider ? NodeStatus::ghost : NodeStatus::included;
                    nodes->append(std::move(node));
                }
            }
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
    QSet<QString> m_ruleNames;
};

} // namespace

std::optional<QString> placeholderProvider(const QString& name, const QList<QByteArray>& attributes)
{
    for (const Provider& p : kProviders)
        if (attributes.contains(p.attribute))
            return QString::fromLatin1(p.name);
    if (name.startsWith(u'.') && name.endsWith(QLatin1String(".icloud")))
        return QStringLiteral("iCloud");
    return std::nullopt;
}

namespace {

// One listed path walked on its own, so that roots can be walked side by side.
struct RootResult {
    std::optional<PreFlightDirectoryNode> node;
    Tally total;
    QList<ExclusionSummary> exclusions;
    Tally excluded;
    QMap<QString, GhostFileSummary> ghosts;
    QStringList keptFolders;
    RootFigures figures;
};

struct RootJob {
    qsizetype category;
    QString path;
};

} // namespace

PreFlightReport scanHome(const QString& homeFolder, const ScanRequest& request, ConnectionType connectionType,
                         bool thunderboltAvailable, ScanCounters& counters)
{
    const UserFolders home(homeFolder);
    QList<RootJob> jobs;
    for (qsizetype i = 0; i < request.categories.size(); ++i) {
        const DataCategory& category = request.categories[i];
        const QStringList paths = category.id == QLatin1String("userFiles") && !request.userFilesSelectedPaths.isEmpty()
                                    ? request.userFilesSelectedPaths
                                    : category.paths;
        for (const QString& path : paths)
            jobs.append({i, path});
    }
    // The walks are the system's work (listing and examining entries): roots go side by side.
    QThreadPool pool;
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    const bool applyRules = !request.includeDerived;
    const QList<RootResult> results = QtConcurrent::blockingMapped<QList<RootResult>>(
        &pool, jobs, [&home, applyRules, &counters](const RootJob& job) {
            Walker walker(home, applyRules, counters);
            RootResult r;
            r.node = walker.walkRoot(job.path, r.total);
            r.exclusions = std::move(walker.exclusions);
            r.excluded = walker.excluded;
            r.ghosts = std::move(walker.ghosts);
            r.keptFolders = std::move(walker.keptFolders);
            r.figures = walker.figures;
            return r;
        });

    PreFlightReport report;
    report.connectionType = connectionType;
    report.thunderboltAvailable = thunderboltAvailable;
    QMap<QString, GhostFileSummary> ghosts; // sorted by provider
    Tally excluded;
    for (qsizetype i = 0; i < request.categories.size(); ++i) {
        const DataCategory& category = request.categories[i];
        CategorySummary summary;
        summary.category = category.id;
        for (qsizetype j = 0; j < jobs.size(); ++j) {
            if (jobs[j].category != i)
                continue;
            const RootResult& r = results[j];
            if (r.node) {
                summary.rootNodes.append(*r.node);
                report.rootFigures.insert(jobs[j].path, r.figures);
            }
            summary.fileCount += r.total.files;
            summary.totalBytes += r.total.bytes;
            report.exclusions += r.exclusions;
            report.keptFolders += r.keptFolders;
            excluded += r.excluded;
            for (const GhostFileSummary& g : r.ghosts) {
                GhostFileSummary& into = ghosts[g.provider];
                into.provider = g.provider;
                into.count += g.count;
                into.paths += g.paths.mid(0, kMaxGhostPaths - into.paths.size());
            }
        }
        if (category.id == QLatin1String("applicationData") && !request.applicationNames.isEmpty())
            summary.details = request.applicationNames.mid(0, 3).join(QStringLiteral(", "));
        report.rootNodes.append(summary.rootNodes);
        report.totalFiles += summary.fileCount;
        report.totalBytes += summary.totalBytes;
        report.categories.append(std::move(summary));
    }
    report.excludedFiles = excluded.files;
    report.excludedBytes = excluded.bytes;
    report.ghostFiles = ghosts.values();
    report.stagedPrefs = request.stagedBundles;
    report.estimatedSeconds = estimatedSecondsFor(report.totalBytes, connectionType);
    report.generatedAt = QDateTime::currentDateTimeUtc();
    return report;
}

QList<StagedPrefSummary> stagedPrefSummaries(const QString& homeFolder)
{
    const QDir root(homeFolder + QStringLiteral("/.kivo-staged-prefs"));
    QList<StagedPrefSummary> out;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name)) {
        QFile file(root.filePath(name) + QStringLiteral("/bundle.json"));
        if (!file.open(QIODevice::ReadOnly) || file.size() > 16 * 1024 * 1024)
            continue;
        try {
            const QJsonObject o = json::parseObject(file.readAll());
            StagedPrefSummary s{json::requireString(o, "displayName"), json::requireString(o, "id"), 0, 0};
            for (const QJsonValue& v : json::requireArray(o, "entries")) {
                ++s.fileCount;
                s.totalBytes += static_cast<std::uint64_t>(v.toObject().value(QLatin1String("size")).toDouble());
            }
            out.append(s);
        } catch (const DecodingError& e) {
            qCInfo(lcPreFlightScanner).noquote() << "Unreadable staged bundle" << name << e.description();
        }
    }
    return out;
}

namespace {

// Outside the coroutine: a lambda built inside one is destroyed twice by this compiler.
QFuture<PreFlightReport> startScan(QString home, ScanRequest request, ConnectionType type, bool thunderbolt,
                                   std::shared_ptr<ScanCounters> counters)
{
    return QtConcurrent::run([home = std::move(home), request = std::move(request), type, thunderbolt, counters] {
        return scanHome(home, request, type, thunderbolt, *counters);
    });
}

} // namespace

PreFlightScanner::PreFlightScanner(QString homeFolder, ConnectionType connectionType, bool thunderboltAvailable,
                                   QObject* parent)
    : QObject(parent),
      m_home(std::move(homeFolder)),
      m_connectionType(connectionType),
      m_thunderboltAvailable(thunderboltAvailable),
      m_counters(std::make_shared<ScanCounters>())
{
    m_timer.setInterval(std::chrono::milliseconds(250));
    connect(&m_timer, &QTimer::timeout, this, &PreFlightScanner::publish);
}

PreFlightScanner::~PreFlightScanner() { cancel(); }

void PreFlightScanner::cancel() { m_counters->cancelled = true; }

void PreFlightScanner::publish()
{
    Q_EMIT progress(m_counters->files.load(), m_counters->bytes.load());
}

QCoro::Task<std::optional<PreFlightReport>> PreFlightScanner::scan(ScanRequest request)
{
    QPointer<PreFlightScanner> self(this);
    // The walk keeps its own share of the counters: a scanner dropped mid-scan leaves it nothing dangling.
    std::shared_ptr<ScanCounters> counters = m_counters;
    counters->files = 0;
    counters->bytes = 0;
    Q_EMIT progress(0, 0);
    m_timer.start();
    PreFlightReport report = co_await startScan(m_home, std::move(request), m_connectionType, m_thunderboltAvailable, counters);
    if (!self || counters->cancelled)
        co_return std::nullopt;
    m_timer.stop();
    publish();
    qCInfo(lcPreFlightScanner).noquote()
        << QStringLiteral("Scan complete: %1 files, %2 bytes, %3 excluded").arg(report.totalFiles).arg(report.totalBytes).arg(report.excludedFiles);
    co_return report;
}

} // namespace kivo
