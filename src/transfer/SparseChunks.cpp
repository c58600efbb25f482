// SPDX-License-Identifier: Apache-2.0
#include "transfer/SparseChunks.h"

#include "platform/FileSystem.h"
#include "transfer/FileHasher.h"

#include <algorithm>
#include <cstring>

namespace kivo {

HoleMap HoleMap::read(const QString& path, std::int64_t size)
{
    HoleMap map;
    try {
        map.m_data = fs::dataRegions(fs::openForReading(path), size);
        map.m_known = true;
    } catch (const SystemError&) {
        // The read that follows reports what is wrong with the file.
    }
    return map;
}

bool HoleMap::isHole(std::int64_t offset, std::int64_t length) const
{
    if (!m_known)
        return false;
    const std::int64_t end = offset + length;
    // The first region ending after `offset` is the only one that can overlap.
    const auto it = std::upper_bound(m_data.cbegin(), m_data.cend(), offset,
                                     [](std::int64_t at, const fs::DataRegion& r) { return at < r.end; });
    return it == m_data.cend() || it->start >= end;
}

bool isAllZero(QByteArrayView data)
{
    static const char zeros[4096] = {};
    for (qsizetype at = 0; at < data.size(); at += qsizetype(sizeof zeros)) {
        const qsizetype n = std::min<qsizetype>(sizeof zeros, data.size() - at);
        if (std::memcmp(data.data() + at, zeros, size_t(n)) != 0)
            return false;
    }
    return true;
}

QByteArray zeroBytes(qsizetype size)
{
    static const QByteArray chunk(FileHasher::kChunkSize, '\0');
    return size == chunk.size() ? chunk : QByteArray(size, '\0');
}

QString zeroBytesHash(qsizetype size)
{
    static const QString chunk = FileHasher::sha256Hex(zeroBytes(FileHasher::kChunkSize));
    return size == FileHasher::kChunkSize ? chunk : FileHasher::sha256Hex(zeroBytes(size));
}

} // namespace kivo
