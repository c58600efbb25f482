// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "app/FlowEvents.h"
#include "app/MigrationStep.h"
#include "app/SessionOptions.h"
#include "categories/DataCategoryManager.h"
#include "categories/HomeLayout.h"
#include "connection/ConnectionTypes.h"
#include "preflight/PreFlightReport.h"
#include "preflight/PreflightSettings.h"
#include "postmigration/ReinstallList.h"
#include "transfer/UserMapping.h"
#include "transfer/ConflictPolicy.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferProgress.h"

#include <QCoroTask>
#include <QFuture>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>
#include <functional>
#include <QVariantList>
#include <QVariantMap>
#include <memory>
#include <vector>
#include <optional>
#include <variant>

class QTemporaryDir;

namespace kivo {

class AccountPathRewriter;
class DestinationTransfer;
class PermissionsCorrector;
class StagedPrefService;
class UserAccountMapper;
struct UserAccount;
enum class PrefRestoreMode;
class AppCompatibilityManager;
class PreFlightScanner;
class PreflightChecker;
struct PreflightInputs;
class SpaceValidator;
struct TransferManifest;
class Clock;
class ConfigurationProfileManager;
class ConnectionManager;
class DataCategoryManager;
class EngineeringMigrationPlan;
class EngineeringToolsDetector;
class MigrationLogger;
class DemoPeer;
class HomeFolderScanner;
class KeychainHandler;
class SystemSettingsHandler;
class ManagedModeCoordinator;
class TelemetryClient;
enum class FlowExit;
class TransferConnection;
class TransferEngine;

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

