// SPDX-License-Identifier: Apache-2.0
// The source's files with several names: each file's bytes go once, its other
// names as links to the first, when the destination takes links.
#include "transfer/SourceTransfer.h"

#include "platform/FileSystem.h"
#include "platform/Logging.h"
#include "transfer/Background.h"
#include "transfer/WirePath.h"

#include <algorithm>

namespace kivo {

namespace {

std::optional<HardLinkGroups::Identity> identityAt(const QString& path)
{
    // Followed as the file is when it is read.
    const std::optional<fs::FileStatus> status = fs::status(path, fs::Links::follow);
    if (!status || !status->isRegular() || status->linkCount < 2)
        return std::nullopt;
    return HardLinkGroups::Identity{status->device, status->inode};
}

} // namespace

QCoro::Task<void> SourceTransfer::findLinkGroups()
{
    // The groups in the manifest are the offer: the destination counts each group's bytes once.
    const auto& items = m_manifest->items;
    if (!m_offerHardLinks || std::none_of(items.cbegin(), items.cend(), [](const auto& item) { return item.multiplyLinked; }))
        co_return;
    // A look at every file listed with several names: on a pool thread.
    auto finding = startInBackground([items = m_manifest->items] {
        return HardLinkGroups::find(items, [](const TransferManifest::FileItem& item) { return identityAt(item.absolutePath()); });
    });
    m_links = co_await finishInBackground(std::move(finding));
    m_links.applyTo(m_manifest->items);
    if (m_links.groupCount() > 0)
        qCInfo(lcTransferEngine, "%lld file(s) have several names here", qlonglong(m_links.groupCount()));
}

void SourceTransfer::agreeOnLinks(const MessageHeader& manifestAck)
{
    m_links.setLinksAllowed(m_offerHardLinks && manifestAck.hardLinks.value_or(0) >= 1);
    if (!m_links.linksAllowed() || m_links.groupCount() == 0)
        return;
    qCInfo(lcTransferEngine, "Files with several names go once, the other names as links");
    // What an earlier run delivered serves as a target; a name it left half
    // sent is continued as bytes.
    const auto& items = m_manifest->items;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i].linkGroup != 0 && items[i].transferStatus == FileTransferStatus::completed)
            m_links.noteDone(i);
    }
    if (m_resumeState && m_resumeState->inProgressFile) {
        for (qsizetype i = 0; i < items.size(); ++i) {
            if (items[i].linkGroup != 0 && items[i].relativePath == m_resumeState->inProgressFile->relativePath)
                m_links.noteInProgress(i);
        }
    }
}

QCoro::Task<bool> SourceTransfer::sendAsLink(qsizetype itemIndex)
{
    const qsizetype target = m_links.linkTargetFor(itemIndex);
    if (target < 0)
        co_return false;
    const auto item = m_manifest->items[itemIndex];
    // A name given to another file since it was listed is sent as what it is now.
    if (identityAt(item.absolutePath()) != m_links.identityOf(itemIndex))
        co_return false;
    beginFile(itemIndex);
    QString hash;
    if (target < m_sentHashes.size() && m_sentHashes[target]) {
        hash = m_sentHashes[target]->toHex();
        if (m_sentHashes.size() <= itemIndex)
            m_sentHashes.resize(m_manifest->items.size());
        m_sentHashCount += !m_sentHashes[itemIndex];
        m_sentHashes[itemIndex] = m_sentHashes[target];
    }
    using Request = RequestWindow::Request;
    Request link{Request::Kind::link, itemIndex, item.relativePath, 0, 0, {}, hash, 0, false,
                 m_manifest->items[target].relativePath};
    co_await sendRequest(std::move(link));
    co_return true;
}

void SourceTransfer::noteSentWhole(qsizetype itemIndex)
{
    if (m_links.groupOf(itemIndex) == 0 || m_window.hasFailed(itemIndex))
        return;
    // The bytes read are the group's file only if the name still is.
    const bool same = identityAt(m_manifest->items[itemIndex].absolutePath()) == m_links.identityOf(itemIndex);
    m_links.noteSent(itemIndex, same);
}

void SourceTransfer::linkRefused(qsizetype itemIndex, const QString& reason)
{
    qCInfo(lcTransferEngine, "%s goes as a copy: %s", forLog(m_manifest->items[itemIndex].relativePath).constData(),
           qUtf8Printable(reason));
    m_links.noteRefused(itemIndex);
    if (itemIndex < m_sentHashes.size() && m_sentHashes[itemIndex]) {
        m_sentHashes[itemIndex].reset();
        m_sentHashCount -= 1;
    }
    m_copiesDue.append(itemIndex);
}

QCoro::Task<void> SourceTransfer::sendCopiesDue()
{
    while (!m_copiesDue.isEmpty() && !m_isCancelled) {
        const qsizetype index = m_copiesDue.takeFirst();
        const QString categoryID = m_manifest->items[index].categoryID;
        std::exception_ptr failure;
        try {
            if (!co_await sendFile(index, categoryID, prepareFile(index), {}))
                co_return;
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure)
            co_await giveUpFile(index, failure);
    }
}

QCoro::Task<void> SourceTransfer::finishLinkCopies()
{
    if (!m_links.linksAllowed())
        co_return;
    for (;;) {
        co_await drainWindow();
        if (m_copiesDue.isEmpty() || m_isCancelled)
            co_return;
        co_await sendCopiesDue();
    }
}

} // namespace kivo
