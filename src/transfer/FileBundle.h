// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "transfer/FileHasher.h"
#include "transfer/MessageHeader.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <variant>

namespace kivo {

// Many whole small files in one frame: the files of a bundle travel as one
// request and are answered by one fileBundleAck, so a tree of tiny files costs
// a round trip and a checkpoint write per bundle instead of per file.
namespace FileBundle {

// The payload of a bundle is no larger than a chunk's, so a bundle needs no
// more memory or window room than a chunk does.
constexpr std::uint32_t kMaxPayload = std::uint32_t(FileHasher::kChunkSize);
// What keeps the header well under the frame's header limit: the entry count,
// and the bytes of the paths in it.
constexpr qsizetype kMaxFiles = 512;
constexpr qsizetype kMaxPathBytes = 256 * 1024;

// The destination's side: the payload size it takes, from the source's offer
// on the manifest and its own limit (0: it takes none); 0 when either says nothing.
std::uint32_t accept(const MessageHeader& manifest, std::uint32_t ownLimit);
// The source's side: what manifestAck agreed to, never above the offer; 0 is
// today's file-by-file exchange. A destination announcing bundles that were
// not offered throws TransferError::invalidMessage.
std::uint32_t agreed(const MessageHeader& manifestAck, std::uint32_t offered);

// Whether a file of `size` bytes may travel in a bundle at all.
inline bool fitsAlone(std::uint64_t size) { return size <= kMaxPayload; }

// Fills one bundle in order: a file goes in while the entry count, payload
// and path bytes stay within their limits. The first file always goes in.
class Packer {
public:
    explicit Packer(std::uint32_t payloadLimit) : m_limit(payloadLimit) {}
    bool add(std::uint64_t size, qsizetype pathBytes);
    qsizetype files() const { return m_files; }
    std::uint64_t payload() const { return m_payload; }

private:
    std::uint32_t m_limit;
    qsizetype m_files = 0;
    std::uint64_t m_payload = 0;
    qsizetype m_pathBytes = 0;
};

// One file of a received bundle: its bytes are payload[offset, offset + size).
struct Entry {
    QString path;
    QString hash;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    bool operator==(const Entry&) const = default;
};

// The files a received fileBundle header announces, checked against the
// payload that came with it and the agreed limit; the reason when the bundle
// is malformed (nothing of it may then be used).
std::variant<QList<Entry>, QString> entries(const MessageHeader& bundle, qsizetype payloadSize, std::uint32_t limit);

} // namespace FileBundle

} // namespace kivo
