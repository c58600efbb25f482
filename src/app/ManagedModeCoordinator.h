// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "connection/ConnectionTypes.h"
#include "managed/ManagedDeploymentConfig.h"
#include "managed/SourceAttestation.h"

#include <QCoroTask>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace kivo {

struct PreFlightReport;

class AppState;
class MigrationFlow;

// Runs the whole migration without a person: checks the configuration,
// optionally the enrolment, then advertises (source) or finds, pairs with and
// receives from the first eligible source (destination), reporting each stage.
class ManagedModeCoordinator : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString stateDescription READ stateDescription NOTIFY stateChanged)
    Q_PROPERTY(QString title READ title NOTIFY stateChanged)
    Q_PROPERTY(QString detail READ detail NOTIFY stateChanged)
public:
    struct State {
        enum class Kind {
            validating, missingKeys, attestationFailed, awaitingPeer, attestating, sourceRejected,
            pairing, ready, transferring, complete, failed,
        };
        Kind kind = Kind::validating;
        QStringList keys; // missingKeys
        QString text;     // the reason, or the peer's name

        QString description() const; // "awaitingPeer", "failed(…)", …
        QString title() const;
        QString detail() const;
        bool isTerminal() const;
        bool operator==(const State&) const = default;
    };

    // Posts one telemetry event; never waits for the network and never fails.
    using PostEvent = std::function<void(QString event, QMap<QString, QString> details)>;

    struct Options {
        std::chrono::milliseconds discoveryTimeout{120000};
        std::chrono::milliseconds pairingTimeout{60000};
        // Default: the managed-preferences folder and the status tool of this system.
        std::function<AttestationOutcome()> attestLocalDevice;
        PostEvent postEvent; // empty: no telemetry endpoint
        // Managed destinations only find sources, so a source that service discovery
        // cannot publish stops; off, it waits for a connection by address (tests).
        bool sourceMustBeFound = true;
    };

    ManagedModeCoordinator(ManagedDeploymentConfig config, AppState& appState, Options options, QObject* parent = nullptr);
    ~ManagedModeCoordinator() override;

    const State& state() const { return m_state; }
    const ManagedDeploymentConfig& config() const { return m_config; }
    QString stateDescription() const { return m_state.description(); }
    QString title() const { return m_state.title(); }
    QString detail() const { return m_state.detail(); }
    // "Managed Migration", or "Managed by " and the branding name.
    QString headline() const;

    // The whole run; ends in a terminal state (the source after its transfer).
    // How it ended, for a front end's exit code.
    QCoro::Task<FlowExit> start();
    // Gives up the wait or the transfer under way.
    void cancel();

    // The pre-flight scan's totals, as telemetry.
    void postPreFlightReport(const QMap<QString, QString>& totals);
    // The figures of a source's pre-flight report that telemetry carries.
    static QMap<QString, QString> preFlightTotals(const PreFlightReport& report);

    // The transfer's end as its flow reports it: complete, or failed with the reason and mismatches.
    void finishTransfer(const TransferSummary& summary);

    // Which discovered peer a configured source kind may pair with.
    static bool isEligible(const DiscoveredPeer& peer, ManagedMigrationSource source);

Q_SIGNALS:
    void stateChanged();
    // The flow carrying the transfer, for a front end to show its progress.
    void flowStarted(kivo::MigrationFlow* flow);

private:
    friend class ManagedDestinationFlow;
    void transition(State state);
    void post(const QString& event, QMap<QString, QString> details = {});
    void applyManagedCategories();
    QCoro::Task<FlowExit> runSourceFlow();
    QCoro::Task<FlowExit> runDestinationFlow();
    QCoro::Task<FlowExit> runFlow(MigrationFlow& flow);

    ManagedDeploymentConfig m_config;
    AppState& m_appState;
    Options m_options;
    State m_state;
    QPointer<MigrationFlow> m_flow;
    bool m_cancelled = false;
};

} // namespace kivo
