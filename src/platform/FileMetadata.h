// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace kivo::fs {

// One extended attribute the user (or the user's programs) set on a file.
struct ExtendedAttribute {
    QByteArray name;
    QByteArray value;
    bool operator==(const ExtendedAttribute&) const = default;
};

// A modification time to the nanosecond.
struct FileTime {
    std::int64_t secs = 0;
    std::int64_t nsecs = 0; // 0 to 999,999,999
    bool operator==(const FileTime&) const = default;
    auto operator<=>(const FileTime&) const = default;
};

// Whether an attribute of this name is the user's own, and so travels with
// the file: the user namespace, without the attributes the system keeps there
// itself (download quarantine and the like).
bool isUserAttribute(QByteArrayView name);

// The user's extended attributes of the entry at `nativePath`, a link itself
// rather than what it points to. Unreadable attributes are left out.
QList<ExtendedAttribute> readUserAttributes(const QByteArray& nativePath);

// The target text of the symbolic link at `nativePath`; nothing when it is none.
std::optional<QByteArray> readLinkTarget(const QByteArray& nativePath);

// A stretch of the file that holds data; everything between is a hole that reads as zeros.
struct DataRegion {
    std::int64_t start = 0;
    std::int64_t end = 0;
    bool operator==(const DataRegion&) const = default;
};
// The data regions of an open file of `size` bytes, found by seeking to data
// and holes. A file system that cannot tell gives one region over the whole file.
QList<DataRegion> dataRegions(const UniqueFd& file, std::int64_t size);

} // namespace kivo::fs
