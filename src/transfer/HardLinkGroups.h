// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/TransferManifest.h"

#include <QHash>
#include <QList>
#include <QSet>

#include <cstdint>
#include <functional>
#include <optional>

namespace kivo {

// The items of a manifest that are one file on the source under several
// names, and which of those names the destination already has whole: a later
// name is sent as a link to it, so the file's bytes cross the wire once.
// Groups never span categories (a category's files may be adapted or taken in
// on their own). Knows nothing of the wire or the disk: the sender tells it
// what happened to each name.
class HardLinkGroups {
public:
    // Which file an item's path names now. Kept on this side only: it would
    // tell the other side nothing useful.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    // Nullopt for an item that cannot be looked at or has one name only.
    using Identify = std::function<std::optional<Identity>(const TransferManifest::FileItem&)>;

    HardLinkGroups() = default;
    // Asks only about items listed as having several names. Items of one
    // category with the same file, size and time form a group when there are
    // at least two; groups are numbered from 1 in manifest order.
    static HardLinkGroups find(const QList<TransferManifest::FileItem>& items, const Identify& identify);
    // Writes each item's group number (0 for none) into `linkGroup`.
    void applyTo(QList<TransferManifest::FileItem>& items) const;

    qsizetype groupCount() const { return m_groups.size(); }
    std::uint32_t groupOf(qsizetype item) const { return m_groupOf.value(item, 0); }
    // The file the group's names shared when they were listed.
    std::optional<Identity> identityOf(qsizetype item) const;

    // Whether the destination takes links at all; without, every name is sent as bytes.
    void setLinksAllowed(bool allowed) { m_linksAllowed = allowed; }
    bool linksAllowed() const { return m_linksAllowed; }

    // The destination holds the item whole (its checkpoint says so).
    void noteDone(qsizetype item);
    // The destination holds part of the item's bytes: they are continued, not replaced by a link.
    void noteInProgress(qsizetype item);
    // Every byte of the item went out. Only a file that is still the group's may serve as a target.
    void noteSent(qsizetype item, bool stillTheGroupsFile);
    // The item will not arrive (failed, skipped): it cannot be a target.
    void noteLost(qsizetype item);
    // The destination refused the item as a link: its target will not do there.
    // The item's bytes follow, and the next name sent whole serves the group.
    void noteRefused(qsizetype item);

    // The item to link this one to, or -1: send its bytes.
    qsizetype linkTargetFor(qsizetype item) const;

private:
    struct Group {
        Identity identity;
        // The name the destination has (or is about to have) whole; -1: none yet.
        qsizetype target = -1;
    };

    QList<Group> m_groups;
    QHash<qsizetype, std::uint32_t> m_groupOf;
    // Items whose bytes are to be sent whatever the group holds.
    QSet<qsizetype> m_bytesOnly;
    bool m_linksAllowed = false;
};

} // namespace kivo
