// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/UniqueFd.h"
#include "transfer/FileHasher.h"

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace kivo {

struct MessageHeader;

// How a whole file's hash is made. `wholeFile` is SHA-256 of its bytes, what
// every peer understands. `chunkDigests` is SHA-256 of its size (8 bytes, big
// endian) followed by its 1 MiB chunks' SHA-256 digests, in order: each side
// already hashes every chunk, so the file's hash costs no second pass over
// its bytes. A file of at most one chunk hashes to its bytes' digest in both,
// so the two schemes agree on it and neither needs a special case for it.
enum class FileHashScheme : std::uint8_t { wholeFile, chunkDigests };

// The name on the wire and in the checkpoint.
QString toString(FileHashScheme scheme);
std::optional<FileHashScheme> fileHashSchemeFromString(QStringView text);

namespace FileHashNegotiation {

// The destination's side: the source's offer on its manifest message, taken
// when it names a scheme this side accepts; anything else is today's hashing.
FileHashScheme accept(const MessageHeader& manifest, std::optional<FileHashScheme> accepted);
// The source's side: what the destination's manifestAck agreed to. Absent is
// today's hashing; a scheme the source did not offer throws
// TransferError::invalidMessage, since every hash after it would mismatch.
FileHashScheme agreed(const MessageHeader& manifestAck, std::optional<FileHashScheme> offered);

} // namespace FileHashNegotiation

// A digest together with the scheme it was made in: two of different schemes are never compared.
struct SchemedDigest {
    Sha256Digest digest;
    FileHashScheme scheme = FileHashScheme::wholeFile;
    bool operator==(const SchemedDigest&) const = default;
};

// The `chunkDigests` hash of a file of `size` bytes, fed its chunks' digests in order.
class ChunkDigestHash {
public:
    explicit ChunkDigestHash(std::uint64_t size);

    void add(const Sha256Digest& chunk);
    // False (and nothing added) unless `hex` is a well-formed digest.
    bool addHex(QStringView hex);
    QString finishHex();

private:
    std::uint64_t m_size;
    std::uint64_t m_chunks = 0;
    // The first digest, which is the whole answer when no second one comes.
    Sha256Digest m_first;
    Sha256 m_hash;
};

namespace FileHasher {

// The hash of everything an open descriptor reads from offset 0, in `scheme`. One read of the file.
// Throws SystemError when the file's size moves while it is read; `sizeRead` gets the size hashed.
QString hashOfDescriptor(const UniqueFd& file, FileHashScheme scheme, const QString& pathForErrors = {},
                         std::uint64_t* sizeRead = nullptr);

} // namespace FileHasher

} // namespace kivo
