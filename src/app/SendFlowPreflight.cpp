// SPDX-License-Identifier: Apache-2.0
#include "app/SendFlow.h"

#include "app/AppState.h"
#include "categories/DataCategoryManager.h"
#include "preflight/AppCompatibilityManager.h"
#include "preflight/PreflightChecker.h"

#include <QPointer>

namespace kivo {

QCoro::Task<void> SendFlow::runPreflight()
{
    QPointer<SendFlow> self(this);
    AppState& state = session();
    state.setPreflightSettings(m_request.preflight);
    // The applications with data come first: the application category's details name them.
    co_await state.appCompatibility()->scan();
    if (!self)
        co_return;
    co_await state.runPreflightChecks();
    if (!self)
        co_return;
    const PreflightResult checks = state.preflightChecker()->result();
    Q_EMIT preflightChecks(checks);
    if (!checks.blockers.isEmpty())
        fail(FlowExit::refused, checks.blockers.join(u'\n'));

    co_await state.runPreFlightScan();
    if (!self)
        co_return;
    if (isCancelRequested())
        fail(FlowExit::transferFailed, QStringLiteral("Cancelled."));
    co_await state.mergeDestinationConflictsIntoReport();
    if (!self)
        co_return;
    if (state.preFlightReport())
        Q_EMIT preflightReport(*state.preFlightReport());
}

} // namespace kivo