    // The same state in the plain shapes the screens bind to (no optionals, no records).
    Q_PROPERTY(int stepValue READ stepValue NOTIFY currentStepChanged)
    Q_PROPERTY(QString roleName READ roleName NOTIFY deviceRoleChanged)
    Q_PROPERTY(QString hostName READ hostname CONSTANT)
    Q_PROPERTY(QString pairingCodeText READ pairingCodeText NOTIFY pairingCodeChanged)
    Q_PROPERTY(bool pairingExpired READ pairingExpired NOTIFY pairingExpiredChanged)
    Q_PROPERTY(bool pairingInProgress READ pairingInProgress NOTIFY pairingInProgressChanged)
    Q_PROPERTY(QString pairingErrorText READ pairingErrorText NOTIFY pairingErrorTextChanged)
    // Destination: the source is busy with another pairing and the attempt is repeated.
    Q_PROPERTY(QString pairingRetryText READ pairingRetryText NOTIFY pairingRetryTextChanged)
    Q_PROPERTY(QString connectionErrorText READ connectionErrorText NOTIFY connectionErrorTextChanged)
    // Why the other side cannot be found by service discovery, and what to do instead; empty while it works.
    Q_PROPERTY(QString discoveryNotice READ discoveryNotice NOTIFY discoveryNoticeChanged)
    // Destination: why the typed address was refused; empty when none was.
    Q_PROPERTY(QString addressErrorText READ addressErrorText NOTIFY addressErrorTextChanged)
    Q_PROPERTY(QString peerHostname READ peerHostname NOTIFY selectedPeerChanged)
    Q_PROPERTY(QString transportName READ transportName NOTIFY transportNameChanged)
    Q_PROPERTY(bool peerConnected READ peerConnected NOTIFY peerConnectedChanged)
    Q_PROPERTY(bool thunderboltDetected READ thunderboltDetected NOTIFY thunderboltDetectedChanged)
    Q_PROPERTY(QVariantList peers READ peerRows NOTIFY peersChanged)
    Q_PROPERTY(QVariantMap proposedMapping READ proposedMappingView NOTIFY proposedMappingChanged)
    // This machine's people for the mapping screen's picker, and this side's pick.
    Q_PROPERTY(QVariantList accountRows READ accountRows NOTIFY accountRowsChanged)
    Q_PROPERTY(QVariantMap pickedAccount READ pickedAccountRow NOTIFY proposedMappingChanged)
    Q_PROPERTY(bool canConfirmMapping READ canConfirmMapping NOTIFY proposedMappingChanged)
    // Every readiness check that ran, one row each: {title, outcome, detail, findings,
    // leaveOut, leaveOutText}; leaveOut names the category a failed check can be passed
    // without (empty when none), leaveOutText its button.
    Q_PROPERTY(QVariantList preflightChecks READ preflightCheckRows NOTIFY preflightChecksChanged)
    Q_PROPERTY(QVariantList categoryRows READ categoryRows NOTIFY categoryRowsChanged)
    Q_PROPERTY(QVariantList folderRows READ folderRows NOTIFY folderRowsChanged)
    Q_PROPERTY(bool scanningFolders READ scanningFolders NOTIFY scanningFoldersChanged)
    Q_PROPERTY(bool calculatingSizes READ calculatingSizes NOTIFY calculatingSizesChanged)
    Q_PROPERTY(QString totalSelectedSizeText READ totalSelectedSizeText NOTIFY categoryRowsChanged)
    Q_PROPERTY(QString conflictPolicyName READ conflictPolicyName WRITE setConflictPolicyName NOTIFY conflictPolicyChanged)
    Q_PROPERTY(int bandwidthMbps READ bandwidthMbps WRITE setBandwidthMbps NOTIFY maxTransferMbpsChanged)
    Q_PROPERTY(QVariantList checkpoints READ checkpointRows NOTIFY checkpointsChanged)
    Q_PROPERTY(bool demoAvailable READ demoAvailable CONSTANT)
    // The steps of the chosen role, in order: {value, title}.
    Q_PROPERTY(QVariantList roleSteps READ roleSteps NOTIFY deviceRoleChanged)
    // Managers other work brings; null until then, and a screen section bound to one is absent.
    Q_PROPERTY(QObject* stagedPrefService READ stagedPrefServiceObject NOTIFY stagedPrefServiceChanged)
    Q_PROPERTY(QObject* userMapper READ userMapperObject CONSTANT)
    Q_PROPERTY(QObject* profileManager READ profileManagerObject CONSTANT)
    // Present only while a managed run is under way.
    Q_PROPERTY(QObject* managedCoordinator READ managedCoordinatorObject NOTIFY managedCoordinatorChanged)
    // The managers the session owns, as the screens reach them.
    Q_PROPERTY(QObject* migrationLogger READ migrationLoggerObject CONSTANT)
    Q_PROPERTY(QObject* appCompatibility READ appCompatibilityObject CONSTANT)
    Q_PROPERTY(QObject* engToolsDetector READ engToolsDetectorObject CONSTANT)
    Q_PROPERTY(QObject* engToolsPlan READ engToolsPlanObject CONSTANT)
    Q_PROPERTY(QObject* spaceValidator READ spaceValidatorObject CONSTANT)
    Q_PROPERTY(QObject* preflightChecker READ preflightCheckerObject CONSTANT)
    // One scanner per scan: null between scans.
    Q_PROPERTY(QObject* preFlightScanner READ preFlightScannerObject NOTIFY preFlightScanRunningChanged)
    Q_PROPERTY(bool preFlightScanRunning READ preFlightScanRunning NOTIFY preFlightScanRunningChanged)
    // The report in the summary screen's shape; empty until a scan gave one.
    Q_PROPERTY(QVariantMap preFlightSummary READ preFlightSummaryView NOTIFY preFlightReportChanged)
    Q_PROPERTY(bool engineeringToolsEnabled READ engineeringToolsEnabled NOTIFY engineeringToolsEnabledChanged)
    // The organisation may leave the developer section out altogether.
    Q_PROPERTY(bool developerToolsOffered READ developerToolsOffered CONSTANT)
    // The home's own word for the machine: "Mac", or "computer" on a Linux home.
    Q_PROPERTY(QString machineWord READ machineWord NOTIFY deviceRoleChanged)
    // Names that exist only on a Mac (iCloud, Safari) are shown only for a Mac-shaped home.
    Q_PROPERTY(bool macShapedHome READ macShapedHome NOTIFY categoryRowsChanged)
public:
    explicit AppState(SessionEnvironment environment, QObject* parent = nullptr);
    ~AppState() override;

    const SessionEnvironment& environment() const { return m_environment; }
    // How the home is laid out: its categories, folders and handlers follow it.
    HomeLayoutKind homeLayout() const { return m_layout; }
    bool macShapedHome() const { return m_layout == HomeLayoutKind::MacOS; }
    QString hostname() const;
    QString username() const;
    // A screen's text in the words of the home served ("computer" for "Mac" on a Linux home).
    Q_INVOKABLE QString say(const QString& text) const;
    // "Mac" or "computer".
    QString machineWord() const { return say(QStringLiteral("Mac")); }

