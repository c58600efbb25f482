// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileMetadata.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace kivo {

// Where a sparse source file keeps its data, so that chunks lying wholly in a
// hole travel as a hole marker instead of bytes. Hashes still cover the
// logical bytes: a hole reads as zeros on both sides.
class HoleMap {
public:
    HoleMap() = default;
    // The data regions of the file at `path`; a file that cannot be opened is taken as all data.
    static HoleMap read(const QString& path, std::int64_t size);
    // True when nothing of [offset, offset + length) holds data.
    bool isHole(std::int64_t offset, std::int64_t length) const;

private:
    QList<fs::DataRegion> m_data;
    bool m_known = false;
};

bool isAllZero(QByteArrayView data);
// `size` zero bytes (one shared buffer for the usual chunk size) and their hash.
QByteArray zeroBytes(qsizetype size);
QString zeroBytesHash(qsizetype size);

} // namespace kivo
