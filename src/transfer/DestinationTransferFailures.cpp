// SPDX-License-Identifier: Apache-2.0
// How the destination's files fail: each failure is counted and listed, and
// what it left behind goes.
#include "transfer/DestinationTransfer.h"

#include "platform/DestinationWriter.h"
#include "platform/FileSystem.h"
#include "platform/Error.h"
#include "platform/Logging.h"
#include "transfer/TransferError.h"

#include <QElapsedTimer>

#include <algorithm>
#include <exception>

namespace kivo {

// A manifest item whose path may not be written fails once, whatever the source sends for it.
void DestinationTransfer::failRefusedItem(const Target& t)
{
    if (t.itemIndex < 0 || !t.pathRefusal || m_manifest->items[t.itemIndex].transferStatus == FileTransferStatus::failed)
        return;
    const QString path = m_manifest->items[t.itemIndex].relativePath;
    const QString categoryID = m_manifest->items[t.itemIndex].categoryID;
    m_manifest->markFileFailed(t.itemIndex);
    addFileError(path, categoryID, t.refusal);
}

qsizetype DestinationTransfer::failNeverReceived()
{
    // Listed one by one up to here; a million missing files are one line more, not a million.
    constexpr qsizetype kListed = 1000;
    qsizetype missing = 0;
    for (qsizetype i = 0; i < m_manifest->items.size(); ++i) {
        const FileTransferStatus status = m_manifest->items[i].transferStatus;
        if (status != FileTransferStatus::pending && status != FileTransferStatus::inProgress)
            continue;
        m_manifest->markFileFailed(i);
        if (++missing <= kListed)
            addFileError(m_manifest->items[i].relativePath, m_manifest->items[i].categoryID,
                         QStringLiteral("Never received: the other Mac ended the transfer before sending it"));
    }
    if (missing > kListed)
        addFileError(QString(), QString(),
                     QStringLiteral("%1 more files were never received").arg(missing - kListed));
    if (missing > 0)
        qCCritical(lcTransferEngine, "The source ended the transfer with %lld file(s) never sent", qlonglong(missing));
    return missing;
}

// A file that could not be finished: its partial copy goes, and the checkpoint forgets it.
void DestinationTransfer::abandonFile(const Target& t, const QString& path, const QString& categoryID, const QString& failure,
                                      bool sourceTold)
{
    qCCritical(lcTransferEngine, "%s failed: %s", forLog(path).constData(), qUtf8Printable(failure));
    try {
        m_writer->remove(t.partial);
    } catch (const WriteFailure& e) {
        qCWarning(lcTransferEngine).noquote() << "Could not remove" << t.partial << e.description();
    }
    set(t.itemIndex, ItemFlag::admitted, false);
    m_journal->fileAbandoned(path, m_clock->now());
    m_manifest->markFileFailed(t.itemIndex);
    if (!sourceTold)
        m_failedAtCompletion.append(t.itemIndex);
    addFileError(path, categoryID, failure);
}

QString DestinationTransfer::failUnwritable(const Target& t, const QString& error)
{
    // A folder on the way replaced by a link is never written through, nor one
    // where a file of the user's stands; neither is a folder that refuses writing.
    // Resends would change none of that: the file fails now, and says why.
    const QString folder = t.destination.left(t.destination.lastIndexOf(u'/'));
    const bool inHome = folder.startsWith(m_home + u'/');
    QString link, file;
    for (qsizetype at = m_home.size(); inHome && link.isEmpty() && file.isEmpty() && at < folder.size();) {
        const qsizetype next = folder.indexOf(u'/', at + 1);
        const QString step = folder.left(next < 0 ? folder.size() : next);
        try {
            if (m_writer->linkTarget(step))
                link = step;
            else if (const auto there = fs::status(step, fs::Links::dontFollow); there && !there->isDirectory())
                file = step;
        } catch (const WriteFailure&) {
            break; // a step that cannot be read is not a link found
        }
        at = step.size();
    }
    QString reason;
    if (!link.isEmpty())
        reason = QStringLiteral("A link stands in its folder path at %1; nothing was written through it").arg(link);
    else if (!file.isEmpty())
        reason = QStringLiteral("A file stands in its folder path at %1; it was left as it is").arg(file);
    else // named by where it goes, not by its temporary name
        reason = error.startsWith(t.partial + u':') ? t.destination + error.mid(t.partial.size()) : error;
    const auto& item = m_manifest->items[t.itemIndex];
    abandonFile(t, item.relativePath, item.categoryID, reason, true);
    m_gaps.remove(t.itemIndex);
    if (m_incoming.itemIndex == t.itemIndex)
        m_incoming = {};
    return reason;
}

void DestinationTransfer::handleFileSkip(const MessageHeader& header)
{
    const QString path = header.filePath.value_or(QString());
    const qsizetype index = indexOf(path);
    if (index < 0 || m_manifest->items[index].transferStatus != FileTransferStatus::pending)
        return;
    // Bytes already gathered for it are of no use now.
    if (has(index, ItemFlag::admitted) || m_journal->wasStarted(path)) {
        if (const Target t = target(path); t.refusal.isEmpty()) {
            try {
                m_writer->remove(t.partial);
            } catch (const WriteFailure& e) {
                qCWarning(lcTransferEngine).noquote() << "Could not remove" << t.partial << e.description();
            }
        }
        set(index, ItemFlag::admitted, false);
        m_journal->fileAbandoned(path, m_clock->now());
        if (m_incoming.itemIndex == index)
            m_incoming = {};
    }
    m_gaps.remove(index);
    m_manifest->markFileSkipped(index);
    addFileError(path, m_manifest->items[index].categoryID,
                 header.errorMessage.value_or(QStringLiteral("Skipped by source")));
}

MessageHeader DestinationTransfer::diskFullError(std::uint64_t available, std::optional<std::uint64_t> needed)
{
    MessageHeader error = makeHeader(MessageType::error);
    error.errorCode = QStringLiteral("disk_full");
    error.errorMessage = QStringLiteral("Insufficient disk space");
    error.spaceAvailable = available;
    error.spaceNeeded = needed;
    m_toldSourceWhy = true;
    return error;
}

QCoro::Task<void> DestinationTransfer::runAndSayWhy()
{
    // Less than this left, and whatever failed was the volume filling: the
    // checkpoint's next write fails as often as a file's.
    constexpr std::uint64_t kNearlyFull = 1024 * 1024;
    std::exception_ptr failure;
    QString what;
    std::uint64_t free = 0;
    try {
        co_await runDestination();
        co_return;
    } catch (const TransferError&) {
        throw;
    } catch (const std::exception& e) {
        failure = std::current_exception();
        what = describe(e);
        free = availableDiskSpace();
    }
    if (free >= kNearlyFull || m_toldSourceWhy || !m_manifest || !m_connection->isConnected())
        std::rethrow_exception(failure);
    qCWarning(lcTransferEngine).noquote() << "Failed on a full volume:" << what;
    co_await send(diskFullError(free));
    throw TransferError::insufficientDiskSpace(m_manifest->totalSize - std::min(m_bytesDone, m_manifest->totalSize), free);
}

QCoro::Task<void> DestinationTransfer::letTheSourceRead()
{
    constexpr auto kLimit = std::chrono::seconds(5);
    QElapsedTimer waited;
    waited.start();
    setIdleDeadline(std::chrono::duration_cast<std::chrono::milliseconds>(kLimit));
    try {
        while (m_connection->isConnected() && waited.elapsed() < std::chrono::milliseconds(kLimit).count())
            (void)co_await m_connection->receiveMessage();
    } catch (const std::exception&) {
        // The source hung up, or said nothing more in time: either way, done.
    }
    setIdleDeadline(std::chrono::milliseconds(0));
}

} // namespace kivo
