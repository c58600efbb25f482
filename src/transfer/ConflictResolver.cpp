#include "transfer/ConflictResolver.h"

#include <QFile>

#include <sys/stat.h>

namespace kivo::ConflictResolver {

ConflictDecision resolve(const QString& destinationPath, const std::optional<QDateTime>& sourceModified,
                         ConflictPolicy policy)
{
    // lstat: a dangling link is still something that exists at the path.
    struct stat st {};
    const QByteArray native = QFile::encodeName(destinationPath);
    if (::lstat(native.constData(), &st) != 0)
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
    if (::stat(native.constData(), &st) == 0)
        destinationModified = QDateTime::fromMSecsSinceEpoch(
            static_cast<qint64>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, Qt::UTC);
    if (!sourceModified || !sourceModified->isValid() || !destinationModified)
        return ConflictDecision::skip(QStringLiteral("missing mtime, defaulting to skip"));
    if (*destinationModified > *sourceModified)
        return ConflictDecision::skip(QStringLiteral("destination is newer"));
    return ConflictDecision::writeFile(QStringLiteral("source is newer or equal"));
}

} // namespace kivo::ConflictResolver
