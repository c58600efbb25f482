// SPDX-License-Identifier: Apache-2.0
#include "transfer/HardLinkRequest.h"

namespace kivo {

std::optional<QString> HardLinkRequest::refusal() const
{
    if (!link)
        return QStringLiteral("Unknown file");
    if (!target)
        return QStringLiteral("Link target is not a file of this transfer");
    if (targetIsLink)
        return QStringLiteral("Link target is the file itself");
    if (targetPathRefusal)
        return QStringLiteral("Link target refused: ") + toString(*targetPathRefusal);
    // The source groups names of one file within one category; a manifest saying otherwise is not believed.
    if (link->linkGroup == 0 || target->linkGroup != link->linkGroup || target->categoryID != link->categoryID)
        return QStringLiteral("Link target is not another name of this file");
    if (target->size != link->size || target->sourceModified != link->sourceModified
        || target->sourceModifiedNanoseconds != link->sourceModifiedNanoseconds)
        return QStringLiteral("Link target differs in size or time");
    if (targetState == TargetState::notReceived)
        return QStringLiteral("Link target not received");
    if (targetState == TargetState::notOurs || !targetHash)
        return QStringLiteral("Link target was not written by this transfer");
    if (announcedHash && Sha256Digest::fromHex(*announcedHash) != targetHash)
        return QStringLiteral("Link target holds other content");
    return std::nullopt;
}

} // namespace kivo
