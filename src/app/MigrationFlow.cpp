// SPDX-License-Identifier: Apache-2.0
#include "app/MigrationFlow.h"

#include "app/AppState.h"
#include "categories/DataCategory.h"
#include "connection/ConnectionManager.h"
#include "connection/PairingManager.h"
#include "log/MigrationLogger.h"
#include "platform/Error.h"
#include "transfer/TransferEngine.h"

#include <QDeadlineTimer>
#include <QPointer>

namespace kivo {

struct MigrationFlow::Wake {
    MigrationFlow* flow;
    std::chrono::milliseconds timeout;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle)
    {
        flow->m_waiting = handle;
        if (timeout.count() >= 0)
            flow->m_deadline.start(timeout);
    }
    void await_resume() const noexcept {}
};

MigrationFlow::MigrationFlow(AppState& session, QObject* parent) : QObject(parent), m_session(session)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &MigrationFlow::resumeWaiter);
    const auto poke = [this] { this->poke(); };
    ConnectionManager* cm = session.connectionManager();
    connect(cm, &ConnectionManager::stateChanged, this, poke);
    connect(cm, &ConnectionManager::discoveredPeersChanged, this, poke);
    connect(cm, &ConnectionManager::transferSessionChanged, this, poke);
    connect(cm, &ConnectionManager::incomingPeerReadyChanged, this, poke);
    connect(cm, &ConnectionManager::discoveryFailureChanged, this, poke);
    connect(cm->pairingManager(), &PairingManager::isExpiredChanged, this, poke);
    connect(&session, &AppState::isPairingConfirmedChanged, this, poke);
    connect(&session, &AppState::connectionFailed, this, poke);
}

MigrationFlow::~MigrationFlow() = default;

void MigrationFlow::poke()
{
    if (!m_waiting || m_resumeQueued)
        return;
    m_resumeQueued = true;
    QMetaObject::invokeMethod(this, &MigrationFlow::resumeWaiter, Qt::QueuedConnection);
}

void MigrationFlow::resumeWaiter()
{
    m_resumeQueued = false;
    m_deadline.stop();
    if (auto handle = std::exchange(m_waiting, {}))
        handle.resume();
}

void MigrationFlow::fail(FlowExit exitClass, QString text) { throw FlowFailure{exitClass, std::move(text)}; }

QCoro::Task<FlowExit> MigrationFlow::run()
{
    FlowFailure failure;
    try {
        co_await runSteps();
        co_return FlowExit::success;
    } catch (const FlowFailure& f) {
        failure = f;
    } catch (const std::exception& e) {
        failure = {FlowExit::transferFailed, describe(e)};
    }
    // Whatever a wait the user cut short reports, the user cancelled: no pairing or search failed.
    if (m_cancelRequested && failure.exitClass != FlowExit::transferFailed)
        failure = {FlowExit::transferFailed, QStringLiteral("Cancelled.")};
    Q_EMIT failed(failure);
    co_return failure.exitClass;
}

void MigrationFlow::cancel()
{
    m_cancelRequested = true;
    if (TransferEngine* engine = m_session.transferEngine(); engine && !engine->isCancelled())
        engine->cancel();
    poke();
}

QCoro::Task<bool> MigrationFlow::waitUntil(std::function<bool()> done, std::optional<std::chrono::milliseconds> deadline)
{
    const QDeadlineTimer timer = deadline ? QDeadlineTimer(*deadline) : QDeadlineTimer(QDeadlineTimer::Forever);
    // The state is checked before every wait: a change signalled earlier is not delivered again.
    while (!done()) {
        if (m_cancelRequested || timer.hasExpired())
            co_return false;
        const auto left = timer.isForever() ? std::chrono::milliseconds(-1)
                                            : std::chrono::milliseconds(std::max<qint64>(1, timer.remainingTime()));
        co_await Wake{this, left};
    }
    co_return true;
}

