// SPDX-License-Identifier: Apache-2.0
#include "gui/ProgressFeed.h"

#include "app/AppState.h"
#include "app/FlowEvents.h"
#include "connection/ConnectionManager.h"
#include "platform/ByteCount.h"
#include "transfer/TransferProgress.h"

#include <cmath>

namespace kivo::gui {

namespace {

QString calculating() { return QStringLiteral("Calculating…"); }

} // namespace

ProgressFeed::ProgressFeed(AppState* state, std::shared_ptr<Clock> clock, QObject* parent)
    : QObject(parent), m_state(state), m_clock(std::move(clock))
{
    m_speedText = calculating();
    m_remainingText = calculating();
    connect(state, &AppState::transferProgressChanged, this, [this] { follow(m_state->transferProgress()); });
    // The last figures are shown on the complete screen whatever the timer says.
    connect(state, &AppState::currentStepChanged, this, [this] {
        if (m_state->currentStep() == MigrationStep::complete)
            publish();
    });
    follow(state->transferProgress());
}

ProgressFeed::~ProgressFeed() = default;

void ProgressFeed::follow(TransferProgress* progress)
{
    QObject::disconnect(m_progressConnection);
    m_progress = progress;
    if (progress)
        m_progressConnection = connect(progress, &TransferProgress::changed, this, &ProgressFeed::changed);
    publish();
}

void ProgressFeed::screenShown()
{
    if (m_cancelTimer || m_cancelAvailable)
        return;
    m_cancelTimer = m_clock->schedule(kCancelDelay, [this] {
        m_cancelAvailable = true;
        Q_EMIT cancelAvailableChanged();
    });
}

void ProgressFeed::screenHidden()
{
    m_cancelTimer.reset();
    if (m_cancelAvailable) {
        m_cancelAvailable = false;
        Q_EMIT cancelAvailableChanged();
    }
}

QString ProgressFeed::phaseOf(const TransferProgress& p)
{
    if (p.isComplete() || p.completedAt() || p.isCancelled() || p.error())
        return QStringLiteral("finished");
    if (p.isVerifying())
        return QStringLiteral("verifying");
    if (p.totalFiles() == 0 && p.totalBytes() == 0)
        return QStringLiteral("waiting");
    return QStringLiteral("transferring");
}

QString ProgressFeed::remainingTextOf(std::optional<double> seconds)
{
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
        return calculating();
    const qint64 s = qint64(std::ceil(*seconds));
    if (s < 60)
        return QStringLiteral("%1 s").arg(s);
    if (s < 3600)
        return QStringLiteral("%1 min").arg((s + 59) / 60);
    return QStringLiteral("%1 h %2 min").arg(s / 3600).arg((s % 3600) / 60);
}

QString ProgressFeed::durationTextOf(double seconds)
{
    const qint64 s = qint64(std::llround(std::max(0.0, seconds)));
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg((s % 3600) / 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

void ProgressFeed::changed()
{
    if (!m_progress)
        return;
    if (phaseOf(*m_progress) != m_phase) {
        publish();
        return;
    }
    if (m_pending)
        return;
    const auto since = m_clock->monotonic() - m_lastPublish;
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kMinInterval - since);
    if (!m_everPublished || wait.count() <= 0) {
        publish();
        return;
    }
    m_pending = m_clock->schedule(wait, [this] {
        // The handle is still ours while this runs; it goes with the next publish.
        publish();
    });
}

void ProgressFeed::publish()
{
    auto pending = std::move(m_pending); // destroyed on return, also when called from it
    m_lastPublish = m_clock->monotonic();
    m_everPublished = true;
    if (m_progress) {
        const TransferProgress& p = *m_progress;
        m_phase = phaseOf(p);
        m_fraction = p.overallProgress();
        m_transferredText = QStringLiteral("%1 of %2").arg(formatFileSize(p.bytesTransferred()), formatFileSize(p.totalBytes()));
        m_filesText = QStringLiteral("%1 of %2").arg(p.filesCompleted()).arg(p.totalFiles());
        m_speedText = p.hasReliableSpeedSample() ? formatFileSize(std::uint64_t(p.speedBytesPerSecond())) + QStringLiteral("/s")
                                                 : calculating();
        m_remainingText = remainingTextOf(p.estimatedTimeRemaining());
        m_currentFile = p.currentFilePath();
        m_fileErrorCount = int(p.fileErrors().size());
    }
    if (m_state && m_state->currentStep() == MigrationStep::complete)
        m_summary = makeSummary();
    ++m_publishCount;
    Q_EMIT published();
}

QVariantMap ProgressFeed::makeSummary() const
{
    if (!m_state || !m_progress)
        return {};
    const TransferProgress& p = *m_progress;
    const DeviceRole role = m_state->deviceRole().value_or(DeviceRole::source);
    const TransferSummary s = m_state->currentSummary();
    QString outcome = QStringLiteral("complete");
    if (s.cancelled)
        outcome = QStringLiteral("cancelled");
    else if (failureOf(s) || !p.isComplete())
        outcome = QStringLiteral("issues");
    // A category that failed as a whole is said in its own words, as the command line says it.
    QVariantList failedCategories;
    for (const CategoryFailure& f : s.categoryFailures)
        failedCategories.append(QVariantMap{{QStringLiteral("name"), f.name}, {QStringLiteral("reason"), m_state->say(f.reason)}});

    const QString peer = m_state->peerName();
    const bool source = role == DeviceRole::source;
    const auto transport = m_state->connectionManager()->activeTransport();
    return {{QStringLiteral("outcome"), outcome},
            {QStringLiteral("dataTransferred"), formatFileSize(s.bytes)},
            {QStringLiteral("conflictsResolved"), s.conflictsResolved},
            {QStringLiteral("placeholdersSkipped"), int(p.iCloudStubsSkipped())},
            {QStringLiteral("verified"), s.verified},
            {QStringLiteral("verificationSkipped"), int(p.verificationFilesSkipped())},
            {QStringLiteral("mismatches"), int(s.mismatches.size())},
            {QStringLiteral("files"), QStringLiteral("%1 of %2").arg(s.filesCompleted).arg(s.totalFiles)},
            {QStringLiteral("duration"), durationTextOf(s.durationSeconds)},
            {QStringLiteral("skippedFailed"), QStringLiteral("%1 / %2").arg(s.skipped).arg(s.failed)},
            {QStringLiteral("source"), source ? m_state->hostname() : peer},
            {QStringLiteral("destination"), source ? peer : m_state->hostname()},
            {QStringLiteral("connection"), displayName(transport)},
            {QStringLiteral("failedCategories"), failedCategories},
            {QStringLiteral("error"), m_state->say(s.error)}};
}

} // namespace kivo::gui
