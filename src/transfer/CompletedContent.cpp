// SPDX-License-Identifier: Apache-2.0
#include "transfer/CompletedContent.h"

namespace kivo {

CompletedContent CompletedContent::of(const Sha256Digest& hash, const fs::FileStatus& status)
{
    return {hash, status.size, status.modifiedSecs, status.modifiedNsecs};
}

bool CompletedContent::mayBeHeldBy(const std::optional<fs::FileStatus>& status) const
{
    return status && status->isRegular() && status->size == size && status->modifiedSecs == modifiedSecs
        && status->modifiedNsecs == modifiedNsecs;
}

QString CompletedContent::stamp() const
{
    return QStringLiteral("%1:%2:%3").arg(size).arg(modifiedSecs).arg(modifiedNsecs);
}

std::optional<CompletedContent> CompletedContent::parse(QStringView hashHex, QStringView stamp)
{
    const std::optional<Sha256Digest> hash = Sha256Digest::fromHex(hashHex);
    const QList<QStringView> parts = stamp.split(u':');
    if (!hash || parts.size() != 3)
        return std::nullopt;
    bool sizeOk = false, secsOk = false, nsecsOk = false;
    CompletedContent c{*hash, parts[0].toULongLong(&sizeOk), parts[1].toLongLong(&secsOk), parts[2].toLongLong(&nsecsOk)};
    if (!sizeOk || !secsOk || !nsecsOk || c.modifiedNsecs < 0 || c.modifiedNsecs >= 1000000000)
        return std::nullopt;
    return c;
}

QList<qsizetype> changedSinceRecorded(const QList<RecordedFile>& files)
{
    QList<qsizetype> changed;
    for (const RecordedFile& f : files) {
        if (!f.content.mayBeHeldBy(fs::status(f.destination, fs::Links::dontFollow)))
            changed.append(f.item);
    }
    return changed;
}

} // namespace kivo
