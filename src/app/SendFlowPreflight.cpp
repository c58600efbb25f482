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
    const PreflightSettings& settings = state.preflightSettings();
    // The applications with data come first: the application category's details name them.
    co_await state.appCompatibility()->scan();
    if (!self)
        co_return;
    PreflightInputs inputs;
    inputs.manifestSize = state.categoryManager()->totalSelectedSize();
    inputs.sourceHome = state.environment().homeFolder;
    inputs.destinationHome = settings.destinationHome.value_or(QString());
    inputs.destinationFreeBytes = settings.destinationFreeBytes;
    inputs.destinationIsLocal = settings.destinationIsLocal;
    co_await state.preflightChecker()->run(inputs);
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
