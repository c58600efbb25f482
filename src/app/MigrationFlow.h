// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "connection/ConnectionTypes.h"

#include <QCoroTask>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <functional>
#include <optional>

namespace kivo {

class AppState;

// One migration, end to end, for one role: what the front ends (kivo-cli, the
// screens) run. It drives the session object and reports what happens as typed
// events; the front end renders them and passes the user's answers in.
class MigrationFlow : public QObject {
    Q_OBJECT
public:
    explicit MigrationFlow(AppState& session, QObject* parent = nullptr);
    ~MigrationFlow() override;

    AppState& session() const { return m_session; }

    // The whole flow. Never throws: every end arrives as failed() or, for a
    // transfer that ran, summaryReady() first.
    QCoro::Task<FlowExit> run();
    // The user wants out: a pending wait gives up, a running transfer is cancelled.
    void cancel();
    bool isCancelRequested() const { return m_cancelRequested; }

Q_SIGNALS:
    // Source: no peer record (the destination connected to us).
    void paired(std::optional<kivo::DiscoveredPeer> peer);
    void categoryStarted(kivo::CategoryReport category);
    void categoryCompleted(kivo::CategoryReport category);
    void progressChanged(kivo::ProgressSnapshot progress);
    void fileFailed(kivo::FileError error);
    void categoryImported(kivo::ImportReport report);
    void verificationFinished(kivo::VerificationReport report);
    void summaryReady(kivo::TransferSummary summary);
    void failed(kivo::FlowFailure failure);
    // Something the user should know that does not stop the flow.
    void warning(QString text);

protected:
    // The role's steps; ends by throwing FlowFailure on failure.
    virtual QCoro::Task<void> runSteps() = 0;
    [[noreturn]] static void fail(FlowExit exitClass, QString text);

    // True once `done` holds; false when the deadline passes or the user cancels first.
    // Re-checked whenever the session, connection or pairing state changes.
    QCoro::Task<bool> waitUntil(std::function<bool()> done,
                                std::optional<std::chrono::milliseconds> deadline = std::nullopt);
    // Runs the transfer of the session's role with its events reported.
    // The failure it ended with, if any; the summary has been reported either way.
    QCoro::Task<std::optional<FlowFailure>> transfer();

private:
    struct Wake;
    void forwardEngineEvents();
    // Something a wait may be waiting for changed: the waiting coroutine resumes
    // once, from the event loop, never inside the emitter's own call.
    void poke();
    void resumeWaiter();

    AppState& m_session;
    std::coroutine_handle<> m_waiting;
    bool m_resumeQueued = false;
    QTimer m_deadline;
    bool m_cancelRequested = false;
};

} // namespace kivo