void MigrationFlow::forwardEngineEvents()
{
    TransferEngine* engine = m_session.transferEngine();
    TransferProgress* progress = engine->progress();
    connect(progress, &TransferProgress::changed, this, [this, progress] {
        // Nothing to measure until the manifest has given the totals.
        if (progress->totalFiles() > 0)
            Q_EMIT progressChanged(ProgressSnapshot::of(*progress));
    });
    // Named as the source's layout names them: the manifest says which it is.
    const auto displayName = [this, engine](const QString& id) {
        const auto& manifest = engine->manifest();
        return HomeLayout::of(manifest ? layoutOfManifestField(manifest->layout) : m_session.homeLayout())
            .displayNameFor(id);
    };
    connect(engine, &TransferEngine::categoryStarted, this, [this, displayName](const QString& id) {
        Q_EMIT categoryStarted({id, displayName(id), 0, 0});
    });
    connect(engine, &TransferEngine::categoryCompleted, this, [this, progress, displayName](const QString& id) {
        const CategoryProgress c = progress->categoryProgress().value(id);
        std::optional<QString> failure;
        if (const auto f = m_session.importFailures().constFind(id); f != m_session.importFailures().cend())
            failure = f->reason;
        Q_EMIT categoryCompleted({id, displayName(id), c.filesCompleted, c.bytesTransferred, failure});
    });
    connect(engine, &TransferEngine::fileFailed, this, [this](const FileError& e) { Q_EMIT fileFailed(e); });
    connect(engine, &TransferEngine::categoryImported, this, [this](const QString& id, int imported, int updated, int failed) {
        Q_EMIT categoryImported({id, imported, updated, failed, std::nullopt});
    });
    // The session keeps the failure (it was told first, when it made the engine).
    connect(engine, &TransferEngine::categoryImportFailed, this,
            [this](const QString& id, const QString& error, bool serviceUnavailable) {
                Q_EMIT categoryImported({id, 0, 0, 0, error, serviceUnavailable});
            });
    connect(engine, &TransferEngine::verificationFinished, this, [this, engine, progress] {
        VerificationReport report{int(progress->verificationFilesChecked()), int(progress->verificationFilesSkipped()),
                                  progress->verificationMismatches(), {}};
        if (const auto& manifest = engine->manifest())
            report.takeCategoryFailures(*manifest, m_session.categoryFailures());
        Q_EMIT verificationFinished(report);
    });
}

QCoro::Task<std::optional<FlowFailure>> MigrationFlow::transfer()
{
    TransferEngine* engine = m_session.transferEngine();
    if (!engine)
        fail(FlowExit::transferFailed, ConnectionError::connectionFailed(QStringLiteral("No active session")).description());
    forwardEngineEvents();
    if (m_cancelRequested)
        engine->cancel();
    co_await m_session.runTransfer();
    m_session.completeMigrationLog();
    if (const auto endpoint = m_session.logEndpoint()) {
        const PostOutcome posted = co_await m_session.migrationLogger()->postLog(*endpoint);
        if (!posted.posted)
            Q_EMIT warning(posted.message);
    }

    ProgressSnapshot last = ProgressSnapshot::of(*engine->progress());
    last.isFinal = true;
    Q_EMIT progressChanged(last);
    // The session counted it before moving on to the complete step; not when it was reset meanwhile.
    std::optional<TransferSummary> summary = m_session.transferSummary();
    if (!summary) {
        QPointer<MigrationFlow> self(this);
        summary = co_await TransferSummary::compute(*m_session.deviceRole(), *engine->progress(), engine->manifest());
        if (!self)
            co_return failureOf(*summary);
    }
    // The session's own summary has them in place already; one counted here does not.
    if (const auto& manifest = engine->manifest())
        summary->takeCategoryFailures(*manifest, m_session.categoryFailures());
    Q_EMIT summaryReady(*summary);
    co_return failureOf(*summary);
}

} // namespace kivo
