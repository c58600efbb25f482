// SPDX-License-Identifier: Apache-2.0
#include "preflight/PreflightChecker.h"

#include "categories/WalkCounter.h"
#include "platform/ByteCount.h"
#include "platform/DirectoryEntries.h"
#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/PowerSources.h"
#include "platform/Processes.h"
#include "platform/VolumeSpace.h"
#include "platform/Json.h"
#include "preflight/MDMSafetyCheck.h"

#include <QPointer>
#include <QtConcurrent>

#include <QCoroFuture>

namespace kivo {

namespace {

struct Browser {
    const char* displayName;
    QList<const char*> processNames;
};

// In the order the warning names them.
const QList<Browser>& browsers()
{
    static const QList<Browser> list{
        {"Safari", {"Safari"}},
        {"Chrome", {"chrome", "google-chrome", "google-chrome-stable", "Google Chrome"}},
        {"Firefox", {"firefox", "firefox-esr", "firefox-bin"}},
        {"Arc", {"Arc"}},
    };
    return list;
}

const char* const kStubFolders[] = {"Documents", "Desktop", "Downloads", "Pictures", "Movies", "Music"};

} // namespace

QJsonObject PreflightResult::toJson() const
{
    return {{QStringLiteral("sourceHomeReadable"), sourceHomeReadable},
            {QStringLiteral("destinationSpaceAvailable"), destinationSpaceAvailable},
            {QStringLiteral("destinationFreeBytes"), double(destinationFreeBytes)},
            {QStringLiteral("requiredBytes"), double(requiredBytes)},
            {QStringLiteral("sourcePowerConnected"), sourcePowerConnected},
            {QStringLiteral("destinationPowerConnected"), destinationPowerConnected},
            {QStringLiteral("destinationMDMEnrolled"), destinationMDMEnrolled},
            {QStringLiteral("iCloudStubsDetected"), iCloudStubsDetected},
            {QStringLiteral("iCloudStubCount"), double(iCloudStubCount)},
            {QStringLiteral("iCloudStubSizeBytes"), double(iCloudStubSizeBytes)},
            {QStringLiteral("browsersClosed"), browsersClosed},
            {QStringLiteral("runningBrowsers"), json::toArray(runningBrowsers)},
            {QStringLiteral("warnings"), json::toArray(warnings)},
            {QStringLiteral("blockers"), json::toArray(blockers)}};
}

PlaceholderCount countICloudPlaceholders(const QString& home)
{
    PlaceholderCount out;
    for (const char* folder : kStubFolders) {
        const QString root = home + QLatin1Char('/') + QLatin1String(folder);
        WalkCounter::count(root);
        for (const auto& [path, status] : fs::filesEndingWith(root, QByteArrayLiteral(".icloud"))) {
            // An extension needs a name before it: ".icloud" alone has none.
            if (path.section(u'/', -1) == QLatin1String(".icloud"))
                continue;
            ++out.count;
            out.bytes += status.size;
        }
    }
    return out;
}

QStringList runningBrowsersOf(const QList<RunningProcess>& processes, unsigned uid)
{
    QStringList out;
    for (const Browser& b : browsers())
        for (const char* name : b.processNames)
            if (isProcessRunning(processes, uid, QString::fromUtf8(name))) {
                out << QString::fromUtf8(b.displayName);
                break;
            }
    return out;
}

PreflightResult runPreflightChecks(const PreflightInputs& in, const CheckEnvironment& env)
{
    PreflightResult r;
    r.requiredBytes = in.manifestSize;
    const QString destinationHome = in.destinationHome.isEmpty() ? in.sourceHome : in.destinationHome;

    r.sourceHomeReadable = fs::listDirectory(in.sourceHome, false, /*followRoot=*/true).has_value();

    std::optional<std::uint64_t> free = in.destinationFreeBytes;
    if (!free && in.destinationIsLocal)
        if (const auto space = volumeSpaceAt(destinationHome))
            free = space->availableBytes;
    const std::uint64_t needed = in.manifestSize + in.manifestSize / 10;
    if (free) {
        r.destinationFreeBytes = *free;
        r.destinationSpaceAvailable = *free >= needed;
    }

    // Both ends are this machine as far as the checks can see.
    r.sourcePowerConnected = isOnMainsPower(powerSources(env.sysfsRoot));
    r.destinationPowerConnected = r.sourcePowerConnected;

    r.destinationMDMEnrolled = checkDestination(destinationHome, env).isEnrollmentIntact;

    // Not value_or: its argument, the walk, would run even when the count is known.
    const PlaceholderCount stubs = in.placeholders ? *in.placeholders : countICloudPlaceholders(in.sourceHome);
    r.iCloudStubCount = stubs.count;
    r.iCloudStubSizeBytes = stubs.bytes;
    r.iCloudStubsDetected = r.iCloudStubCount >= 1;

    if (const auto owner = ownerOf(in.sourceHome))
        r.runningBrowsers = runningBrowsersOf(runningProcesses(env.procRoot), *owner);
    r.browsersClosed = r.runningBrowsers.isEmpty();

    if (!r.sourceHomeReadable)
        r.blockers << QStringLiteral("Cannot read source home folder — grant Full Disk Access to kivo.");
    if (!r.destinationSpaceAvailable)
        r.blockers << QStringLiteral("Destination has %1 free; %2 needed (with 10% buffer).")
                          .arg(formatFileSize(r.destinationFreeBytes), formatFileSize(needed));
    if (in.includesKeychain && env.keychainProblem) {
        r.keychainChecked = true;
        r.keychainBlocker = env.keychainProblem(in.layout);
        if (!r.keychainBlocker.isEmpty())
            r.blockers << r.keychainBlocker;
    }
    if (!r.destinationMDMEnrolled)
        r.warnings << QStringLiteral("Destination Mac is not MDM-enrolled. Migration will continue but admin policy won't apply.");
    if (r.iCloudStubsDetected)
        r.warnings << QStringLiteral("%1 iCloud Drive placeholder(s) found (%2 MB). They will be skipped — download from iCloud first if you need them on the destination.")
                          .arg(r.iCloudStubCount)
                          .arg(QString::asprintf("%.0f", static_cast<double>(r.iCloudStubSizeBytes) / 1048576.0));
    if (!r.browsersClosed)
        r.warnings << QStringLiteral("Browsers still running: %1. Quit them before migrating browser data.")
                          .arg(r.runningBrowsers.join(QStringLiteral(", ")));
    if (!r.sourcePowerConnected)
        r.warnings << QStringLiteral("This Mac is on battery. Connect to AC before starting — sleep mid-transfer will pause it.");
    return r;
}

namespace {

// Outside the coroutine: a lambda built inside one is destroyed twice by this compiler.
QFuture<PreflightResult> startChecks(PreflightInputs inputs, CheckEnvironment env)
{
    return QtConcurrent::run([inputs = std::move(inputs), env = std::move(env)] { return runPreflightChecks(inputs, env); });
}

} // namespace

PreflightChecker::PreflightChecker(CheckEnvironment environment, QObject* parent)
    : QObject(parent), m_environment(std::move(environment))
{
}

QCoro::Task<void> PreflightChecker::run(PreflightInputs inputs)
{
    QPointer<PreflightChecker> self(this);
    if (!m_isRunning) {
        m_isRunning = true;
        Q_EMIT isRunningChanged();
    }
    PreflightResult result = co_await startChecks(std::move(inputs), m_environment);
    if (!self)
        co_return;
    qCInfo(lcPreflight).noquote() << QStringLiteral("Preflight complete: blockers=%1, warnings=%2")
                                         .arg(result.blockers.size())
                                         .arg(result.warnings.size());
    if (result != m_result) {
        m_result = std::move(result);
        Q_EMIT resultChanged();
    }
    m_isRunning = false;
    Q_EMIT isRunningChanged();
    if (!m_hasRun) {
        m_hasRun = true;
        Q_EMIT hasRunChanged();
    }
}

} // namespace kivo
