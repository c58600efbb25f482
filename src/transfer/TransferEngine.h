// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Clock.h"
#include "transfer/CategoryTransferHandler.h"
#include "transfer/DeviceRole.h"
#include "transfer/MessageHeader.h"
#include "transfer/TransferConnection.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferProgress.h"

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kivo {

// How long one side waits on the other.
struct TransferTimeouts {
    // A reply, or on the destination the next message, that does not come
    // within this ends the transfer as a lost connection.
    std::chrono::milliseconds idle = std::chrono::seconds(120);
    // The destination's wait for the manifest, while the source's user
    // chooses what to send.
    std::chrono::milliseconds manifest = std::chrono::hours(1);
    // Before some replies the destination works through what it received
    // (hashing for verification, adapting a finished category); the wait for
    // those grows by one second per this many bytes.
    std::uint64_t slowestWorkBytesPerSecond = 20'000'000;

    // The wait for a reply that follows work over `bytes`.
    std::chrono::milliseconds forWorkOver(std::uint64_t bytes) const;
};

// One side of one transfer over one connection: SourceTransfer sends,
// DestinationTransfer receives. This base holds what both sides share (the
// connection, the id, the home folder, the clock, the progress record and the
// message numbering) and the events a front end shows. Lives on the main
// thread; file I/O and hashing run on pool threads and every step resumes here.
class TransferEngine : public QObject {
    Q_OBJECT
public:
    // Builds the default handler for a category id (and the keychain handler from the session key);
    // may return null.
    using HandlerFactory =
        std::function<std::shared_ptr<CategoryTransferHandler>(const QString& categoryID, const QByteArray& sessionKey)>;

    ~TransferEngine() override;

    virtual DeviceRole role() const = 0;
    // The whole transfer of this side; never throws, failures end in progress()->error().
    virtual QCoro::Task<void> run() = 0;

    TransferProgress* progress() const { return m_progress; }
    const QString& transferID() const { return m_transferID; }
    const QString& homeFolder() const { return m_home; }
    // Where checkpoints live for a home folder.
    static QString transfersDirectory(const QString& homeFolder);

    const std::optional<TransferManifest>& manifest() const { return m_manifest; }

    void setSessionKey(QByteArray key32);
    const std::optional<QByteArray>& sessionKey() const { return m_sessionKey; }
    void setHandlerFactory(HandlerFactory factory) { m_handlerFactory = std::move(factory); }
    void registerHandler(std::shared_ptr<CategoryTransferHandler> handler);
    std::shared_ptr<CategoryTransferHandler> handler(const QString& categoryID) const;
    virtual void setClock(std::shared_ptr<Clock> clock);
    void setTimeouts(TransferTimeouts timeouts) { m_timeouts = timeouts; }
    const TransferTimeouts& timeouts() const { return m_timeouts; }

    void cancel();
    bool isCancelled() const { return m_isCancelled; }

Q_SIGNALS:
    void categoryStarted(QString categoryID);
    void categoryCompleted(QString categoryID);
    void fileFailed(kivo::FileError error);
    // A category's handler put what arrived in place (destination).
    void categoryImported(QString categoryID, int imported, int updated, int failed);
    // `serviceUnavailable`: a system service the import needs cannot be used.
    void categoryImportFailed(QString categoryID, QString error, bool serviceUnavailable);
    void verificationFinished();
    void finished();

protected:
    TransferEngine(TransferConnection* connection, QString transferID, QString homeFolder, QObject* parent);

    // Runs a side's flow and turns whatever it throws into the progress error.
    QCoro::Task<void> runGuarded(std::function<QCoro::Task<void>()> flow, QString failureFormat);
    MessageHeader makeHeader(MessageType type);
    QCoro::Task<void> send(MessageHeader header, std::optional<QByteArray> payload = std::nullopt);
    // A message that may wait to go out together with those after it.
    QCoro::Task<void> queue(MessageHeader header, std::optional<QByteArray> payload = std::nullopt)
    {
        return m_connection->queueMessage(std::move(header), std::move(payload));
    }
    void addFileError(const QString& path, const QString& categoryID, const QString& error);
    // Totals and one pending CategoryProgress per category of the manifest.
    void initProgressFromManifest();
    const HandlerFactory& handlerFactory() const { return m_handlerFactory; }
    // The next receives may wait this long for the peer (zero: no limit).
    void setIdleDeadline(std::chrono::milliseconds limit)
    {
        if (m_connection)
            m_connection->setIdleDeadline(m_clock, limit);
    }

    TransferProgress* const m_progress;
    TransferConnection* const m_connection;
    QString m_transferID;
    const QString m_home;
    std::shared_ptr<Clock> m_clock = Clock::system();
    std::optional<TransferManifest> m_manifest;
    bool m_isCancelled = false;
    TransferTimeouts m_timeouts;

private:
    std::uint64_t m_sequenceCounter = 0;
    std::optional<QByteArray> m_sessionKey;
    std::map<QString, std::shared_ptr<CategoryTransferHandler>> m_handlers;
    HandlerFactory m_handlerFactory;
};

} // namespace kivo
