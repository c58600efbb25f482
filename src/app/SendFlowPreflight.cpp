// SPDX-License-Identifier: Apache-2.0
#include "app/SendFlow.h"

#include "app/AppState.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeFolderScanner.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/PreflightChecker.h"
#include "preflight/ScanFigures.h"

#include <QPointer>

namespace kivo {

namespace {

// The checks' inputs as the readiness screen gathers them, with what the scan counted.
PreflightInputs checkInputs(const AppState& state, const std::optional<PreFlightReport>& report)
{
    PreflightInputs inputs = state.readinessInputs();
    // Asked before anyone paired, through the request's own check.
    inputs.includesKeychain = false;
    if (report)
        inputs.placeholders = placeholdersFromScan(*report, inputs.sourceHome);
    return inputs;
}

} // namespace

// One walk of the chosen folders gives the report, the size estimates and the
// placeholder count; the checks then run on what it found.
QCoro::Task<void> SendFlow::runPreflight()
{
    QPointer<SendFlow> self(this);
    AppState& state = session();
    state.setPreflightSettings(m_request.preflight);
    // The applications with data come first: the application category's details name them.
    co_await state.appCompatibility()->scan();
    if (!self)
        co_return;

    co_await state.runPreFlightScan();
    if (!self)
        co_return;
    if (isCancelRequested())
        fail(FlowExit::transferFailed, QStringLiteral("Cancelled."));
    const std::optional<PreFlightReport> report = state.preFlightReport();
    HomeFolderScanner* folders = state.homeFolderScanner();
    if (report) {
        folders->setSizes(visibleBytesByRoot(*report));
        applyScanSizes(*state.categoryManager(), *report);
    }

    co_await state.preflightChecker()->run(checkInputs(state, report));
    if (!self)
        co_return;
    const PreflightResult checks = state.preflightChecker()->result();
    Q_EMIT preflightChecks(checks);
    if (!checks.blockers.isEmpty())
        fail(FlowExit::refused, checks.blockers.join(u'\n'));

    co_await state.mergeDestinationConflictsIntoReport();
    if (!self)
        co_return;
    if (state.preFlightReport())
        Q_EMIT preflightReport(*state.preFlightReport());
}

} // namespace kivo
