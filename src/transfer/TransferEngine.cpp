#include "transfer/TransferEngine.h"

#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"
#include "platform/DestinationWriter.h"

#include <QFile>


namespace kivo {

TransferEngine::TransferEngine(DeviceRole role, TransferConnection* connection, QString transferID, QString homeFolder,
                               QObject* parent)
    : QObject(parent),
      m_progress(new TransferProgress(Clock::system(), this)),
      m_role(role),
      m_transferID(std::move(transferID)),
      m_home(UserFolders(std::move(homeFolder)).home()),
      m_connection(connection)
{
    qRegisterMetaType<kivo::FileError>();
}

TransferEngine::~TransferEngine() = default;

QString TransferEngine::transfersDirectory(const QString& homeFolder)
{
    return UserFolders(homeFolder).kivoSupport() + QStringLiteral("/transfers");
}

void TransferEngine::setManifest(TransferManifest manifest)
{
    // Every header carries the engine's id; the manifest must name the same transfer.
    manifest.transferID = m_transferID;
    m_manifest = std::move(manifest);
}

void TransferEngine::setSessionKey(QByteArray key32)
{
    m_sessionKey = key32;
    if (!m_handlerFactory)
        return;
    if (auto keychain = m_handlerFactory(QStringLiteral("keychain"), key32))
        m_handlers[QStringLiteral("keychain")] = std::move(keychain);
}

void TransferEngine::setBandwidthCap(std::optional<int> megabitsPerSecond)
{
    m_capMegabits = megabitsPerSecond;
    m_throttle = ThrottleBudget::forCap(megabitsPerSecond, m_clock->monotonic());
}

void TransferEngine::setClock(std::shared_ptr<Clock> clock)
{
    m_clock = std::move(clock);
    m_progress->setClock(m_clock);
    if (m_throttle)
        m_throttle = ThrottleBudget::forCap(m_capMegabits, m_clock->monotonic());
}

void TransferEngine::registerHandler(std::shared_ptr<CategoryTransferHandler> handler)
{
    if (handler)
        m_handlers[handler->categoryID()] = std::move(handler);
}

std::shared_ptr<CategoryTransferHandler> TransferEngine::handler(const QString& categoryID) const
{
    const auto it = m_handlers.find(categoryID);
    return it == m_handlers.end() ? nullptr : it->second;
}

void TransferEngine::setPaused(bool paused)
{
    m_isPaused = paused;
    m_progress->setIsPaused(paused);
    emitProgress();
}

void TransferEngine::cancel()
{
    m_isCancelled = true;
    m_progress->setIsCancelled(true);
    emitProgress();
}

QString TransferEngine::resolveDestinationPath(const QString& relativePath) const
{
    QString path = relativePath;
    if (m_userMapping && m_userMapping->changesHomeFolder() && !m_userMapping->sourceHomeFolder.isEmpty())
        path.replace(m_userMapping->sourceHomeFolder, m_userMapping->destinationHomeFolder);
    return UserFolders(m_home).expandTilde(path);
}

std::uint64_t TransferEngine::availableDiskSpace() const { return fs::freeBytesAt(m_home); }

MessageHeader TransferEngine::makeHeader(MessageType type)
{
    MessageHeader h;
    h.type = type;
    h.transferID = m_transferID;
    h.sequenceNumber = ++m_sequenceCounter;
    return h;
}

QCoro::Task<void> TransferEngine::send(MessageHeader header, std::optional<QByteArray> payload)
{
    co_await m_connection->sendMessage(std::move(header), std::move(payload));
}

void TransferEngine::addFileError(const QString& path, const QString& categoryID, const QString& error)
{
    FileError e{QUuid::createUuid(), path, categoryID, error, m_clock->now()};
    m_progress->addFileError(e);
    Q_EMIT fileFailed(e);
}

void TransferEngine::fail(const QString& logFormat, const QString& text)
{
    qCCritical(lcTransferEngine).noquote() << QString(logFormat).arg(text);
    m_progress->setError(text);
    m_progress->setIsTransferring(false);
    emitProgress();
}

void TransferEngine::initCategoryProgress()
{
    QMap<QString, CategoryProgress> categories;
    for (const QString& id : std::as_const(m_manifest->categoryOrder)) {
        CategoryProgress p;
        p.categoryID = id;
        p.categoryName = id;
        categories.insert(id, p);
    }
    for (const auto& item : std::as_const(m_manifest->items)) {
        CategoryProgress& p = categories[item.categoryID];
        p.categoryID = item.categoryID;
        if (p.categoryName.isEmpty())
            p.categoryName = item.categoryID;
        p.totalFiles += 1;
        p.totalBytes += item.size;
    }
    m_progress->setCategoryProgress(categories);
}

QCoro::Task<void> TransferEngine::cancelAndCleanup()
{
    cancel();
    if (m_connection)
        m_connection->close();
    // A writer of its own: the receive flow's may still be busy on a pool thread.
    DestinationWriter writer(m_home);
    const QStringList paths = m_writtenPaths;
    for (const QString& path : paths) {
        QString failure;
        try {
            writer.remove(path);
        } catch (const std::exception& e) {
            failure = describe(e);
        }
        if (failure.isEmpty())
            continue;
        const bool removed = m_corrector && co_await m_corrector->removeFile(path);
        if (!removed)
            qCWarning(lcTransferEngine).noquote() << "Could not remove" << path << failure;
    }
    m_writtenPaths.clear();
}

} // namespace kivo
