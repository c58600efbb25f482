// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

namespace kivo {

enum class FileHashScheme : std::uint8_t;
class ChunkDigestHash;

// A SHA-256 digest as its 32 bytes, a fifth of what its hex text takes in a QString:
// kept per file, for hundreds of thousands of files.
struct Sha256Digest {
    std::array<unsigned char, 32> bytes{};

    // Nullopt unless `hex` is exactly 64 lowercase hex digits, the only spelling we compare equal.
    static std::optional<Sha256Digest> fromHex(QStringView hex);
    QString toHex() const;
    bool operator==(const Sha256Digest&) const = default;
};

namespace FileHasher {

constexpr std::int64_t kChunkSize = 1048576;
// Block size of every whole-file hash.
constexpr std::int64_t kHashBlockSize = 4194304;
// Verification does not re-read files above this size.
constexpr std::uint64_t kVerificationSizeLimit = 524288000;

QString sha256Hex(QByteArrayView data);
// Throws SystemError when the file cannot be opened or read.
QString sha256OfFile(const QString& path, std::int64_t chunkSize = kHashBlockSize);
// Hash of everything readable from an open descriptor, from offset 0, or of its
// first `length` bytes when that is not negative; `hashed` gets how many it read.
QString sha256OfDescriptor(const UniqueFd& file, const QString& pathForErrors = {},
                           std::int64_t chunkSize = kHashBlockSize, std::int64_t length = -1,
                           std::int64_t* hashed = nullptr);
// Up to `length` bytes at `offset`; nullopt at end of file. Throws when the file cannot be opened.
std::optional<QByteArray> readChunk(const QString& path, std::int64_t offset, std::int64_t length);

} // namespace FileHasher

// Incremental SHA-256.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(QByteArrayView data);
    // Lowercase hex; the object must not be updated afterwards.
    QString finishHex();

private:
    struct Context;
    std::unique_ptr<Context> m_ctx;
};

// A source file was written, truncated, replaced or deleted while it was being
// read: what was sent may mix two versions of it.
class SourceFileChanged : public SystemError {
public:
    static constexpr char kReason[] = "Changed during transfer";
    explicit SourceFileChanged(const QString& path)
        : SystemError(QStringLiteral("%1: changed while it was being sent").arg(path)) {}
};

// Reads one source file chunk by chunk and hashes the whole file on the way, so
// the whole-file hash costs no second pass. Used from one thread at a time.
class SourceFileReader {
public:
    struct Chunk {
        std::uint32_t index = 0;
        QByteArray bytes;
        QString hash;
    };

    // Throws TransferError::permissionDenied when access is refused, SourceFileChanged
    // when the file no longer has `size` bytes, SystemError otherwise. The
    // whole-file hash is made in `scheme` (whole-file SHA-256 when none).
    SourceFileReader(const QString& path, std::uint64_t size, std::optional<FileHashScheme> scheme = std::nullopt);
    ~SourceFileReader();
    SourceFileReader(const SourceFileReader&) = delete;
    SourceFileReader& operator=(const SourceFileReader&) = delete;

    std::uint32_t totalChunks() const;
    // Feeds the bytes before `firstChunk` into the whole-file hash (resuming mid-file).
    void hashPrefix(std::uint32_t firstChunk);
    // Chunks must be read in order after the prefix. Throws SourceFileChanged, on the
    // last chunk only from checkUnchanged, which must follow it.
    Chunk read(std::uint32_t index);
    // A file of one chunk, read straight into `into` (its whole size) and hashed
    // there: no buffer of its own. checkUnchanged must follow.
    void readWhole(char* into);
    // Throws SourceFileChanged when the file is no longer the one opened, as it
    // was opened: its size, modification or change time moved, or its path now
    // names another file or none. Called once every byte has been read.
    void checkUnchanged() const;
    QString finishHex();

private:
    void readExactly(char* into, std::int64_t length, std::int64_t offset);
    void checkDescriptor() const;

    QString m_path;
    std::uint64_t m_size;
    UniqueFd m_file;
    std::optional<fs::FileStatus> m_opened;
    Sha256 m_whole;
    // Set under the chunk-digest scheme, which takes the place of `m_whole`.
    std::unique_ptr<ChunkDigestHash> m_chunkDigests;
    QString m_wholeHex;
};

} // namespace kivo
