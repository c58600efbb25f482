#pragma once

#include "app/MigrationStep.h"
#include "postmigration/UserMapping.h"
#include "transfer/ConflictPolicy.h"

#include <QObject>
#include <QString>
#include <optional>

namespace kivo {

// The one session object: the wizard step, the role and the choices made so
// far. Every setter notifies only when the value really changes.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(kivo::MigrationStep currentStep READ currentStep WRITE setCurrentStep NOTIFY currentStepChanged)
    Q_PROPERTY(QString transferID READ transferID NOTIFY transferIDChanged)
    Q_PROPERTY(bool isPairingConfirmed READ isPairingConfirmed WRITE setPairingConfirmed NOTIFY isPairingConfirmedChanged)
    Q_PROPERTY(bool demoMode READ demoMode WRITE setDemoMode NOTIFY demoModeChanged)
public:
    explicit AppState(QObject* parent = nullptr);

    MigrationStep currentStep() const { return m_currentStep; }
    void setCurrentStep(MigrationStep step);

    std::optional<DeviceRole> deviceRole() const { return m_deviceRole; }
    void setDeviceRole(std::optional<DeviceRole> role);

    std::optional<QString> pairingCode() const { return m_pairingCode; }
    void setPairingCode(std::optional<QString> code);

    bool isPairingConfirmed() const { return m_isPairingConfirmed; }
    void setPairingConfirmed(bool confirmed);

    bool demoMode() const { return m_demoMode; }
    void setDemoMode(bool on);

    const std::optional<UserMapping>& confirmedUserMapping() const { return m_confirmedUserMapping; }
    void setConfirmedUserMapping(std::optional<UserMapping> mapping);

    const QString& transferID() const { return m_transferID; }
    // Only for resuming an interrupted migration under its old identifier.
    void setTransferID(const QString& id);

    ConflictPolicy conflictPolicy() const { return m_conflictPolicy; }
    void setConflictPolicy(ConflictPolicy policy);

    std::optional<int> maxTransferMbps() const { return m_maxTransferMbps; }
    void setMaxTransferMbps(std::optional<int> mbps);

    Q_INVOKABLE void goToNext();
    Q_INVOKABLE void goBack();
    // Back to a fresh start with a new transferID.
    Q_INVOKABLE virtual void reset();

Q_SIGNALS:
    void currentStepChanged();
    void deviceRoleChanged();
    void pairingCodeChanged();
    void isPairingConfirmedChanged();
    void demoModeChanged();
    void confirmedUserMappingChanged();
    void transferIDChanged();
    void conflictPolicyChanged();
    void maxTransferMbpsChanged();
    // Leaving preflight for manifest: derived pre-flight results must be computed afresh.
    void preFlightResultsCleared();

private:
    MigrationStep m_currentStep = MigrationStep::welcome;
    std::optional<DeviceRole> m_deviceRole;
    std::optional<QString> m_pairingCode;
    bool m_isPairingConfirmed = false;
    bool m_demoMode = false;
    std::optional<UserMapping> m_confirmedUserMapping;
    QString m_transferID;
    ConflictPolicy m_conflictPolicy = ConflictPolicy::skip;
    std::optional<int> m_maxTransferMbps;
};

} // namespace kivo