    ConnectionManager* connectionManager() const { return m_connectionManager.get(); }
    DataCategoryManager* categoryManager() const { return m_categoryManager.get(); }
    HomeFolderScanner* homeFolderScanner() const { return m_homeFolderScanner.get(); }
    EngineeringToolsDetector* engToolsDetector() const { return m_engToolsDetector.get(); }
    EngineeringMigrationPlan* engToolsPlan() const { return m_engToolsPlan.get(); }
    MigrationLogger* migrationLogger() const { return m_migrationLogger.get(); }
    AppCompatibilityManager* appCompatibility() const { return m_appCompatibility.get(); }
    SpaceValidator* spaceValidator() const { return m_spaceValidator.get(); }
    PreflightChecker* preflightChecker() const { return m_preflightChecker.get(); }
    ConfigurationProfileManager* profileManager() const { return m_profileManager.get(); }
    UserAccountMapper* userMapper() const { return m_userMapper.get(); }
    PermissionsCorrector* permissionsCorrector() const { return m_permissionsCorrector.get(); }
    StagedPrefService* stagedPrefService() const { return m_stagedPrefService.get(); }
    // Present only once a managed run has begun.
    ManagedModeCoordinator* managedCoordinator() const { return m_managedCoordinator; }
    void setManagedCoordinator(ManagedModeCoordinator* coordinator);
    // When the profile asks for a managed deployment: creates the coordinator
    // (with its telemetry) once, and starts the run. Whether it did.
    Q_INVOKABLE bool bootstrapManagedModeIfNeeded();
    void setManagedLaunch(ManagedLaunch launch) { m_managedLaunch = launch; }
    // How the managed run ended, once it has and its telemetry is delivered or given up.
    const std::optional<FlowExit>& managedExit() const { return m_managedExit; }

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
    // The finished transfer's figures, counted before the step moves to complete; none before that.
    // A category that failed as a whole stands in place of its files.
    const std::optional<TransferSummary>& transferSummary() const { return m_transferSummary; }
    // The screen tour's: a finished transfer's figures without a transfer.
    void setTransferSummary(std::optional<TransferSummary> summary) { m_transferSummary = std::move(summary); }
    // The finished transfer's summary, or that of one that ended otherwise (cancelled, failed), counted now.
    TransferSummary currentSummary() const;
    // The categories this side knows failed as a whole: on the destination those whose import
    // failed, on the source the one a destination's verification can tell it of.
    QList<CategoryFailure> categoryFailures() const;
    // Destination: the categories whose import failed in this transfer, by ID, as they fail.
    const QMap<QString, CategoryFailure>& importFailures() const { return m_importFailures; }
    // The other computer as this side knows it: the name it gave or was listed under, else the
    // address it connected from, else "Unknown".
    QString peerName() const;
    TransferEngine* transferEngine() const { return m_transferEngine.get(); }

    const QString& transferID() const { return m_transferID; }
    // Only for resuming an interrupted migration under its old identifier.
    void setTransferID(const QString& id);

    ConflictPolicy conflictPolicy() const { return m_conflictPolicy; }
    void setConflictPolicy(ConflictPolicy policy);

    std::optional<int> maxTransferMbps() const { return m_maxTransferMbps; }
    void setMaxTransferMbps(std::optional<int> mbps);
    // The cap in force: the profile's when it sets one (shown as the choice), else the user's.
    std::optional<int> bandwidthCapInForce() const;
    // Hands the cap in force to a source's engine: at transfer start, and on every change while it runs.
    void applyBandwidthCap();

