#pragma once

#include "app/MigrationStep.h"
#include "connection/ConnectionTypes.h"
#include "transfer/UserMapping.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/TransferProgress.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

namespace kivo {

class AccountPathRewriter;
class Clock;
class ConfigurationProfileManager;
class ConnectionManager;
class DataCategoryManager;
class HomeFolderScanner;
class ManagedModeCoordinator;
class TransferConnection;
class TransferEngine;

// What the session runs against. The home folder is always passed in: the
// session never reads the real user's home on its own.
struct SessionEnvironment {
    QString homeFolder;
    QString hostname;       // shown to the peer; empty: the machine's name
    QString username;       // empty: the login user's short name
    quint16 listenPort = 0; // 0: any free port
    Clock* clock = nullptr; // the pairing window's time; null: the system's
    QString profilePath;    // the configuration profile; empty: the effective one
};

// The one session object: the wizard step, the role, the choices made so far
// and the managers that do the work. Every setter notifies only on change.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(kivo::MigrationStep currentStep READ currentStep WRITE setCurrentStep NOTIFY currentStepChanged)
    Q_PROPERTY(std::optional<kivo::DeviceRole> deviceRole READ deviceRole WRITE setDeviceRole NOTIFY deviceRoleChanged)
    Q_PROPERTY(std::optional<kivo::DiscoveredPeer> selectedPeer READ selectedPeer WRITE setSelectedPeer NOTIFY selectedPeerChanged)
    Q_PROPERTY(std::optional<QString> pairingCode READ pairingCode WRITE setPairingCode NOTIFY pairingCodeChanged)
    Q_PROPERTY(bool isPairingConfirmed READ isPairingConfirmed WRITE setPairingConfirmed NOTIFY isPairingConfirmedChanged)
    Q_PROPERTY(bool demoMode READ demoMode WRITE setDemoMode NOTIFY demoModeChanged)
    Q_PROPERTY(std::optional<kivo::UserMapping> confirmedUserMapping READ confirmedUserMapping WRITE setConfirmedUserMapping
                   NOTIFY confirmedUserMappingChanged)
    Q_PROPERTY(kivo::TransferProgress* transferProgress READ transferProgress NOTIFY transferProgressChanged)
    Q_PROPERTY(QString transferID READ transferID NOTIFY transferIDChanged)
    Q_PROPERTY(kivo::ConflictPolicy conflictPolicy READ conflictPolicy WRITE setConflictPolicy NOTIFY conflictPolicyChanged)
    Q_PROPERTY(std::optional<int> maxTransferMbps READ maxTransferMbps WRITE setMaxTransferMbps NOTIFY maxTransferMbpsChanged)
public:
    explicit AppState(SessionEnvironment environment, QObject* parent = nullptr);
    ~AppState() override;

    const SessionEnvironment& environment() const { return m_environment; }
    QString hostname() const;
    QString username() const;

    ConnectionManager* connectionManager() const { return m_connectionManager.get(); }
    DataCategoryManager* categoryManager() const { return m_categoryManager.get(); }
    HomeFolderScanner* homeFolderScanner() const { return m_homeFolderScanner.get(); }
    ConfigurationProfileManager* profileManager() const { return m_profileManager.get(); }
    // Present only once a managed run has begun.
    ManagedModeCoordinator* managedCoordinator() const { return m_managedCoordinator; }
    void setManagedCoordinator(ManagedModeCoordinator* coordinator) { m_managedCoordinator = coordinator; }

    MigrationStep currentStep() const { return m_currentStep; }
    void setCurrentStep(MigrationStep step);

    std::optional<DeviceRole> deviceRole() const { return m_deviceRole; }
    void setDeviceRole(std::optional<DeviceRole> role);

    const std::optional<DiscoveredPeer>& selectedPeer() const { return m_selectedPeer; }
    void setSelectedPeer(std::optional<DiscoveredPeer> peer);

    std::optional<QString> pairingCode() const { return m_pairingCode; }
    void setPairingCode(std::optional<QString> code);

    bool isPairingConfirmed() const { return m_isPairingConfirmed; }
    void setPairingConfirmed(bool confirmed);

