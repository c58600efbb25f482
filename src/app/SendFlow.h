// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/MigrationFlow.h"
#include "categories/DataCategoryManager.h"
#include "preflight/PreFlightReport.h"
#include "preflight/PreflightChecker.h"
#include "preflight/PreflightSettings.h"
#include "transfer/ConflictPolicy.h"

#include <QStringList>

#include <functional>

#include <optional>

namespace kivo {

// The source: checks the selection, advertises with a code (a fresh one after
// each expiry until someone pairs), then sends the selection. Running the same
// selection again after an interruption continues the same migration.
class SendFlow : public MigrationFlow {
    Q_OBJECT
public:
    struct Request {
        std::optional<QStringList> categories; // none: every known category
        std::optional<QStringList> folders;    // none: the scanner's default selection
        std::optional<ConflictPolicy> conflictPolicy;
        std::optional<int> maxTransferMbps;
        bool allowUnverifiedPairing = false; // a destination that cannot prove the code may pair
        // Nobody will connect by address (an unattended source): a source that
        // service discovery cannot publish stops instead of waiting.
        bool mustBeFound = false;
        QStringList devInclude; // developer items toggled by name (sensitive ones and folders only so)
        // The readiness checks and the scan after pairing; the destination's disk is not ours to read.
        PreflightSettings preflight{ConnectionType::wifi, false, false, std::nullopt, std::nullopt, false};
        // The keychain moves only once its warning is confirmed: up front, or by
        // the user when asked (true: confirmed). Neither: named, the flow stops;
        // by default, it is left out.
        bool confirmSensitive = false;
        std::function<QCoro::Task<bool>(QString warning)> askSensitive;
        // Why this machine's keychain cannot be read, or empty; the system's check when unset.
        std::function<QString()> keychainProblem;
        // Run off the event loop once the selection is known, before anyone is asked to pair
        // (a snapshot of what is about to be sent); a failure ends the flow there.
        // `developerItems` is empty unless developer tools are chosen.
        std::function<std::optional<FlowFailure>(QStringList categories, QStringList folders, QString transferID,
                                                 EngineeringItemsProvider developerItems)>
            beforeAdvertising;
    };

    SendFlow(AppState& session, Request request, QObject* parent = nullptr);

    // What is wrong with a requested list, against what exists; none when nothing is.
    static std::optional<QString> unknownCategory(const QStringList& requested, const QStringList& known);
    static std::optional<QString> unknownFolder(const QStringList& requested, const QStringList& available,
                                                const QString& homeFolder);

Q_SIGNALS:
    // A code is live; again with every fresh code.
    void advertising(kivo::Advertisement advertisement);
    // After pairing, before anything is sent.
    void preflightChecks(kivo::PreflightResult result);
    void preflightReport(kivo::PreFlightReport report);

protected:
    QCoro::Task<void> runSteps() override;

private:
    QCoro::Task<QStringList> applySelection();
    QCoro::Task<QStringList> confirmSensitive(QStringList categories);
    void resumeOrRecord(const QStringList& categories, const QStringList& folders);
    void startAdvertising();
    // Ends the flow when this source must be found and nobody can find it.
    void failIfUnfindable();
    // Why nobody finds this source, and where a destination reaches it instead.
    QString unlistedWarning() const;
    void announce();
    QCoro::Task<void> awaitPairing();
    QCoro::Task<void> prepareTransfer(QStringList categories);
    QCoro::Task<void> planDeveloperTools();
    // Checks (a blocker ends the flow), the scan and the destination's conflicts.
    QCoro::Task<void> runPreflight();

    Request m_request;
};

} // namespace kivo