    // Destination: set before pairing; the engine is adapted with it.
    void setAdaptationOptions(AdaptationOptions options);
    // Whether a receive first snapshots what it replaces into the home's vault (on unless opted out).
    void setPreChangeSnapshots(bool on) { m_preChangeSnapshots = on; }
    const AdaptationOptions& adaptationOptions() const { return m_adaptationOptions; }
    // The restore mode and window the staging runs under: the profile's, else the options', else staged, 7 days.
    PrefRestoreMode effectiveRestoreMode() const;
    int effectiveRestoreWindowDays() const;
    // The home a manifest's source had: the folder its items' absolute paths share
    // before their "~/" part; nothing when they do not agree or look unsafe.
    static std::optional<QString> sourceHomeFromManifest(const TransferManifest& manifest);
    // The destination's mapping once the manifest is known: the given source
    // home, else the items', else the announced one, else /home/<user>; the
    // source user is the advertised one, else the home's last part.
    static UserMapping mappingForManifest(const MappingInputs& inputs, const TransferManifest& manifest);

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
    // Pre-flight: what the scan and checks run under.
    const PreflightSettings& preflightSettings() const { return m_preflightSettings; }
    void setPreflightSettings(PreflightSettings settings) { m_preflightSettings = std::move(settings); }
    const std::optional<PreFlightReport>& preFlightReport() const { return m_preFlightReport; }
    PreFlightScanner* preFlightScanner() const { return m_preFlightScanner.get(); }
    bool preFlightScanRunning() const { return m_preFlightScanRunning; }
    // Source: scans the selection and stores the report (none from a scan abandoned by going back).
    // `userFilesPaths` narrows the user's folders in place of the home folder scanner's selection.
    QCoro::Task<void> runPreFlightScan(std::optional<QStringList> userFilesPaths = std::nullopt);
    // Source: asks the destination which intended files exist there and folds
    // the answer into the report; a failed request leaves the report as it was.
    QCoro::Task<void> mergeDestinationConflictsIntoReport();
    // The selection's manifest less what the report excluded: the one the destination was asked about, if any.
    QCoro::Task<TransferManifest> buildIntendedManifest();
    // Creates the engine over the paired session (once) and moves on to account mapping.
    void completePairingHandshake();
    void createTransferEngine(TransferConnection* connection);
    // Stores the mapping, loads the categories and moves on.
    void confirmUserMapping(UserMapping mapping);
    // The transfer of the current role, from manifest to completion; then moves to complete.
    QCoro::Task<void> runTransfer();

    // The developer items of the plan go into the source's manifest.
    void setEngineeringToolsEnabled(bool enabled);
    // The selection screen's developer-tools choice: turning it on looks at the
    // developer environment (once) and plans what to take.
    Q_INVOKABLE void includeDeveloperTools(bool on);
    QCoro::Task<void> planDeveloperTools();
    bool engineeringToolsEnabled() const { return m_engineeringToolsEnabled; }
    bool developerToolsOffered() const;
    // Opens this migration's log record when the transfer starts.
    void startMigrationLog();
    // Closes it with the transfer's results and saves it; nothing without an open record.
    void completeMigrationLog();
    // The complete screen's: closes the open record and posts it where the
    // profile says; a failed post leaves it pending. Nothing when no record is open.
    QCoro::Task<void> completeAndPostMigrationLog();
    Q_INVOKABLE void finishMigrationLog();
    // Where the files made only to be sent (the Desktop's notes, the reinstall list) wait:
    // a private temporary folder of this session's, never inside the home it serves.
    // Throws SystemError when none can be made.
    QString developerFilesFolder() const;
    // The developer-tool listing of the plan as it stands, to be walked on a worker thread.
    EngineeringItemsProvider engineeringItems() const;
    // Developer tools as these "~/" paths rather than a plan: what a vault snapshot holds of them.
    void useEngineeringPaths(QStringList paths) { m_engineeringPaths = std::move(paths); }
    // Where finished logs are posted; none: they stay local. (The configuration will name it.)
    void setLogEndpoint(std::optional<QUrl> url) { m_logEndpoint = std::move(url); }
    // The profile's endpoint wins over the one set here.
    std::optional<QUrl> logEndpoint() const;
    // ---- the screens' operations (kivo-cli's flows call the same ones) ----
    // The mapping the mapping screen shows and confirming it stores: the
    // destination's account receives the selected peer's (or, on the source,
    // this account's own) files; a destination follows the home folder the
    // source's manifest names.
    UserMapping proposedUserMapping() const;
    Q_INVOKABLE void confirmProposedUserMapping();
    // Lists this machine's people (in the background, once) and preselects this side's account.
    Q_INVOKABLE void scanAccounts();
    // This side's account: the source's is whose files go, the destination's where
    // they land and whose they become. False when not listed or not this side's to pick.
    Q_INVOKABLE bool pickAccount(const QString& username);
    std::optional<UserAccount> pickedAccount() const;
    // Nothing to refuse: no network home picked.
    bool canConfirmMapping() const;
    // Source: exactly these categories selected / these home sub-folders picked
    // for the user files (whose estimate becomes the picked folders' total).
    void selectCategories(const QStringList& categoryIDs);
    void selectFolders(const QStringList& names);
    // Source: the home sub-folders (scanned once) and every category's size.
    QCoro::Task<void> sizeSelection();
    // Destination: peers known by address (--connect) listed beside the discovered ones.
    void addDirectPeer(const DiscoveredPeer& peer);
    QList<DiscoveredPeer> peerList() const;
    // Destination: proves the typed code to the selected peer, connecting
    // (again) first when needed; pairs and moves on when it matches.
    QCoro::Task<PairingAttempt> pairWithCode(QString digits);

