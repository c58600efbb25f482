// SPDX-License-Identifier: Apache-2.0
#include "transfer/FileHasher.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "transfer/FileHashScheme.h"
#include "transfer/TransferError.h"

#include <QtConcurrent>

#include <openssl/evp.h>

#include <algorithm>
#include <array>

namespace kivo {

namespace {

const EVP_MD* sha256Algorithm()
{
    // Fetched once: the implicit fetch behind EVP_sha256() costs a lookup per digest.
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

QString toHex(const unsigned char* digest, unsigned length)
{
    static const char digits[] = "0123456789abcdef";
    QString out(static_cast<qsizetype>(length) * 2, Qt::Uninitialized);
    QChar* p = out.data();
    for (unsigned i = 0; i < length; ++i) {
        *p++ = QLatin1Char(digits[digest[i] >> 4]);
        *p++ = QLatin1Char(digits[digest[i] & 0xF]);
    }
    return out;
}

} // namespace

std::optional<Sha256Digest> Sha256Digest::fromHex(QStringView hex)
{
    if (hex.size() != 64)
        return std::nullopt;
    auto nibble = [](QChar c) -> int {
        const char16_t u = c.unicode();
        if (u >= u'0' && u <= u'9')
            return u - u'0';
        if (u >= u'a' && u <= u'f')
            return u - u'a' + 10;
        return -1;
    };
    Sha256Digest d;
    for (qsizetype i = 0; i < 32; ++i) {
        const int hi = nibble(hex[2 * i]);
        const int lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        d.bytes[size_t(i)] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return d;
}

QString Sha256Digest::toHex() const { return kivo::toHex(bytes.data(), unsigned(bytes.size())); }

struct Sha256::Context {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256() : m_ctx(std::make_unique<Context>()) { EVP_DigestInit_ex(m_ctx->ctx, sha256Algorithm(), nullptr); }
Sha256::~Sha256() = default;

void Sha256::update(QByteArrayView data)
{
    EVP_DigestUpdate(m_ctx->ctx, data.data(), static_cast<size_t>(data.size()));
}

QString Sha256::finishHex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(m_ctx->ctx, digest, &length);
    return toHex(digest, length);
}

namespace FileHasher {

QString sha256Hex(QByteArrayView data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(data.data(), static_cast<size_t>(data.size()), digest, &length, sha256Algorithm(), nullptr);
    return toHex(digest, length);
}

QString sha256OfDescriptor(const UniqueFd& file, const QString& pathForErrors, std::int64_t chunkSize, std::int64_t length,
                           std::int64_t* hashed)
{
    Sha256 hash;
    // Most files are small: the large buffer is taken only by one that fills a small one.
    std::array<char, 64 * 1024> small;
    QByteArray large;
    char* buffer = small.data();
    std::int64_t capacity = std::min<std::int64_t>(std::int64_t(small.size()), chunkSize);
    std::int64_t offset = 0;
    // With the length known, nothing is read past it: a small file costs one read.
    while (length < 0 || offset < length) {
        const std::int64_t want = length < 0 ? capacity : std::min(capacity, length - offset);
        const std::int64_t n = fs::readAt(file, buffer, want, offset, pathForErrors);
        if (n == 0)
            break;
        hash.update(QByteArrayView(buffer, n));
        offset += n;
        if (n == capacity && capacity < chunkSize && (length < 0 || offset < length)) {
            capacity = length < 0 ? chunkSize : std::min(chunkSize, length - offset);
            large = QByteArray(static_cast<qsizetype>(capacity), Qt::Uninitialized);
            buffer = large.data();
        }
    }
    if (hashed)
        *hashed = offset;
    return hash.finishHex();
}

QString sha256OfFile(const QString& path, std::int64_t chunkSize)
{
    return sha256OfDescriptor(fs::openForReading(path), path, chunkSize);
}

std::optional<QByteArray> readChunk(const QString& path, std::int64_t offset, std::int64_t length)
{
    const UniqueFd file = fs::openForReading(path);
    QByteArray out(static_cast<qsizetype>(length), Qt::Uninitialized);
    const std::int64_t got = fs::readAt(file, out.data(), length, offset, path);
    if (got == 0)
        return std::nullopt;
    out.truncate(static_cast<qsizetype>(got));
    return out;
}

} // namespace FileHasher

namespace {
constexpr std::int64_t kParallelHashBytes = 256 * 1024;
}

namespace {

UniqueFd openSource(const QString& path)
{
    try {
        return fs::openForReading(path);
    } catch (const fs::OpenFailure& e) {
        if (e.isPermissionDenied())
            throw TransferError::permissionDenied(path);
        throw;
    }
}

bool sameContentStamp(const fs::FileStatus& a, const fs::FileStatus& b)
{
    return a.size == b.size && a.modifiedSecs == b.modifiedSecs && a.modifiedNsecs == b.modifiedNsecs
        && a.changedSecs == b.changedSecs && a.changedNsecs == b.changedNsecs;
}

} // namespace

SourceFileReader::SourceFileReader(const QString& path, std::uint64_t size, std::optional<FileHashScheme> scheme)
    : m_path(path), m_size(size), m_file(openSource(path)), m_opened(fs::status(m_file))
{
    if (scheme == FileHashScheme::chunkDigests)
        m_chunkDigests = std::make_unique<ChunkDigestHash>(size);
    // The manifest announced `size` bytes: a file that grew or shrank since cannot be sent as listed.
    if (!m_opened || m_opened->size != size)
        throw SourceFileChanged(path);
    // A one-chunk file is a single read: the hint would cost more than it saves.
    if (size > FileHasher::kChunkSize)
        fs::adviseSequential(m_file);
}

SourceFileReader::~SourceFileReader() = default;

std::uint32_t SourceFileReader::totalChunks() const
{
    return static_cast<std::uint32_t>((m_size + FileHasher::kChunkSize - 1) / FileHasher::kChunkSize);
}

void SourceFileReader::readExactly(char* into, std::int64_t length, std::int64_t offset)
{
    if (fs::readAt(m_file, into, length, offset, m_path) < length)
        throw SourceFileChanged(m_path);
}

void SourceFileReader::checkDescriptor() const
{
    const std::optional<fs::FileStatus> now = fs::status(m_file);
    if (!now || !sameContentStamp(*now, *m_opened))
        throw SourceFileChanged(m_path);
}

void SourceFileReader::checkUnchanged() const
{
    checkDescriptor();
    // Replaced or deleted: the descriptor still reads the old file, but that is no longer the user's file.
    const std::optional<fs::FileStatus> atPath = fs::status(m_path, fs::Links::follow);
    if (!atPath || atPath->device != m_opened->device || atPath->inode != m_opened->inode)
        throw SourceFileChanged(m_path);
}

void SourceFileReader::hashPrefix(std::uint32_t firstChunk)
{
    const std::int64_t end =
        std::min<std::int64_t>(static_cast<std::int64_t>(firstChunk) * FileHasher::kChunkSize, static_cast<std::int64_t>(m_size));
    // Chunk by chunk, for the digests the chunk-digest hash is made of.
    const std::int64_t blockSize = m_chunkDigests ? FileHasher::kChunkSize : FileHasher::kHashBlockSize;
    QByteArray block(static_cast<qsizetype>(std::min<std::int64_t>(blockSize, std::max<std::int64_t>(end, 1))),
                     Qt::Uninitialized);
    for (std::int64_t offset = 0; offset < end;) {
        const std::int64_t n = std::min<std::int64_t>(block.size(), end - offset);
        readExactly(block.data(), n, offset);
        if (m_chunkDigests)
            m_chunkDigests->addHex(FileHasher::sha256Hex(QByteArrayView(block.constData(), n)));
        else
            m_whole.update(QByteArrayView(block.constData(), n));
        offset += n;
    }
}

SourceFileReader::Chunk SourceFileReader::read(std::uint32_t index)
{
    const std::int64_t offset = static_cast<std::int64_t>(index) * FileHasher::kChunkSize;
    const std::int64_t length = std::min<std::int64_t>(FileHasher::kChunkSize, static_cast<std::int64_t>(m_size) - offset);
    if (length <= 0)
        throw SystemError(QStringLiteral("%1: chunk %2 lies beyond the end of the file").arg(m_path).arg(index));
    Chunk chunk;
    chunk.index = index;
    chunk.bytes = QByteArray(static_cast<qsizetype>(length), Qt::Uninitialized);
    readExactly(chunk.bytes.data(), length, offset);
    // Caught here, a change costs no more chunks on the wire. The last chunk has
    // none behind it, and checkUnchanged looks before the file is called whole.
    if (offset + length < static_cast<std::int64_t>(m_size))
        checkDescriptor();
    // A file of one chunk hashes to its chunk's hash: no second pass over the bytes.
    if (offset == 0 && length == static_cast<std::int64_t>(m_size)) {
        chunk.hash = FileHasher::sha256Hex(chunk.bytes);
        m_wholeHex = chunk.hash;
        return chunk;
    }
    if (m_chunkDigests) {
        chunk.hash = FileHasher::sha256Hex(chunk.bytes);
        m_chunkDigests->addHex(chunk.hash);
        return chunk;
    }
    if (length < kParallelHashBytes) {
        chunk.hash = FileHasher::sha256Hex(chunk.bytes);
        m_whole.update(chunk.bytes);
        return chunk;
    }
    // The two digests of a big chunk are computed side by side: hashing is most
    // of the source's work per chunk.
    QFuture<void> whole = QtConcurrent::run([this, bytes = chunk.bytes] { m_whole.update(bytes); });
    chunk.hash = FileHasher::sha256Hex(chunk.bytes);
    whole.waitForFinished();
    return chunk;
}

void SourceFileReader::readWhole(char* into)
{
    if (m_size == 0 || m_size > std::uint64_t(FileHasher::kChunkSize))
        throw SystemError(QStringLiteral("%1: %2 bytes are not one chunk").arg(m_path).arg(m_size));
    readExactly(into, std::int64_t(m_size), 0);
    m_wholeHex = FileHasher::sha256Hex(QByteArrayView(into, qsizetype(m_size)));
}

QString SourceFileReader::finishHex()
{
    if (!m_wholeHex.isEmpty())
        return m_wholeHex;
    return m_chunkDigests ? m_chunkDigests->finishHex() : m_whole.finishHex();
}

} // namespace kivo
