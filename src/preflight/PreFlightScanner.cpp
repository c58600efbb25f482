// SPDX-License-Identifier: Apache-2.0
#include "preflight/PreFlightScanner.h"

#include "platform/Json.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
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
    const RepositoryCheck check = request.repositoryCheck ? request.repositoryCheck : RepositoryCheck(unsharedWorkIn);
    const int threads = request.checkThreads.value_or(CheckQueue::defaultThreads());
    // A few checks queued per thread keep them busy; more would only hold memory.
    CheckQueue checks(threads, std::max(1, threads) * 4, counters.cancelled);
    QList<RootFindings> results = QtConcurrent::blockingMapped<QList<RootFindings>>(
        &pool, jobs, [&home, applyRules, &counters, &checks, &check, &request](const RootJob& job) {
            LeftOut leftOut;
            if (request.neverSent)
                leftOut = [&request, id = request.categories[job.category].id](const QString& tildePath) {
                    return request.neverSent(id, tildePath);
                };
            return walkRoot(home, job.path, applyRules, counters, checks, check, leftOut);
        });
    checks.wait();
    for (RootFindings& r : results)
        settleRepositories(r, counters);

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
            const RootFindings& r = results[j];
            if (r.node) {
                summary.rootNodes.append(*r.node);
                report.rootFigures.insert(jobs[j].path, r.figures);
            }
            summary.fileCount += r.total.files;
            summary.totalBytes += r.total.bytes;
            report.exclusions += r.findings.exclusions;
            report.keptFolders += r.findings.keptFolders;
            excluded += r.findings.excluded;
            for (const GhostFileSummary& g : r.findings.ghosts) {
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
