// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "preflight/CheckEnvironment.h"

#include <QCoroTask>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>

namespace kivo {

struct RunningProcess;

struct PreflightResult {
    bool sourceHomeReadable = true;
    bool destinationSpaceAvailable = true;
    std::uint64_t destinationFreeBytes = 0;
    std::uint64_t requiredBytes = 0;
    bool sourcePowerConnected = true;
    bool destinationPowerConnected = true;
    bool destinationMDMEnrolled = false;
    bool iCloudStubsDetected = false;
    std::int64_t iCloudStubCount = 0;
    std::uint64_t iCloudStubSizeBytes = 0;
    bool browsersClosed = true;
    QStringList runningBrowsers;
    QStringList warnings;
    QStringList blockers;
    // Asked only of a selection that holds the keychain; the blocker it raised, if any
    // (also in `blockers`), so that a screen can show it under the keychain's own line.
    bool keychainChecked = false;
    QString keychainBlocker;

    QJsonObject toJson() const;
    bool operator==(const PreflightResult&) const = default;
};

// iCloud placeholders in the user's folders of a home.
struct PlaceholderCount {
    std::int64_t count = 0;
    std::uint64_t bytes = 0;
};
PlaceholderCount countICloudPlaceholders(const QString& home);

// What the checks are run against.
struct PreflightInputs {
    std::uint64_t manifestSize = 0;
    QString sourceHome;      // this machine's home folder being migrated
    QString destinationHome; // empty: the source home
    // The destination's free bytes when it is another machine and they are
    // known; none with `destinationIsLocal` false means they cannot be read.
    std::optional<std::uint64_t> destinationFreeBytes;
    bool destinationIsLocal = true;
    // Counted beforehand (by a walk that went there anyway); none: counted with the other checks.
    std::optional<PlaceholderCount> placeholders;
    // The selection holds the keychain: a keychain that cannot be read blocks, as sending it would fail.
    bool includesKeychain = false;
    // How the source home is laid out: its findings name categories as it does.
    HomeLayoutKind layout = HomeLayoutKind::Linux;
};

// The display names of the recognised browsers among `processes` run by `uid`, in a fixed order.
QStringList runningBrowsersOf(const QList<RunningProcess>& processes, unsigned uid);

// All checks at once; blocking (it reads the process table and may run tools).
PreflightResult runPreflightChecks(const PreflightInputs& inputs, const CheckEnvironment& environment);

// The readiness checks of the pre-flight screen.
class PreflightChecker : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(bool hasRun READ hasRun NOTIFY hasRunChanged)
    Q_PROPERTY(QStringList blockers READ blockers NOTIFY resultChanged)
    Q_PROPERTY(QStringList warnings READ warnings NOTIFY resultChanged)
public:
    explicit PreflightChecker(CheckEnvironment environment = CheckEnvironment::fromProcess(), QObject* parent = nullptr);

    const PreflightResult& result() const { return m_result; }
    bool isRunning() const { return m_isRunning; }
    bool hasRun() const { return m_hasRun; }
    QStringList blockers() const { return m_result.blockers; }
    QStringList warnings() const { return m_result.warnings; }

    QCoro::Task<void> run(PreflightInputs inputs);
    // Where the next run looks; a run already out keeps the one it started with.
    void setEnvironment(CheckEnvironment environment) { m_environment = std::move(environment); }

Q_SIGNALS:
    void resultChanged();
    void isRunningChanged();
    void hasRunChanged();

private:
    CheckEnvironment m_environment;
    PreflightResult m_result;
    bool m_isRunning = false;
    bool m_hasRun = false;
};

} // namespace kivo
