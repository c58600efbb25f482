// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/FileHasher.h"
#include "transfer/ItemsByPath.h"
#include "transfer/MessageHeader.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferManifest.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <optional>

namespace kivo {

// What the source makes of (part of) the destination's verification answer.
struct VerificationTally {
    qsizetype checked = 0;
    QStringList mismatches; // in the answer's order
};

// The whole-file hash of each item sent, by item number.
using SentHashes = QList<std::optional<Sha256Digest>>;

// Every entry counts as checked; one whose hash differs from the hash sent is
// a mismatch (an empty or malformed hash too). A file an earlier run sent has
// no hash here: only an entry without a hash is a mismatch. Entries for files
// never sent are ignored.
// `sent` and `byPath` are numbered as `items`.
VerificationTally compareWithSent(const QList<FileVerification>& answered, const QList<TransferManifest::FileItem>& items,
                                  const ItemsByPath& byPath, const SentHashes& sent);

// Items a checkpoint lists as finished, with what they add up to per category.
struct CompletedMatch {
    struct Totals {
        qsizetype files = 0;
        std::uint64_t bytes = 0;
    };
    QList<qsizetype> indices;
    QHash<QString, Totals> perCategory;
};
CompletedMatch matchCompleted(const QList<TransferManifest::FileItem>& items, const ResumeState& checkpoint);

// A generous bound on what one entry adds to a header's JSON: every character
// of the path may need a six-byte escape.
inline qint64 encodedSizeBound(const FileVerification& v) { return v.filePath.size() * 6 + 160; }

} // namespace kivo
