// SPDX-License-Identifier: Apache-2.0
#include "app/AppState.h"

#include "log/MigrationLogger.h"
#include "platform/Logging.h"
#include "transfer/TransferProgress.h"
#include "transfer/DestinationTransfer.h"
#include "vault/PreChangeSnapshot.h"

#include <QCoroFuture>
#include <QDir>
#include <QPointer>
#include <QtConcurrent>

namespace kivo {

namespace {

std::optional<QString> snapshotReplacedFiles(const PreChangeRequest& request, const EachWrite& writes)
{
    try {
        takePreChangeSnapshot(request, writes);
        return std::nullopt;
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
}

// The snapshot may take a while: off the event loop, which keeps the connection alive.
QCoro::Task<void> snapshotBeforeWrites(PreChangeRequest request, EachWrite writes)
{
    if (request.home.isEmpty())
        throw VaultError(VaultErrorKind::failed, QStringLiteral("the receive ended before its safety snapshot"));
    QFuture<std::optional<QString>> work = QtConcurrent::run(snapshotReplacedFiles, std::move(request), std::move(writes));
    const std::optional<QString> failure = co_await work;
    if (failure)
        throw VaultError(VaultErrorKind::failed,
                         QStringLiteral("the safety snapshot of the files this migration replaces failed, so nothing "
                                        "was written (%1; receive --no-vault goes without it)")
                             .arg(*failure));
}

} // namespace

void AppState::attachVault(DestinationTransfer& engine)
{
    if (!m_preChangeSnapshots)
        return;
    QPointer<AppState> self(this);
    // Set once the record is made; when the transfer completes, what it left is noted beside it.
    auto recorded = std::make_shared<QString>();
    TransferProgress* progress = engine.progress();
    connect(progress, &TransferProgress::isCompleteChanged, this, [self, recorded, progress] {
        if (!self || recorded->isEmpty() || !progress->isComplete())
            return;
        try {
            recordStateAfter(QDir::cleanPath(self->m_environment.homeFolder), *recorded);
        } catch (const std::exception& e) {
            qCWarning(lcApp).noquote() << "What the migration left could not be recorded for a rollback:" << e.what();
        }
    });
    engine.setBeforeFirstWrite([self, recorded](QString transferID, DestinationTransfer::EachDestination destinations) {
        *recorded = transferID;
        PreChangeRequest request;
        request.transferID = transferID;
        request.migrationID = transferID;
        if (self) {
            request.home = QDir::cleanPath(self->m_environment.homeFolder);
            // An earlier attempt at this transfer recorded it: this run continues that migration.
            for (const ChangeRecord& earlier : changeRecords(request.home))
                if (earlier.transferID == transferID)
                    self->m_migrationLogger->continueLog(earlier.migrationID);
            if (const auto& log = self->m_migrationLogger->currentLog())
                request.migrationID = log->id;
            request.host = self->hostname();
            request.username = self->mappingInputs().destinationUsername;
        }
        return snapshotBeforeWrites(std::move(request), std::move(destinations));
    });
}

} // namespace kivo