    int stepValue() const { return static_cast<int>(m_currentStep); }
    QString roleName() const;
    QString pairingCodeText() const { return m_pairingCode.value_or(QString()); }
    bool pairingExpired() const;
    bool pairingInProgress() const { return m_pairingInProgress; }
    QString pairingErrorText() const { return m_pairingErrorText; }
    QString pairingRetryText() const { return m_pairingRetryText; }
    QString connectionErrorText() const { return m_connectionErrorText; }
    QString discoveryNotice() const;
    QString addressErrorText() const { return m_addressErrorText; }
    QString peerHostname() const;
    QString transportName() const;
    bool peerConnected() const;
    bool thunderboltDetected() const;
    QVariantList peerRows() const;
    QVariantMap proposedMappingView() const;
    QVariantList accountRows() const;
    QVariantMap pickedAccountRow() const;
    QVariantList preflightCheckRows() const;
    QVariantList categoryRows() const;
    QVariantList folderRows() const;
    bool scanningFolders() const;
    bool calculatingSizes() const;
    QString totalSelectedSizeText() const;
    QString conflictPolicyName() const;
    void setConflictPolicyName(const QString& name);
    int bandwidthMbps() const { return m_maxTransferMbps.value_or(0); }
    void setBandwidthMbps(int mbps);
    QVariantList checkpointRows() const;
    bool demoAvailable() const { return m_environment.demoAvailable; }
    QVariantList roleSteps() const;
    QObject* stagedPrefServiceObject() const;
    QObject* userMapperObject() const;
    QObject* migrationLoggerObject() const;
    QObject* profileManagerObject() const;
    QObject* managedCoordinatorObject() const;
    QObject* appCompatibilityObject() const;
    QObject* engToolsDetectorObject() const;
    QObject* engToolsPlanObject() const;
    QObject* spaceValidatorObject() const;
    QObject* preflightCheckerObject() const;
    QObject* preFlightScannerObject() const;
    QVariantMap preFlightSummaryView() const;

    // Source, pre-flight screen: the readiness checks against the selection.
    QCoro::Task<void> runPreflightChecks();
    Q_INVOKABLE void checkReadiness();
    // What the readiness checks are run against: the selection, this home and the destination settings.
    PreflightInputs readinessInputs() const;
    // The readiness screen's way past a check only a category fails: that category
    // is deselected and the checks run again.
    Q_INVOKABLE void leaveOutCategory(const QString& id);
    // Source, summary screen: the scan, then the destination's conflicts folded in.
    // The transfer of a source waits for a review still running: its conflict
    // question shares the connection.
    QCoro::Task<void> reviewPreFlight();
    bool preFlightReviewRunning() const { return m_reviewsRunning > 0; }
    Q_INVOKABLE void startPreFlightReview();
    // Writes the report as JSON, atomically, to `target` (a folder gets
    // "kivo-preflight-<time>.json" in it); the file written, or empty when
    // there is no report or the write failed.
    QString exportPreFlightSummary(const QString& target);
    // Where the summary screen's export offers to save: the home's Desktop
    // folder (the home when it has none), under the report's own name.
    QString suggestedSummaryFile() const;
    // The same for the save dialog, which speaks in URLs; only local files are written.
    Q_INVOKABLE QUrl suggestedSummaryUrl() const { return QUrl::fromLocalFile(suggestedSummaryFile()); }
    Q_INVOKABLE QString exportPreFlightSummaryTo(const QUrl& file)
    {
        return file.isLocalFile() ? exportPreFlightSummary(file.toLocalFile()) : QString();
    }
    static QString exportFileFor(const QString& target, const QDateTime& generatedAt);
    // The space line against the current selection's size.
    void validateSpace();

