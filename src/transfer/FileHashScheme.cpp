// SPDX-License-Identifier: Apache-2.0
#include "transfer/FileHashScheme.h"

#include "platform/Error.h"
#include "platform/FileSystem.h"
#include "transfer/MessageHeader.h"
#include "transfer/TransferError.h"

#include <QByteArray>

#include <array>

namespace kivo {

QString toString(FileHashScheme scheme)
{
    return scheme == FileHashScheme::chunkDigests ? QStringLiteral("chunkDigests") : QStringLiteral("wholeFile");
}

std::optional<FileHashScheme> fileHashSchemeFromString(QStringView text)
{
    if (text == u"chunkDigests")
        return FileHashScheme::chunkDigests;
    if (text == u"wholeFile")
        return FileHashScheme::wholeFile;
    return std::nullopt;
}

namespace FileHashNegotiation {

FileHashScheme accept(const MessageHeader& manifest, std::optional<FileHashScheme> accepted)
{
    if (!manifest.fileHashScheme || !accepted)
        return FileHashScheme::wholeFile;
    return fileHashSchemeFromString(*manifest.fileHashScheme) == accepted ? *accepted : FileHashScheme::wholeFile;
}

FileHashScheme agreed(const MessageHeader& manifestAck, std::optional<FileHashScheme> offered)
{
    if (!manifestAck.fileHashScheme)
        return FileHashScheme::wholeFile;
    const std::optional<FileHashScheme> answer = fileHashSchemeFromString(*manifestAck.fileHashScheme);
    if (answer == FileHashScheme::wholeFile || (answer && answer == offered))
        return *answer;
    throw TransferError::invalidMessage(
        QStringLiteral("manifestAck names a file hash scheme that was not offered: %1").arg(*manifestAck.fileHashScheme));
}

} // namespace FileHashNegotiation

ChunkDigestHash::ChunkDigestHash(std::uint64_t size) : m_size(size)
{
    std::array<char, 8> bigEndian{};
    for (int i = 0; i < 8; ++i)
        bigEndian[std::size_t(i)] = char((size >> (56 - 8 * i)) & 0xFF);
    m_hash.update(QByteArrayView(bigEndian.data(), qsizetype(bigEndian.size())));
}

void ChunkDigestHash::add(const Sha256Digest& chunk)
{
    if (m_chunks++ == 0)
        m_first = chunk;
    m_hash.update(QByteArrayView(reinterpret_cast<const char*>(chunk.bytes.data()), qsizetype(chunk.bytes.size())));
}

bool ChunkDigestHash::addHex(QStringView hex)
{
    const std::optional<Sha256Digest> digest = Sha256Digest::fromHex(hex);
    if (digest)
        add(*digest);
    return digest.has_value();
}

QString ChunkDigestHash::finishHex()
{
    // At most one chunk: the file's own digest, as under wholeFile.
    if (m_size <= std::uint64_t(FileHasher::kChunkSize)) {
        if (m_chunks == 1)
            return m_first.toHex();
        if (m_chunks == 0)
            return FileHasher::sha256Hex({});
    }
    return m_hash.finishHex();
}

namespace FileHasher {

namespace {

SystemError changedWhileRead(const QString& path)
{
    return SystemError(QStringLiteral("%1: changed while it was being read").arg(path));
}

// SHA-256 of exactly the `size` bytes the file had when looked at. Reading on to
// find its end would cost every small file two more reads; a second look at its
// size afterwards tells a file that grew just as well.
QString sha256OfSize(const UniqueFd& file, std::uint64_t size, const QString& pathForErrors)
{
    std::int64_t hashed = 0;
    QString hex = sha256OfDescriptor(file, pathForErrors, kHashBlockSize, std::int64_t(size), &hashed);
    if (hashed != std::int64_t(size) || fs::sizeOf(file) != size)
        throw changedWhileRead(pathForErrors);
    return hex;
}

} // namespace

QString hashOfDescriptor(const UniqueFd& file, FileHashScheme scheme, const QString& pathForErrors, std::uint64_t* sizeRead)
{
    // Taken from the descriptor: a pipe or device at the path holds no file content.
    const std::optional<fs::FileStatus> status = fs::status(file);
    if (!status || !status->isRegular())
        throw SystemError(QStringLiteral("%1: not a regular file").arg(pathForErrors));
    const std::uint64_t size = status->size;
    if (sizeRead)
        *sizeRead = size;
    if (scheme == FileHashScheme::wholeFile || size <= std::uint64_t(kChunkSize))
        return sha256OfSize(file, size, pathForErrors);
    ChunkDigestHash hash(size);
    QByteArray chunk(qsizetype(kChunkSize), Qt::Uninitialized);
    std::uint64_t read = 0;
    for (std::int64_t offset = 0;;) {
        // A whole chunk, however the reads split it: the digests must fall on chunk boundaries.
        std::int64_t filled = 0;
        while (filled < kChunkSize) {
            const std::int64_t n = fs::readAt(file, chunk.data() + filled, kChunkSize - filled, offset + filled, pathForErrors);
            if (n == 0)
                break;
            filled += n;
        }
        if (filled == 0)
            break;
        hash.addHex(sha256Hex(QByteArrayView(chunk.constData(), qsizetype(filled))));
        offset += filled;
        read += std::uint64_t(filled);
        if (filled < kChunkSize)
            break;
    }
    // Grown or shrunk since its size was taken: the hash above names a size it does not have.
    if (read != size)
        throw changedWhileRead(pathForErrors);
    return hash.finishHex();
}

} // namespace FileHasher

} // namespace kivo
