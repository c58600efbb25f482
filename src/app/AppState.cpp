#include "app/AppState.h"

#include <QUuid>

namespace kivo {

namespace {

QString newTransferID() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }

// Setter body shared by every observable field: write and notify only on change.
template <typename T, typename Signal>
void assign(AppState* self, T& field, T value, Signal signal)
{
    if (field == value)
        return;
    field = std::move(value);
    Q_EMIT(self->*signal)();
}

bool skippedByDestination(MigrationStep step)
{
    return step == MigrationStep::manifest || step == MigrationStep::preflight
        || step == MigrationStep::preflightSummary;
}

} // namespace

AppState::AppState(QObject* parent) : QObject(parent), m_transferID(newTransferID()) {}

void AppState::setCurrentStep(MigrationStep step) { assign(this, m_currentStep, step, &AppState::currentStepChanged); }
void AppState::setDeviceRole(std::optional<DeviceRole> role) { assign(this, m_deviceRole, role, &AppState::deviceRoleChanged); }
void AppState::setPairingCode(std::optional<QString> code) { assign(this, m_pairingCode, std::move(code), &AppState::pairingCodeChanged); }
void AppState::setPairingConfirmed(bool confirmed) { assign(this, m_isPairingConfirmed, confirmed, &AppState::isPairingConfirmedChanged); }
void AppState::setDemoMode(bool on) { assign(this, m_demoMode, on, &AppState::demoModeChanged); }
void AppState::setConfirmedUserMapping(std::optional<UserMapping> mapping)
{
    assign(this, m_confirmedUserMapping, std::move(mapping), &AppState::confirmedUserMappingChanged);
}
void AppState::setTransferID(const QString& id) { assign(this, m_transferID, id, &AppState::transferIDChanged); }
void AppState::setConflictPolicy(ConflictPolicy policy) { assign(this, m_conflictPolicy, policy, &AppState::conflictPolicyChanged); }
void AppState::setMaxTransferMbps(std::optional<int> mbps) { assign(this, m_maxTransferMbps, mbps, &AppState::maxTransferMbpsChanged); }

void AppState::goToNext()
{
    if (m_currentStep == MigrationStep::complete)
        return;
    auto next = static_cast<MigrationStep>(static_cast<int>(m_currentStep) + 1);
    // The destination never sees the source's selection and pre-flight screens.
    if (m_deviceRole == DeviceRole::destination && skippedByDestination(next))
        next = MigrationStep::progress;
    setCurrentStep(next);
}

void AppState::goBack()
{
    if (m_currentStep == MigrationStep::welcome)
        return;
    auto target = static_cast<MigrationStep>(static_cast<int>(m_currentStep) - 1);
    while (m_deviceRole == DeviceRole::destination && skippedByDestination(target))
        target = static_cast<MigrationStep>(static_cast<int>(target) - 1);

    if (target == MigrationStep::userMapping && m_currentStep == MigrationStep::manifest)
        setConfirmedUserMapping(std::nullopt);
    else if (target == MigrationStep::manifest)
        Q_EMIT preFlightResultsCleared();
    setCurrentStep(target);
}

void AppState::reset()
{
    setCurrentStep(MigrationStep::welcome);
    setDeviceRole(std::nullopt);
    setPairingCode(std::nullopt);
    setPairingConfirmed(false);
    setDemoMode(false);
    setConfirmedUserMapping(std::nullopt);
    setTransferID(newTransferID());
}

} // namespace kivo
