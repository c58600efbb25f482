// SPDX-License-Identifier: Apache-2.0
#include "transfer/TransferEngine.h"

#include "platform/Error.h"
#include "platform/Logging.h"
#include "platform/UserFolders.h"

namespace kivo {

std::chrono::milliseconds TransferTimeouts::forWorkOver(std::uint64_t bytes) const
{
    const std::uint64_t rate = std::max<std::uint64_t>(slowestWorkBytesPerSecond, 1);
    return idle + std::chrono::seconds(bytes / rate);
}

TransferEngine::TransferEngine(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent)
    : QObject(parent),
      m_progress(new TransferProgress(Clock::system(), this)),
      m_connection(connection),
      m_transferID(std::move(transferID)),
      m_home(UserFolders(std::move(homeFolder)).home())
{
    qRegisterMetaType<kivo::FileError>();
}

TransferEngine::~TransferEngine() = default;

QString TransferEngine::transfersDirectory(const QString& homeFolder)
{
    return UserFolders(homeFolder).kivoSupport() + QStringLiteral("/transfers");
}

void TransferEngine::setSessionKey(QByteArray key32)
{
    m_sessionKey = key32;
    if (!m_handlerFactory)
        return;
    if (auto keychain = m_handlerFactory(QStringLiteral("keychain"), key32))
        m_handlers[QStringLiteral("keychain")] = std::move(keychain);
}

void TransferEngine::setClock(std::shared_ptr<Clock> clock)
{
    m_clock = std::move(clock);
    m_progress->setClock(m_clock);
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

void TransferEngine::cancel()
{
    m_isCancelled = true;
    m_progress->setIsCancelled(true);
}

QCoro::Task<void> TransferEngine::runGuarded(std::function<QCoro::Task<void>()> flow, QString failureFormat)
{
    QString failure;
    setIdleDeadline(m_timeouts.idle);
    try {
        co_await flow();
    } catch (const std::exception& e) {
        failure = describe(e);
    } catch (...) {
        failure = QStringLiteral("Unknown error");
    }
    // The connection outlives the transfer; what comes next sets its own limits.
    setIdleDeadline(std::chrono::milliseconds(0));
    if (!failure.isEmpty()) {
        qCCritical(lcTransferEngine).noquote() << failureFormat.arg(failure);
        TransferProgress::Batch batch(m_progress);
        m_progress->setError(failure);
        m_progress->setIsTransferring(false);
    }
}

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
    // The connection's own task, not a coroutine around it: one frame less per message.
    return m_connection->sendMessage(std::move(header), std::move(payload));
}

void TransferEngine::addFileError(const QString& path, const QString& categoryID, const QString& error)
{
    FileError e{QUuid::createUuid(), path, categoryID, error, m_clock->now()};
    m_progress->addFileError(e);
    Q_EMIT fileFailed(e);
}

void TransferEngine::initProgressFromManifest()
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
    TransferProgress::Batch batch(m_progress);
    m_progress->setTotalBytes(m_manifest->totalSize);
    m_progress->setTotalFiles(m_manifest->items.size());
    m_progress->setTotalCategories(m_manifest->categoryOrder.size());
    m_progress->setCategoryProgress(categories);
}

} // namespace kivo
