// SPDX-License-Identifier: Apache-2.0
#include "platform/FileSystem.h"
#include "support/FileBytes.h"
#include "transfer/FileHashScheme.h"
#include "transfer/MessageHeader.h"
#include "transfer/ResumeState.h"
#include "transfer/TransferError.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kChunk = FileHasher::kChunkSize;

// The chunk-digest hash, spelled out independently of the code under test.
QString expectedHash(const QByteArray& content, FileHashScheme scheme)
{
    if (scheme == FileHashScheme::wholeFile || content.size() <= kChunk)
        return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
    QCryptographicHash outer(QCryptographicHash::Sha256);
    QByteArray size(8, '\0');
    for (int i = 0; i < 8; ++i)
        size[i] = char((quint64(content.size()) >> (56 - 8 * i)) & 0xFF);
    outer.addData(size);
    for (qsizetype at = 0; at < content.size(); at += kChunk)
        outer.addData(QCryptographicHash::hash(content.mid(at, kChunk), QCryptographicHash::Sha256));
    return QString::fromLatin1(outer.result().toHex());
}

} // namespace

// Every way a side comes to a file's hash gives the same answer in each scheme:
// the re-read of verification, the reader that sends, and a reader resuming mid-file
// (or after every chunk was delivered). A file of at most one chunk hashes the same in both.
TEST(FileHashScheme, EverySideHashesAFileAlikeInEachScheme)
{
    QTemporaryDir dir;
    for (const qsizetype size : {qsizetype(0), qsizetype(1), qsizetype(5000), qsizetype(65536), qsizetype(65537), kChunk,
                                 kChunk + 1, 3 * kChunk + 5}) {
        const QByteArray content = patterned(size, int(size % 251));
        const QString path = dir.filePath(u"f%1"_s.arg(size));
        writeBytes(path, content);
        EXPECT_EQ(FileHasher::sha256OfFile(path), expectedHash(content, FileHashScheme::wholeFile));
        EXPECT_EQ(FileHasher::sha256OfFile(path, 1000), expectedHash(content, FileHashScheme::wholeFile));
        for (const FileHashScheme scheme : {FileHashScheme::wholeFile, FileHashScheme::chunkDigests}) {
            SCOPED_TRACE(u"%1 bytes, %2"_s.arg(size).arg(toString(scheme)).toStdString());
            const QString expected = expectedHash(content, scheme);
            EXPECT_EQ(FileHasher::hashOfDescriptor(fs::openForReading(path), scheme, path), expected);
            const std::uint32_t chunks = std::uint32_t((size + kChunk - 1) / kChunk);
            for (std::uint32_t first = 0; first <= chunks; ++first) {
                SourceFileReader reader(path, std::uint64_t(size), scheme);
                reader.hashPrefix(first);
                for (std::uint32_t c = first; c < reader.totalChunks(); ++c) {
                    const auto chunk = reader.read(c);
                    EXPECT_EQ(chunk.bytes, content.mid(c * kChunk, kChunk));
                    EXPECT_EQ(chunk.hash, FileHasher::sha256Hex(chunk.bytes));
                }
                EXPECT_EQ(reader.finishHex(), expected) << "resuming at chunk " << first;
            }
            // A bundled file is read whole into its place; anything else is refused, not cut short.
            SourceFileReader whole(path, std::uint64_t(size), scheme);
            QByteArray into(size, '\0');
            if (size == 0 || size > kChunk) {
                EXPECT_THROW(whole.readWhole(into.data()), SystemError);
                continue;
            }
            whole.readWhole(into.data());
            EXPECT_EQ(into, content);
            EXPECT_EQ(whole.finishHex(), expected);
        }
        EXPECT_EQ(expectedHash(content, FileHashScheme::chunkDigests) == expectedHash(content, FileHashScheme::wholeFile),
                  size <= kChunk);
        // A file whose size moved since the manifest was built is an error, not a short chunk.
        EXPECT_THROW(SourceFileReader(path, std::uint64_t(size) + 100), SourceFileChanged);
    }
}

TEST(FileHashScheme, ChunkDigestHashRefusesAMalformedDigest)
{
    ChunkDigestHash hash(3 * kChunk);
    EXPECT_FALSE(hash.addHex(QString(64, u'A'))) << "upper case is not how digests are spelled";
    EXPECT_FALSE(hash.addHex(u"abc"_s));
    EXPECT_TRUE(hash.addHex(QString(64, u'a')));
}

// The destination takes only the scheme it accepts, offered by name; the
// source takes only an answer it can honour.
TEST(FileHashScheme, NegotiationTakesOnlyWhatBothSidesKnow)
{
    const std::optional<FileHashScheme> ours = FileHashScheme::chunkDigests;
    struct Offer {
        std::optional<QString> offered;
        std::optional<FileHashScheme> accepted;
        FileHashScheme expected;
    };
    for (const Offer& c : QList<Offer>{
             {u"chunkDigests"_s, ours, FileHashScheme::chunkDigests},
             {std::nullopt, ours, FileHashScheme::wholeFile},               // a source that offers nothing
             {u"chunkDigests"_s, std::nullopt, FileHashScheme::wholeFile},  // a destination that takes nothing
             {u"blake3"_s, ours, FileHashScheme::wholeFile},                 // a scheme not known here
             {u"wholeFile"_s, ours, FileHashScheme::wholeFile},
         }) {
        MessageHeader manifest;
        manifest.type = MessageType::manifest;
        manifest.fileHashScheme = c.offered;
        EXPECT_EQ(FileHashNegotiation::accept(manifest, c.accepted), c.expected) << c.offered.value_or(u"-"_s).toStdString();
    }

    struct Answer {
        std::optional<QString> answered;
        std::optional<FileHashScheme> offered;
        std::optional<FileHashScheme> expected; // nullopt: refused
    };
    for (const Answer& c : QList<Answer>{
             {u"chunkDigests"_s, ours, FileHashScheme::chunkDigests},
             {std::nullopt, ours, FileHashScheme::wholeFile}, // a destination built to the plain rules
             {u"wholeFile"_s, ours, FileHashScheme::wholeFile},
             {u"chunkDigests"_s, std::nullopt, std::nullopt}, // never offered
             {u"blake3"_s, ours, std::nullopt},
         }) {
        MessageHeader ack;
        ack.type = MessageType::manifestAck;
        ack.fileHashScheme = c.answered;
        SCOPED_TRACE(c.answered.value_or(u"-"_s).toStdString());
        if (c.expected)
            EXPECT_EQ(FileHashNegotiation::agreed(ack, c.offered), *c.expected);
        else
            EXPECT_THROW(FileHashNegotiation::agreed(ack, c.offered), TransferError);
    }
}

// The checkpoint names the scheme only when it is not the plain one.
TEST(FileHashScheme, TheCheckpointNamesItsScheme)
{
    ResumeState state;
    state.transferID = u"t"_s;
    state.createdAt = state.updatedAt = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
    EXPECT_FALSE(state.encoded().contains("fileHashScheme"));
    state.fileHashScheme = FileHashScheme::chunkDigests;
    EXPECT_EQ(ResumeState::decode(state.encoded()), state);
    QByteArray unknown = state.encoded();
    unknown.replace("chunkDigests", "blake3");
    EXPECT_THROW(ResumeState::decode(unknown), DecodingError);
}