    bool demoMode() const { return m_demoMode; }
    void setDemoMode(bool on);

    const std::optional<UserMapping>& confirmedUserMapping() const { return m_confirmedUserMapping; }
    void setConfirmedUserMapping(std::optional<UserMapping> mapping);

    TransferProgress* transferProgress() const { return m_transferProgress; }
    TransferEngine* transferEngine() const { return m_transferEngine.get(); }

    const QString& transferID() const { return m_transferID; }
    // Only for resuming an interrupted migration under its old identifier.
    void setTransferID(const QString& id);

    ConflictPolicy conflictPolicy() const { return m_conflictPolicy; }
    void setConflictPolicy(ConflictPolicy policy);

    std::optional<int> maxTransferMbps() const { return m_maxTransferMbps; }
    void setMaxTransferMbps(std::optional<int> mbps);

    // Rewrites the old home folder in received files; handed to each destination transfer.
    void setAccountRewriter(std::shared_ptr<AccountPathRewriter> rewriter) { m_accountRewriter = std::move(rewriter); }

    Q_INVOKABLE void goToNext();
    Q_INVOKABLE void goBack();
    // Back to a fresh start with a new transferID; stops discovery, advertising and the connection.
    Q_INVOKABLE void reset();

    // Role card chosen: the source advertises and takes its pairing code, the destination browses.
    void chooseRole(DeviceRole role);
    // Source, after the code expired: a fresh code and a fresh advertisement.
    void restartPairing();
    // Destination: remembers the peer, moves to pairing and connects in the background.
    void selectPeer(const DiscoveredPeer& peer);
    // Destination: connects to the chosen peer again, staying on the pairing step.
    void reconnectPeer(const DiscoveredPeer& peer);
    // Destination: the six typed digits. False (and nothing sent) when they differ from the
    // pairing manager's code or its window has closed.
    bool submitPairingCode(const QString& digits);
    // Creates the engine over the paired session (once) and moves on to account mapping.
    void completePairingHandshake();
    void createTransferEngine(TransferConnection* connection);
    // Stores the mapping, loads the categories and moves on.
    void confirmUserMapping(UserMapping mapping);
    // The transfer of the current role, from manifest to completion; then moves to complete.
    QCoro::Task<void> runTransfer();

Q_SIGNALS:
    void currentStepChanged();
    void deviceRoleChanged();
    void selectedPeerChanged();
    void pairingCodeChanged();
    void isPairingConfirmedChanged();
    void demoModeChanged();
    void confirmedUserMappingChanged();
    void transferIDChanged();
    void transferProgressChanged();
    void transferEngineChanged();
    void conflictPolicyChanged();
    void maxTransferMbpsChanged();
    // Leaving preflight for manifest: derived pre-flight results must be computed afresh.
    void preFlightResultsCleared();
    // The background connection to the selected peer failed.
    void connectionFailed(QString description);

private:
    void setTransferProgress(TransferProgress* progress);
    void watchSourcePairing();

    SessionEnvironment m_environment;
    std::unique_ptr<ConfigurationProfileManager> m_profileManager;
    ManagedModeCoordinator* m_managedCoordinator = nullptr;
    std::unique_ptr<DataCategoryManager> m_categoryManager;
    std::unique_ptr<ConnectionManager> m_connectionManager;
    std::unique_ptr<HomeFolderScanner> m_homeFolderScanner;

    MigrationStep m_currentStep = MigrationStep::welcome;
    std::optional<DeviceRole> m_deviceRole;
    std::optional<DiscoveredPeer> m_selectedPeer;
    std::optional<QString> m_pairingCode;
    bool m_isPairingConfirmed = false;
    bool m_demoMode = false;
    std::optional<UserMapping> m_confirmedUserMapping;
    TransferProgress* m_transferProgress = nullptr;
    std::unique_ptr<TransferProgress> m_ownProgress;
    std::unique_ptr<TransferEngine> m_transferEngine;
    QString m_transferID;
    ConflictPolicy m_conflictPolicy = ConflictPolicy::skip;
    std::optional<int> m_maxTransferMbps;
    std::shared_ptr<AccountPathRewriter> m_accountRewriter;
};

} // namespace kivo
