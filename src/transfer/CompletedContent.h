// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/FileSystem.h"
#include "transfer/FileHasher.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace kivo {

// What a file kivo put in place held when it left it. A later run tells a file
// damaged or removed since from one left alone: cheaply by its size and time,
// surely by its hash.
struct CompletedContent {
    Sha256Digest hash;
    std::uint64_t size = 0;
    std::int64_t modifiedSecs = 0;
    std::int64_t modifiedNsecs = 0;

    static CompletedContent of(const Sha256Digest& hash, const fs::FileStatus& status);
    // Whether a file with this status may still hold it; a link, a folder or nothing never does.
    bool mayBeHeldBy(const std::optional<fs::FileStatus>& status) const;
    // "size:secs:nsecs", the checkpoint's spelling of everything but the hash.
    QString stamp() const;
    // Nullopt unless both are well formed.
    static std::optional<CompletedContent> parse(QStringView hashHex, QStringView stamp);
    bool operator==(const CompletedContent&) const = default;
};

// A file finished by an earlier run, where it is now and what it should hold.
struct RecordedFile {
    qsizetype item = -1;
    QString destination;
    CompletedContent content;
};

// Those of `files` that are no longer what was recorded, judged by a look at each, without reading any.
QList<qsizetype> changedSinceRecorded(const QList<RecordedFile>& files);

} // namespace kivo
