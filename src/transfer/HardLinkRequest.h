// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/FileHasher.h"
#include "transfer/TransferManifest.h"
#include "transfer/WirePath.h"

#include <QString>

#include <optional>

namespace kivo {

// A source's word that a file is another name of one it already sent: what
// the destination knows of both, and whether that is enough to make the link.
// The target must be a file this transfer wrote here, in the same group of the
// same category, the same size and time, beneath the home; anything else is
// refused and the file's bytes are expected instead.
struct HardLinkRequest {
    enum class TargetState {
        notReceived, // not (yet) here whole, or failed
        notOurs,     // here, but not as this transfer wrote it (kept by the conflict policy, taken in by a handler)
        ours,
    };

    const TransferManifest::FileItem* link = nullptr;
    // Null when no item of the manifest has the path named.
    const TransferManifest::FileItem* target = nullptr;
    bool targetIsLink = false;
    std::optional<PathRefusal> targetPathRefusal;
    TargetState targetState = TargetState::notReceived;
    // What the target holds, as checked when it was written.
    std::optional<Sha256Digest> targetHash;
    // The whole-file hash the source gave, when it gave one.
    std::optional<QString> announcedHash;

    // Why the link is not made, or nullopt to make it.
    std::optional<QString> refusal() const;
};

} // namespace kivo
