#pragma once

#include "postmigration/PathRewriting.h"
#include "postmigration/PermissionsCorrector.h"
#include "postmigration/StagedPrefService.h"
#include "postmigration/UserAccountMapper.h"

#include <QObject>

#include <memory>
#include <optional>

namespace kivo {

class DestinationTransfer;
struct TransferManifest;

// What a receive does to make the arrived data the destination account's:
// maps the accounts, rewrites the old home inside settings, stages
// preferences of applications not installed yet, and hands every file to the
// account at the end.
class ReceiveAdaptation : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString homeFolder;
        QString destinationUsername;
        std::optional<QString> sourceHome;         // else from the manifest
        PrefRestoreMode restoreMode = PrefRestoreMode::staged;
        int restoreWindowDays = 30;
        QStringList extraApplicationFolders;
        bool correctOwnership = true;
    };

    ReceiveAdaptation(Options options, HelperInstaller& helper, QObject* parent = nullptr);
    // Preferences of missing applications wait in the store rather than being refused.
    bool stagesPreferences() const { return m_options.restoreMode != PrefRestoreMode::immediate; }
    ~ReceiveAdaptation() override;

    // The home a manifest's source had: the folder its items' absolute paths share
    // before their "~/" part; nothing when they do not agree or look unsafe.
    static std::optional<QString> sourceHomeFromManifest(const TransferManifest& manifest);

    // Wires the engine; `sourceUser` is the advertised one (may be empty).
    void attach(DestinationTransfer& engine, const QString& sourceUser);
    UserMapping mappingFor(const TransferManifest& manifest) const;

    UserAccountMapper& mapper() { return *m_mapper; }
    StagedPrefService& prefs() { return *m_prefs; }
    PermissionsCorrector& corrector() { return *m_corrector; }

Q_SIGNALS:
    void pathRewritten(kivo::PathRewriteLog log);
    void ownershipCorrected(kivo::OwnershipReport report);
    void bundleStaged(kivo::StagedPrefBundle bundle);
    void prefApplied(QString bundleKey, QStringList restoredPaths);
    void warning(QString text);

private:
    Options m_options;
    QString m_sourceUser;
    std::shared_ptr<UserAccountMapper> m_mapper;
    std::shared_ptr<PermissionsCorrector> m_corrector;
    std::unique_ptr<StagedPrefService> m_prefs;
};

} // namespace kivo
