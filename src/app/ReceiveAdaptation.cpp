#include "app/ReceiveAdaptation.h"

#include "platform/FileSystem.h"
#include "postmigration/AccountAdaptation.h"
#include "transfer/DestinationTransfer.h"

#include <QDir>
#include <QPointer>

namespace kivo {
namespace {

bool isCleanAbsoluteFolder(const QString& path)
{
    return path.startsWith(u'/') && path != QLatin1String("/") && !path.contains(u'~') && !path.contains(QChar(0))
        && QDir::cleanPath(path) == path;
}


} // namespace

ReceiveAdaptation::ReceiveAdaptation(Options options, HelperInstaller& helper, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_mapper(std::make_shared<UserAccountMapper>()),
      m_corrector(std::make_shared<PermissionsCorrector>(helper))
{
    auto stager = std::make_unique<PrefStager>(m_options.homeFolder);
    auto watcher = std::make_unique<AppInstallWatcher>(
        AppInstallWatcher::foldersFor(m_options.homeFolder, m_options.extraApplicationFolders, true));
    m_prefs = std::make_unique<StagedPrefService>(std::move(stager), std::move(watcher));
    m_prefs->setRestoreMode(m_options.restoreMode);
    m_prefs->setRestoreWindowDays(m_options.restoreWindowDays);

    connect(m_mapper.get(), &UserAccountMapper::rewritten, this, &ReceiveAdaptation::pathRewritten);
    connect(m_corrector.get(), &PermissionsCorrector::finished, this, &ReceiveAdaptation::ownershipCorrected);
    connect(m_prefs.get(), &StagedPrefService::bundleStaged, this, &ReceiveAdaptation::bundleStaged);
    connect(m_prefs.get(), &StagedPrefService::bundleApplied, this, &ReceiveAdaptation::prefApplied);
    connect(m_prefs.get(), &StagedPrefService::warning, this, &ReceiveAdaptation::warning);

    // What kivo itself made in the home is handed over too: the store and the checkpoints' folder.
    const QString home = QDir::cleanPath(m_options.homeFolder);
    m_corrector->setExtraPaths([home] {
        QStringList extra;
        const QString store = home + u'/' + QLatin1String(PrefStager::kFolderName);
        fs::forEachRegularFile(store, false, [&extra](const QString& path, const fs::FileStatus&) { extra.append(path); });
        extra.append(store);
        extra.append(TransferEngine::transfersDirectory(home));
        return extra;
    });
}

ReceiveAdaptation::~ReceiveAdaptation() = default;

std::optional<QString> ReceiveAdaptation::sourceHomeFromManifest(const TransferManifest& manifest)
{
    for (const TransferManifest::FileItem& item : manifest.items) {
        if (!item.relativePath.startsWith(QLatin1String("~/")))
            continue;
        const QString tail = item.relativePath.mid(1); // "/X"
        if (tail.size() < 2 || !item.absolutePath.endsWith(tail))
            continue;
        const QString home = item.absolutePath.chopped(tail.size());
        if (isCleanAbsoluteFolder(home))
            return home;
        return std::nullopt;
    }
    return std::nullopt;
}

UserMapping ReceiveAdaptation::mappingFor(const TransferManifest& manifest) const
{
    QString sourceHome = m_options.sourceHome.value_or(QString());
    if (sourceHome.isEmpty())
        sourceHome = sourceHomeFromManifest(manifest).value_or(QString());
    if (sourceHome.isEmpty() && manifest.sourceHomeFolder && isCleanAbsoluteFolder(*manifest.sourceHomeFolder))
        sourceHome = *manifest.sourceHomeFolder;
    QString sourceUser = m_sourceUser;
    if (sourceUser.isEmpty())
        sourceUser = sourceHome.mid(sourceHome.lastIndexOf(u'/') + 1);
    if (sourceHome.isEmpty())
        sourceHome = m_options.homeFolder; // nothing known: no rewriting
    return UserMapping::make(sourceUser, sourceHome, m_options.destinationUsername, QDir::cleanPath(m_options.homeFolder));
}

void ReceiveAdaptation::attach(DestinationTransfer& engine, const QString& sourceUser)
{
    m_sourceUser = sourceUser;
    QPointer<DestinationTransfer> target(&engine);
    MDMSafetyChecker safety;
    safety.addProtectedPath(QDir::cleanPath(m_options.homeFolder) + u'/' + QLatin1String(PrefStager::kFolderName));
    engine.setSafetyChecker(safety);
    engine.setAccountAdapter(std::make_shared<AccountAdaptation>(m_mapper));
    if (m_options.correctOwnership)
        engine.setOwnershipCorrector(m_corrector);
    engine.setMappingForManifest([this](const TransferManifest& manifest) {
        const UserMapping mapping = mappingFor(manifest);
        m_mapper->setMapping(mapping);
        return mapping;
    });
    connect(m_mapper.get(), &UserAccountMapper::rewritten, &engine,
            [target](const PathRewriteLog& log) { if (target) target->markAdapted(log.filePath); });
    const QString home = QDir::cleanPath(m_options.homeFolder);
    connect(m_prefs.get(), &StagedPrefService::bundleStaged, &engine, [target, home](const StagedPrefBundle& b) {
        for (const StagedPrefEntry& e : b.entries)
            if (target)
                target->markAdapted(home + e.destinationRelativePath.mid(1));
    });
    engine.setCategoryFinalized([this](QString categoryID, QList<TransferManifest::FileItem> items) -> QCoro::Task<void> {
        m_prefs->absorbCompletedFiles(categoryID, items);
        co_return;
    });
    m_prefs->start();
}

} // namespace kivo
