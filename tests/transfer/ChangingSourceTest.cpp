// SPDX-License-Identifier: Apache-2.0
#include "support/CoroTest.h"
#include "transfer/SourceTransfer.h"
#include "transfer/TransferSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kSize = 3 * 1048576 + 100; // four chunks

// Dated well before any change a case makes, so a rewrite always moves the time.
void ageFile(const QString& path)
{
    const struct timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), old, 0), 0);
}

} // namespace

// A file written, truncated, grown, replaced or deleted while it is sent is
// given up as changed, never completed; the file after it still arrives.
TEST(ChangingSource, AChangeBetweenChunksFailsOnlyThatFile)
{
    struct Case {
        const char* what;
        int afterChunk; // -1: before the transfer starts
        std::function<void(const QString& path)> change;
    };
    const auto rewrite = [](const QString& path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.write(patterned(kSize, 9));
    };
    const auto truncate = [](const QString& path) { ASSERT_TRUE(QFile(path).resize(kSize / 2)); };
    const auto append = [](const QString& path) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("more");
    };
    const auto replace = [](const QString& path) {
        writeBytes(path + u".new"_s, patterned(kSize, 5));
        ASSERT_TRUE(::rename(QFile::encodeName(path + u".new"_s).constData(), QFile::encodeName(path).constData()) == 0);
    };
    const auto remove = [](const QString& path) { ASSERT_TRUE(QFile::remove(path)); };
    const QList<Case> cases{
        {"rewritten in place after the first chunk", 0, rewrite},
        {"rewritten after the last chunk was read", 3, rewrite},
        {"truncated half-way", 1, truncate},
        {"grown after the last chunk", 3, append},
        {"replaced by another file", 1, replace},
        {"deleted", 2, remove},
        {"grown before it was opened", -1, append},
        {"left alone", 99, rewrite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"moving.bin"_s);
        const QString after = dir.filePath(u"after.bin"_s);
        writeBytes(path, patterned(kSize, 1));
        writeBytes(after, patterned(5000, 2));
        ageFile(path);
        TransferManifest manifest = manifestFor(u"T-1"_s);
        add(manifest, fileItem(u"~/moving.bin"_s, path, kSize));
        add(manifest, fileItem(u"~/after.bin"_s, after, 5000));
        if (c.afterChunk < 0)
            c.change(path);

        AckingDestination peer;
        peer.reply = [&](const MessageHeader& h) -> std::optional<MessageHeader> {
            if (h.type == MessageType::chunkData && h.filePath == u"~/moving.bin"_s
                && int(h.chunkIndex.value_or(0)) == c.afterChunk)
                c.change(path);
            return std::nullopt;
        };
        SourceTransfer engine(&peer.connection, u"T-1"_s, dir.path());
        engine.setManifest(manifest);
        runTask(engine.run());

        const bool changed = c.afterChunk < 4;
        const auto completes = peer.connection.sentOfType(MessageType::fileComplete);
        ASSERT_EQ(completes.size(), changed ? 1 : 2);
        EXPECT_EQ(completes.last().header.filePath, u"~/after.bin"_s);
        EXPECT_TRUE(engine.progress()->isComplete());
        EXPECT_EQ(engine.manifest()->items[0].transferStatus,
                  changed ? FileTransferStatus::failed : FileTransferStatus::completed);
        const auto skips = peer.connection.sentOfType(MessageType::fileSkip);
        if (!changed) {
            EXPECT_TRUE(skips.isEmpty());
            EXPECT_EQ(engine.sentHash(u"~/moving.bin"_s).value_or(Sha256Digest{}).toHex(), FileHasher::sha256Hex(patterned(kSize, 1)));
            continue;
        }
        ASSERT_EQ(skips.size(), 1);
        EXPECT_EQ(skips[0].header.filePath, u"~/moving.bin"_s);
        EXPECT_EQ(skips[0].header.errorMessage, u"Changed during transfer"_s);
        EXPECT_EQ(errorsOf(*engine.progress()), QStringList{u"~/moving.bin: Changed during transfer"_s});
        EXPECT_FALSE(engine.sentHash(u"~/moving.bin"_s)) << "no hash is offered for verification";
    }
}