    Q_INVOKABLE void chooseRoleNamed(const QString& role);
    Q_INVOKABLE void choosePeer(const QString& peerID);
    // Destination: "HOST:PORT" as the source shows it (an IPv6 address in brackets), or why it is not one.
    static std::variant<PeerEndpoint, QString> endpointFromText(const QString& text);
    // Destination: connects to the typed address as to a listed source. False, with
    // the reason in addressErrorText, when the text is not an address and port.
    Q_INVOKABLE bool connectToAddress(const QString& text);
    Q_INVOKABLE void leaveDiscovery();
    Q_INVOKABLE void submitCode(const QString& digits);
    Q_INVOKABLE void cancelPairing();
    Q_INVOKABLE void tryPairingAgain() { restartPairing(); }
    Q_INVOKABLE double pairingSecondsRemaining() const;
    Q_INVOKABLE void prepareSelection();
    Q_INVOKABLE void toggleCategory(const QString& id);
    Q_INVOKABLE void toggleFolder(const QString& name);
    Q_INVOKABLE void selectAllFolders();
    Q_INVOKABLE void selectDefaultFolders();
    Q_INVOKABLE bool addCustomFolder(const QString& path);
    Q_INVOKABLE void startTransfer();
    Q_INVOKABLE void cancelTransfer();
    Q_INVOKABLE void discardCheckpoint(const QString& transferID);
    Q_INVOKABLE void previewDemo();
    // Demonstration: the canned source on the destination's list, and choosing it.
    QList<DiscoveredPeer> demoPeers() const;
    Q_INVOKABLE void demoSelectPeer(const QString& peerID);
    // Demonstration: types the code the demo source shows.
    void demoConfirmPairing();

Q_SIGNALS:
    void managedCoordinatorChanged();
    void managedRunFinished();
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
    void preFlightReportChanged();
    void preFlightScanRunningChanged();
    // Files and bytes counted so far by the running scan.
    void preFlightScanProgress(qint64 files, quint64 bytes);
    // The background connection to the selected peer failed.
    void connectionFailed(QString description);
    void pairingExpiredChanged();
    void pairingInProgressChanged();
    void pairingErrorTextChanged();
    void pairingRetryTextChanged();
    void connectionErrorTextChanged();
    void discoveryNoticeChanged();
    void addressErrorTextChanged();
    void transportNameChanged();
    void peerConnectedChanged();
    void thunderboltDetectedChanged();
    void peersChanged();
    void proposedMappingChanged();
    void accountRowsChanged();
    void stagedPrefServiceChanged();
    void preflightChecksChanged();
    void categoryRowsChanged();
    void folderRowsChanged();
    void scanningFoldersChanged();
    void calculatingSizesChanged();
    void checkpointsChanged();
    void engineeringToolsEnabledChanged();
    void preFlightReviewFinished();

private:
    void startReinstallListing();
    void setTransferProgress(TransferProgress* progress);
    // Destination: keeps each category whose import fails, for the summary.
    void watchImportFailures(TransferEngine& engine);
    void watchSourcePairing();
    void clearPreFlightReport();
    void forwardScreenSignals();
    void forwardDiscoverySignals();
    void applyHomeLayout();
    void forwardSelectionSignals();
    // Demonstration: the home follows the role (the sample's source or destination home).
    void useHomeFolder(const QString& home);
    void startDemoReceiver();
    void setPairingInProgress(bool on);
    void setPairingErrorText(QString text);
    void setConnectionErrorText(QString text);
    QCoro::Task<bool> connectSelectedPeer(bool again);
    MappingInputs mappingInputs() const;
    void watchAccounts();
    void forwardCheckSignals();
    void preselectAccount();
    // Whether this side may take `account`, and in words why not.
    QString whyNotSelectable(const UserAccount& account) const;
    // Destination: what arrives goes to this account's home and becomes its own.
    void serveAccount(const UserAccount& account);
    // Destination: rewriting, staging, ownership and the record a resumed transfer verifies by.
    void attachAdaptation(DestinationTransfer& engine);
    void attachVault(DestinationTransfer& engine);
    // What arrives lands where this home keeps it; app data of an app not installed here waits.
    void attachRelocation(DestinationTransfer& engine, const QString& home);
    QCoro::Task<void> runManaged();
    static QCoro::Task<void> connectInBackground(QPointer<AppState> state, ConnectionManager* manager, DiscoveredPeer peer);

