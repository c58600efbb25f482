// SPDX-License-Identifier: Apache-2.0
#include "transfer/ConflictResolver.h"

namespace kivo::ConflictResolver {

ConflictDecision resolve(const QString& destinationPath, const std::optional<QDateTime>& sourceModified,
                         ConflictPolicy policy, std::optional<std::uint32_t> sourceNanoseconds, fs::Links links)
{
    // A dangling link is still something that exists at the path.
    if (!fs::status(destinationPath, fs::Links::dontFollow))
        return ConflictDecision::writeFile();

    switch (policy) {
    case ConflictPolicy::overwrite:
        return ConflictDecision::writeFile(QStringLiteral("policy=overwrite"));
    case ConflictPolicy::skip:
    case ConflictPolicy::ask:
        return ConflictDecision::skip(QStringLiteral("destination exists, policy=") + toString(policy));
    case ConflictPolicy::keepNewer:
        break;
    }

    // A failure to read the destination's attributes counts as a missing date.
    const std::optional<fs::FileStatus> status = fs::status(destinationPath, links);
    if (!sourceModified || !sourceModified->isValid() || !status)
        return ConflictDecision::skip(QStringLiteral("missing mtime, defaulting to skip"));
    const std::int64_t sourceSecs = sourceModified->toSecsSinceEpoch();
    // Without the source's fraction, the destination's is dropped too: equal seconds are equal times.
    const bool newer = status->modifiedSecs != sourceSecs
                           ? status->modifiedSecs > sourceSecs
                           : sourceNanoseconds && status->modifiedNsecs > std::int64_t(*sourceNanoseconds);
    if (newer)
        return ConflictDecision::skip(QStringLiteral("destination is newer"));
    return ConflictDecision::writeFile(QStringLiteral("source is newer or equal"));
}

} // namespace kivo::ConflictResolver
