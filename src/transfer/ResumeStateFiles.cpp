// SPDX-License-Identifier: Apache-2.0
// The checkpoint's records, packed. Each is kept as 56 bytes beside its path,
// found through a table of 4-byte slots: a file's content stamp is usually the
// source's size and second, so only its nanoseconds are stored, and the rare
// stamp that differs is kept to one side.
#include "transfer/ResumeState.h"

#include <QHashSeed>

#include <bit>

namespace kivo {

namespace {

enum RecordFlag : std::uint8_t {
    kLive = 1,
    kIdentity = 2,
    kSourceModified = 4,
    kContent = 8,
    kCompleted = 16,
    kStampApart = 32,
};

constexpr std::int64_t kNanosPerSecond = 1000000000;

// The whole second a time in milliseconds falls in, before 1970 too.
std::int64_t secondOf(std::int64_t msecs) { return msecs / 1000 - (msecs % 1000 < 0 ? 1 : 0); }

// Whether the stamp is the source's size and second, so that only its nanoseconds need keeping.
bool stampIsSources(const ResumeState::FileRecord& r)
{
    const CompletedContent& c = r.content;
    return r.hasSourceModified && c.size == r.sourceSize && c.modifiedNsecs >= 0 && c.modifiedNsecs < kNanosPerSecond
        && c.modifiedSecs == secondOf(r.sourceModifiedMsecs);
}

} // namespace

ResumeState::Files::const_iterator::const_iterator(const Files* files, qsizetype at)
    : m_files(files), m_at(at)
{
    while (m_at < m_files->m_records.size() && !(m_files->m_records[m_at].flags & kLive))
        ++m_at;
}

ResumeState::Files::const_iterator& ResumeState::Files::const_iterator::operator++()
{
    *this = const_iterator(m_files, m_at + 1);
    return *this;
}

ResumeState::FileRecord ResumeState::Files::recordAt(qsizetype at) const
{
    const Packed& p = m_records[at];
    FileRecord r;
    r.hasIdentity = p.flags & kIdentity;
    r.hasSourceModified = p.flags & kSourceModified;
    r.hasContent = p.flags & kContent;
    r.completed = p.flags & kCompleted;
    if (r.hasIdentity) {
        r.sourceSize = p.size;
        r.sourceModifiedMsecs = p.time;
    }
    if (!r.hasContent)
        return r;
    r.content.hash = p.hash;
    if (p.flags & kStampApart) {
        const Stamp stamp = m_apart.value(at);
        r.content.size = stamp.size;
        r.content.modifiedSecs = stamp.secs;
        r.content.modifiedNsecs = stamp.nsecs;
    } else if (r.hasIdentity) {
        r.content.size = p.size;
        r.content.modifiedSecs = secondOf(p.time);
        r.content.modifiedNsecs = p.nsecs;
    } else {
        r.content.size = p.size;
        r.content.modifiedSecs = p.time;
        r.content.modifiedNsecs = p.nsecs;
    }
    return r;
}

qsizetype ResumeState::Files::slotOf(const QString& path) const
{
    if (m_slots.isEmpty())
        return -1;
    // Seeded per process: paths come from the peer, and must not be able to pile into one chain.
    const std::size_t mask = std::size_t(m_slots.size()) - 1;
    for (std::size_t i = qHash(path, QHashSeed::globalSeed()) & mask;; i = (i + 1) & mask) {
        const std::uint32_t entry = m_slots[qsizetype(i)];
        if (entry == 0)
            return qsizetype(i);
        if ((m_records[entry - 1].flags & kLive) && m_paths[entry - 1] == path)
            return qsizetype(i);
    }
}

ResumeState::Files::const_iterator ResumeState::Files::constFind(const QString& path) const
{
    const qsizetype slot = slotOf(path);
    return slot < 0 || m_slots[slot] == 0 ? cend() : const_iterator(this, qsizetype(m_slots[slot]) - 1);
}

void ResumeState::Files::rebuild(qsizetype capacity)
{
    capacity = std::max(capacity, m_live);
    QList<QString> paths;
    QList<Packed> records;
    QHash<qsizetype, Stamp> apart;
    paths.reserve(capacity);
    records.reserve(capacity);
    for (qsizetype at = 0; at < m_records.size(); ++at) {
        if (!(m_records[at].flags & kLive))
            continue;
        if (m_records[at].flags & kStampApart)
            apart.insert(records.size(), m_apart.value(at));
        paths.append(m_paths.at(at));
        records.append(m_records[at]);
    }
    m_paths = std::move(paths);
    m_records = std::move(records);
    m_apart = std::move(apart);
    // At most three slots in four taken, so a search ends soon after its start.
    const std::size_t slotCount = std::bit_ceil(std::size_t(std::max<qsizetype>(16, capacity + capacity / 3 + 1)));
    m_slots = QList<std::uint32_t>(qsizetype(slotCount), 0);
    for (qsizetype at = 0; at < m_paths.size(); ++at)
        m_slots[slotOf(m_paths[at])] = std::uint32_t(at + 1);
}

void ResumeState::Files::reserve(qsizetype count)
{
    if (count * 4 > m_slots.size() * 3)
        rebuild(count);
}

void ResumeState::Files::store(const QString& path, const FileRecord& record)
{
    qsizetype slot = slotOf(path);
    const qsizetype found = slot < 0 || m_slots[slot] == 0 ? -1 : qsizetype(m_slots[slot]) - 1;
    if (record.isEmpty()) {
        if (found >= 0) {
            // Its slot stays, pointing at a dead entry, so the searches through it go on past it.
            m_records[found] = {};
            m_paths[found] = QString();
            m_apart.remove(found);
            --m_live;
        }
        return;
    }
    Packed p;
    p.flags = kLive | (record.hasIdentity ? kIdentity : 0) | (record.hasSourceModified ? kSourceModified : 0)
        | (record.hasContent ? kContent : 0) | (record.completed ? kCompleted : 0);
    std::optional<std::uint32_t> nanos;
    if (record.hasIdentity) {
        p.size = record.sourceSize;
        p.time = record.sourceModifiedMsecs;
        if (record.hasContent && stampIsSources(record))
            nanos = std::uint32_t(record.content.modifiedNsecs);
    } else if (record.hasContent) {
        p.size = record.content.size;
        p.time = record.content.modifiedSecs;
        if (record.content.modifiedNsecs >= 0 && record.content.modifiedNsecs < kNanosPerSecond)
            nanos = std::uint32_t(record.content.modifiedNsecs);
    }
    if (record.hasContent) {
        p.hash = record.content.hash;
        p.nsecs = nanos.value_or(0);
        p.flags |= nanos ? 0 : kStampApart;
    }
    qsizetype at = found;
    if (at < 0) {
        if ((m_paths.size() + 1) * 4 > m_slots.size() * 3) {
            rebuild(m_live + 1);
            slot = slotOf(path);
        }
        at = m_paths.size();
        m_paths.append(path);
        m_records.append(p);
        m_slots[slot] = std::uint32_t(at + 1);
        ++m_live;
    } else {
        m_records[at] = p;
    }
    if (p.flags & kStampApart)
        m_apart.insert(at, {record.content.size, record.content.modifiedSecs, record.content.modifiedNsecs});
    else
        m_apart.remove(at);
}

bool ResumeState::Files::operator==(const Files& other) const
{
    if (m_live != other.m_live)
        return false;
    for (auto it = cbegin(); it != cend(); ++it) {
        const auto there = other.constFind(it.key());
        if (there == other.cend() || *there != *it)
            return false;
    }
    return true;
}

} // namespace kivo
