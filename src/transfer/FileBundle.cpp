// SPDX-License-Identifier: Apache-2.0
#include "transfer/FileBundle.h"

#include "transfer/TransferError.h"

#include <algorithm>

namespace kivo::FileBundle {

std::uint32_t accept(const MessageHeader& manifest, std::uint32_t ownLimit)
{
    if (!manifest.fileBundles || *manifest.fileBundles == 0)
        return 0;
    return std::min({*manifest.fileBundles, ownLimit, kMaxPayload});
}

std::uint32_t agreed(const MessageHeader& manifestAck, std::uint32_t offered)
{
    if (!manifestAck.fileBundles || *manifestAck.fileBundles == 0)
        return 0;
    if (offered == 0)
        throw TransferError::invalidMessage(QStringLiteral("manifestAck takes file bundles that were not offered"));
    return std::min(*manifestAck.fileBundles, offered);
}

bool Packer::add(std::uint64_t size, qsizetype pathBytes)
{
    const bool first = m_files == 0;
    if (!first
        && (m_files >= kMaxFiles || m_payload + size > m_limit || m_pathBytes + pathBytes > kMaxPathBytes))
        return false;
    m_files += 1;
    m_payload += size;
    m_pathBytes += pathBytes;
    return true;
}

std::variant<QList<Entry>, QString> entries(const MessageHeader& bundle, qsizetype payloadSize, std::uint32_t limit)
{
    if (!bundle.fileHashes || bundle.fileHashes->isEmpty())
        return QStringLiteral("File bundle lists no files");
    if (bundle.fileHashes->size() > kMaxFiles)
        return QStringLiteral("File bundle lists %1 files, more than %2").arg(bundle.fileHashes->size()).arg(kMaxFiles);
    if (payloadSize < 0 || std::uint64_t(payloadSize) > limit)
        return QStringLiteral("File bundle of %1 bytes, more than the %2 agreed").arg(payloadSize).arg(limit);
    QList<Entry> out;
    out.reserve(bundle.fileHashes->size());
    std::uint64_t offset = 0;
    for (const FileVerification& f : *bundle.fileHashes) {
        // The sum is checked as it goes: a size near 2^64 must not wrap it back into range.
        if (f.size > std::uint64_t(payloadSize) - offset)
            return QStringLiteral("File bundle sizes exceed its payload");
        out.append({f.filePath, f.sha256Hash, std::uint32_t(offset), std::uint32_t(f.size)});
        offset += f.size;
    }
    if (offset != std::uint64_t(payloadSize))
        return QStringLiteral("File bundle sizes do not add up to its payload");
    return out;
}

} // namespace kivo::FileBundle