    SessionEnvironment m_environment;
    std::unique_ptr<ConfigurationProfileManager> m_profileManager;
    ManagedModeCoordinator* m_managedCoordinator = nullptr;
    ManagedLaunch m_managedLaunch;
    std::unique_ptr<TelemetryClient> m_telemetry;
    std::unique_ptr<ManagedModeCoordinator> m_ownedCoordinator;
    std::optional<FlowExit> m_managedExit;
    std::unique_ptr<DataCategoryManager> m_categoryManager;
    std::unique_ptr<ConnectionManager> m_connectionManager;
    std::unique_ptr<HomeFolderScanner> m_homeFolderScanner;
    HomeLayoutKind m_layout = HomeLayoutKind::MacOS;
    std::unique_ptr<MigrationLogger> m_migrationLogger;
    std::unique_ptr<EngineeringToolsDetector> m_engToolsDetector;
    std::unique_ptr<EngineeringMigrationPlan> m_engToolsPlan;
    bool m_engineeringToolsEnabled = false;
    std::optional<QStringList> m_engineeringPaths;
    mutable std::unique_ptr<QTemporaryDir> m_outgoingFiles; // made on first use, removed with the session
    std::optional<QUrl> m_logEndpoint;
    std::unique_ptr<AppCompatibilityManager> m_appCompatibility;
    std::unique_ptr<SpaceValidator> m_spaceValidator;
    std::unique_ptr<PreflightChecker> m_preflightChecker;
    bool m_readinessStale = false; // the readiness checks were asked for again while running

    MigrationStep m_currentStep = MigrationStep::welcome;
    std::optional<DeviceRole> m_deviceRole;
    std::optional<DiscoveredPeer> m_selectedPeer;
    std::optional<QString> m_pairingCode;
    bool m_isPairingConfirmed = false;
    bool m_demoMode = false;
    std::optional<UserMapping> m_confirmedUserMapping;
    TransferProgress* m_transferProgress = nullptr;
    std::optional<TransferSummary> m_transferSummary;
    // Destination: categories whose import failed in this transfer, by ID.
    QMap<QString, CategoryFailure> m_importFailures;
    std::unique_ptr<TransferProgress> m_ownProgress;
    std::unique_ptr<TransferEngine> m_transferEngine;
    QString m_transferID;
    ConflictPolicy m_conflictPolicy = ConflictPolicy::skip;
    std::optional<int> m_maxTransferMbps;
    std::shared_ptr<UserAccountMapper> m_userMapper;
    std::shared_ptr<PermissionsCorrector> m_permissionsCorrector;
    std::unique_ptr<StagedPrefService> m_stagedPrefService;
    bool m_stagedPrefServiceStarted = false;
    AdaptationOptions m_adaptationOptions;
    bool m_preChangeSnapshots = true;
    QString m_pickedUsername;
    PreflightSettings m_preflightSettings;
    std::optional<PreFlightReport> m_preFlightReport;
    std::unique_ptr<PreFlightScanner> m_preFlightScanner;
    bool m_preFlightScanRunning = false;
    // The selection screen offered the choices for missing applications: they decide what of their data goes.
    bool m_appChoicesOffered = false;
    int m_reviewsRunning = 0;
    std::shared_ptr<const TransferManifest> m_askedManifest; // what the destination was asked about
    std::optional<QFuture<ReinstallList>> m_reinstallListing;
    // The handlers whose exports live until the transfer ends.
    std::shared_ptr<SystemSettingsHandler> m_settingsHandler;
    std::shared_ptr<KeychainHandler> m_keychainHandler;
    // Read when the destination's handlers are made: preferences of missing apps are kept to be staged.
    std::shared_ptr<bool> m_keepMissingAppPreferences = std::make_shared<bool>(false);
    QList<DiscoveredPeer> m_directPeers;
    bool m_pairingInProgress = false;
    QString m_pairingErrorText;
    QString m_pairingRetryText;
    QString m_connectionErrorText;
    QString m_addressErrorText;
    int m_connectsInFlight = 0;
    std::unique_ptr<DemoPeer> m_demoPeer;
    // A transfer still unwinding when the session was reset keeps its engine
    // until its run returns; the generation tells it the session moved on.
    bool m_transferRunning = false;
    quint64 m_sessionGeneration = 0;
    std::vector<std::unique_ptr<TransferEngine>> m_retiredEngines;
};

} // namespace kivo
