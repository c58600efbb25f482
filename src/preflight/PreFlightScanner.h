// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "categories/DataCategory.h"
#include "preflight/PreFlightReport.h"
#include "preflight/ScanWalker.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace kivo {

// What a scan looks at.
struct ScanRequest {
    QList<DataCategory> categories;     // the selected ones, in order
    QStringList userFilesSelectedPaths; // "~/" folders narrowing "userFiles"; empty: the category's own
    QList<StagedPrefSummary> stagedBundles;
    QStringList applicationNames; // apps with data, for the application category's details
    bool includeDerived = false;  // no exclusion rule anywhere
    // Whether a repository must travel; empty: git is asked (unsharedWorkIn).
    RepositoryCheck repositoryCheck;
    // Threads the repository checks run on beside the walk; none: one after
    // the other inside it; unset: CheckQueue::defaultThreads().
    std::optional<int> checkThreads;
    // What a category's handler never sends (HomeLayout::neverSent); such
    // entries are not counted. Empty: everything listed counts.
    std::function<bool(const QString& categoryID, const QString& tildePath)> neverSent;
};

// The walk behind a scan: blocking, so run it off the main thread. Every
// regular file below the paths counts once, hidden ones included, links never
// followed (a listed path itself is, as the manifest does); exclusion rules and
// the placeholder test apply at every depth, the tree stays one level deep.
// Each listed path is walked once; the repository checks run beside the walks.
PreFlightReport scanHome(const QString& homeFolder, const ScanRequest& request, ConnectionType connectionType,
                         bool thunderboltAvailable, ScanCounters& counters);

// The cloud provider `name` with `attributes` is a placeholder of, if any.
std::optional<QString> placeholderProvider(const QString& name, const QList<QByteArray>& attributes);

// Staged preference bundles waiting under <home>/.kivo-staged-prefs, one
// summary each; unreadable bundles are left out.
QList<StagedPrefSummary> stagedPrefSummaries(const QString& homeFolder);

// One scan, run on the thread pool; progress is published on the main thread
// while it runs. Discard the scanner to abandon a scan: its result is dropped.
class PreFlightScanner : public QObject {
    Q_OBJECT
public:
    PreFlightScanner(QString homeFolder, ConnectionType connectionType, bool thunderboltAvailable,
                     QObject* parent = nullptr);
    ~PreFlightScanner() override;

    const QString& homeFolder() const { return m_home; }
    ConnectionType connectionType() const { return m_connectionType; }
    bool thunderboltAvailable() const { return m_thunderboltAvailable; }
    // How often progress is published while a scan runs.
    void setProgressInterval(std::chrono::milliseconds interval) { m_timer.setInterval(interval); }

    // Nothing when the scan was cancelled.
    QCoro::Task<std::optional<PreFlightReport>> scan(ScanRequest request);
    void cancel();

Q_SIGNALS:
    void progress(qint64 files, quint64 bytes);

private:
    void publish();

    QString m_home;
    ConnectionType m_connectionType;
    bool m_thunderboltAvailable;
    std::shared_ptr<ScanCounters> m_counters;
    QTimer m_timer;
};

} // namespace kivo
