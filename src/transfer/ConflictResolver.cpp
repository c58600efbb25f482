#include "transfer/ConflictResolver.h"

#include "platform/FileSystem.h"

namespace kivo::ConflictResolver {

ConflictDecision resolve(const QString& destinationPath, const std::optional<QDateTime>& sourceModified,
                         ConflictPolicy policy)
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

    std::optional<QDateTime> destinationModified;
    if (const auto status = fs::status(destinationPath, fs::Links::follow))
        destinationModified =
            QDateTime::fromMSecsSinceEpoch(status->modifiedSecs * 1000 + status->modifiedNsecs / 1000000, Qt::UTC);
    if (!sourceModified || !sourceModified->isValid() || !destinationModified)
        return ConflictDecision::skip(QStringLiteral("missing mtime, defaulting to skip"));
    if (*destinationModified > *sourceModified)
        return ConflictDecision::skip(QStringLiteral("destination is newer"));
    return ConflictDecision::writeFile(QStringLiteral("source is newer or equal"));
}

} // namespace kivo::ConflictResolver
