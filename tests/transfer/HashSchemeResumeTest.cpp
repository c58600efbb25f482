// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/FileHashScheme.h"
#include "transfer/ResumeState.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

QString hashIn(const QByteArray& content, FileHashScheme scheme)
{
    if (scheme == FileHashScheme::wholeFile)
        return FileHasher::sha256Hex(content);
    ChunkDigestHash hash(std::uint64_t(content.size()));
    for (qsizetype at = 0; at < content.size(); at += FileHasher::kChunkSize)
        hash.addHex(FileHasher::sha256Hex(content.mid(at, FileHasher::kChunkSize)));
    return hash.finishHex();
}

// A scripted source that offers `scheme` with its manifest, as a kivo source does
// (or offers nothing, as a plain one), and hashes whole files in it.
class SchemeResume : public DestinationFixture {
protected:
    void pushOffer()
    {
        MessageHeader h = header(MessageType::manifest);
        h.manifestData = manifest.encoded();
        if (scheme == FileHashScheme::chunkDigests)
            h.fileHashScheme = toString(scheme);
        peer.push(h);
    }
    void pushRest(const std::optional<ResumeState>& resume)
    {
        peer.push(header(MessageType::categoryStart, u"userFiles"_s));
        for (qsizetype i = 0; i < manifest.items.size(); ++i) {
            const QString& path = manifest.items[i].relativePath;
            if (resume && resume->isCompleted(path))
                continue;
            for (qsizetype c = 0; c * FileHasher::kChunkSize < contents[i].size(); ++c)
                pushChunk(path, std::uint32_t(c), contents[i].mid(c * FileHasher::kChunkSize, FileHasher::kChunkSize));
            MessageHeader done = header(MessageType::fileComplete, path);
            done.chunkHash = hashIn(contents[i], scheme);
            peer.push(done);
        }
        peer.push(header(MessageType::categoryComplete, u"userFiles"_s));
        peer.push(header(MessageType::verificationRequest));
        peer.push(header(MessageType::transferComplete));
    }
    void resumeRun()
    {
        m_engine.reset();
        peer.sent.clear();
        peer.inbox.clear();
        peer.connected = true;
        pushOffer();
        peer.onSend = [this](const Message& m) {
            if (m.header.type == MessageType::manifestAck)
                pushRest(m.header.resumeState ? std::optional(ResumeState::decode(*m.header.resumeState)) : std::nullopt);
        };
        receive();
    }
    // Paths whose answer differs from the file's hash in this run's scheme.
    QStringList mismatches() const
    {
        QStringList out;
        const auto responses = peer.sentOfType(MessageType::verificationResponse);
        for (const Message& m : responses)
            for (const FileVerification& v : m.header.fileHashes.value_or(QList<FileVerification>{}))
                for (qsizetype i = 0; i < manifest.items.size(); ++i)
                    if (manifest.items[i].relativePath == v.filePath && hashIn(contents[i], scheme) != v.sha256Hash)
                        out.append(v.filePath);
        return out;
    }
    QString at(const QString& relativePath) const { return home() + relativePath.mid(1); }

    FileHashScheme scheme = FileHashScheme::wholeFile;
};

} // namespace

// A transfer interrupted under one scheme and resumed under the other: the files
// the first run finished are checked against its hashes in its own scheme (so the
// intact ones pass and a file damaged without a trace in its size or time is
// found), every answer goes out in the new scheme, and the checkpoint from then
// on names the new one.
TEST_F(SchemeResume, AResumeUnderTheOtherSchemeVerifiesWhatTheFirstRunRecorded)
{
    for (const FileHashScheme first : {FileHashScheme::wholeFile, FileHashScheme::chunkDigests}) {
        const FileHashScheme second =
            first == FileHashScheme::wholeFile ? FileHashScheme::chunkDigests : FileHashScheme::wholeFile;
        SCOPED_TRACE(toString(first).toStdString() + " then " + toString(second).toStdString());
        QDir(home()).removeRecursively();
        QDir().mkpath(home());
        manifest = manifestFor(u"T-1"_s);
        contents.clear();
        addItem(u"~/large.bin"_s, patterned(2 * FileHasher::kChunkSize + 7, 1));
        addItem(u"~/disguised.bin"_s, patterned(2 * FileHasher::kChunkSize + 3, 2));
        addItem(u"~/small.txt"_s, patterned(900, 3));
        addItem(u"~/later.txt"_s, patterned(800, 4));

        scheme = first;
        // Interrupted once the first three files are in: manifest, categoryStart, 3 + 1, 3 + 1, 1 + 1.
        m_engine.reset();
        peer.sent.clear();
        peer.inbox.clear();
        pushOffer();
        pushRest(std::nullopt);
        peer.onSend = nullptr;
        peer.inbox.resize(12);
        receive();
        const std::optional<ResumeState> stopped = ResumeState::load(transfers(), u"T-1"_s);
        ASSERT_TRUE(stopped);
        ASSERT_EQ(stopped->completedCount(), 3);
        EXPECT_EQ(stopped->fileHashScheme, first);

        // The second chunk changes; the size and time stay.
        QByteArray disguised = contents[1];
        disguised[qsizetype(FileHasher::kChunkSize) + 10] ^= 0x20;
        struct stat before {};
        ASSERT_EQ(::stat(QFile::encodeName(at(u"~/disguised.bin"_s)).constData(), &before), 0);
        writeBytes(at(u"~/disguised.bin"_s), disguised);
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(at(u"~/disguised.bin"_s)).constData(), times, 0), 0);

        scheme = second;
        resumeRun();
        const MessageHeader ack = peer.sentOfType(MessageType::manifestAck)[0].header;
        EXPECT_EQ(ack.fileHashScheme.has_value(), second == FileHashScheme::chunkDigests);
        EXPECT_EQ(ResumeState::decode(*ack.resumeState).completedCount(), 3);
        ASSERT_TRUE(progress()->isComplete());
        EXPECT_EQ(mismatches(), QStringList{u"~/disguised.bin"_s});
        QStringList failed;
        for (const FileError& e : progress()->fileErrors())
            failed << e.filePath;
        EXPECT_EQ(failed, QStringList{u"~/disguised.bin"_s});
        const std::optional<ResumeState> kept = ResumeState::load(transfers(), u"T-1"_s);
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->fileHashScheme, second);
        EXPECT_FALSE(kept->isCompleted(u"~/disguised.bin"_s));

        // The next run, in the same scheme, repairs it.
        resumeRun();
        ASSERT_TRUE(progress()->isComplete());
        EXPECT_TRUE(progress()->fileErrors().isEmpty());
        EXPECT_TRUE(mismatches().isEmpty());
        for (qsizetype i = 0; i < manifest.items.size(); ++i)
            EXPECT_EQ(readBytes(at(manifest.items[i].relativePath)), contents[i]);
        EXPECT_FALSE(ResumeState::load(transfers(), u"T-1"_s));
    }
}
