// SPDX-License-Identifier: Apache-2.0
#include "transfer/HardLinkGroups.h"

#include <QHash>

namespace kivo {

namespace {

// What must be equal for two items to be one file: the destination checks the same.
struct GroupKey {
    QString categoryID;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::optional<QDateTime> modified;
    std::optional<std::uint32_t> nanoseconds;
    bool operator==(const GroupKey&) const = default;
};

size_t qHash(const GroupKey& k, size_t seed = 0)
{
    return qHashMulti(seed, k.categoryID, k.device, k.inode, k.size);
}

} // namespace

HardLinkGroups HardLinkGroups::find(const QList<TransferManifest::FileItem>& items, const Identify& identify)
{
    // First the names of each file, in manifest order; then numbers for files with two or more.
    QHash<GroupKey, QList<qsizetype>> byFile;
    QList<GroupKey> order;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (!item.multiplyLinked)
            continue;
        const std::optional<Identity> id = identify(item);
        if (!id)
            continue;
        GroupKey key{item.categoryID, id->device, id->inode, item.size, item.sourceModified, item.sourceModifiedNanoseconds};
        auto& names = byFile[key];
        if (names.isEmpty())
            order.append(key);
        names.append(i);
    }
    HardLinkGroups groups;
    for (const GroupKey& key : std::as_const(order)) {
        const QList<qsizetype>& names = byFile[key];
        if (names.size() < 2)
            continue;
        groups.m_groups.append({{key.device, key.inode}, -1});
        for (qsizetype i : names)
            groups.m_groupOf.insert(i, std::uint32_t(groups.m_groups.size()));
    }
    return groups;
}

void HardLinkGroups::applyTo(QList<TransferManifest::FileItem>& items) const
{
    // Read through at(): a list shared with a copy is only copied when an item changes.
    for (qsizetype i = 0; i < items.size(); ++i) {
        const std::uint32_t group = groupOf(i);
        if (items.at(i).linkGroup != group)
            items[i].linkGroup = group;
    }
}

std::optional<HardLinkGroups::Identity> HardLinkGroups::identityOf(qsizetype item) const
{
    const std::uint32_t group = groupOf(item);
    if (group == 0)
        return std::nullopt;
    return m_groups[group - 1].identity;
}

void HardLinkGroups::noteDone(qsizetype item)
{
    const std::uint32_t group = groupOf(item);
    // The first name the destination holds serves every later one.
    if (group != 0 && m_groups[group - 1].target < 0)
        m_groups[group - 1].target = item;
}

void HardLinkGroups::noteInProgress(qsizetype item)
{
    if (groupOf(item) != 0)
        m_bytesOnly.insert(item);
}

void HardLinkGroups::noteSent(qsizetype item, bool stillTheGroupsFile)
{
    const std::uint32_t group = groupOf(item);
    if (group != 0 && stillTheGroupsFile && m_groups[group - 1].target < 0)
        m_groups[group - 1].target = item;
}

void HardLinkGroups::noteLost(qsizetype item)
{
    const std::uint32_t group = groupOf(item);
    if (group != 0 && m_groups[group - 1].target == item)
        m_groups[group - 1].target = -1;
}

void HardLinkGroups::noteRefused(qsizetype item)
{
    const std::uint32_t group = groupOf(item);
    if (group == 0)
        return;
    m_groups[group - 1].target = -1;
    m_bytesOnly.insert(item);
}

qsizetype HardLinkGroups::linkTargetFor(qsizetype item) const
{
    const std::uint32_t group = groupOf(item);
    if (!m_linksAllowed || group == 0 || m_bytesOnly.contains(item))
        return -1;
    const qsizetype target = m_groups[group - 1].target;
    return target == item ? -1 : target;
}

} // namespace kivo
