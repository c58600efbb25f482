// SPDX-License-Identifier: Apache-2.0
#include "transfer/DestinationFixture.h"
#include "transfer/SourceTransfer.h"
#include "transfer/SparseChunks.h"

#include <QFile>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace kivo;
using namespace kivo::test;

namespace {

constexpr std::int64_t kMiB = 1 << 20;

QByteArray native(const QString& path) { return QFile::encodeName(path); }

// Four MiB with data only in the second one.
QByteArray writeSparse(const QString& path)
{
    const int fd = ::open(native(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const QByteArray data(kMiB, 'd');
    ::pwrite(fd, data.constData(), data.size(), kMiB);
    ::ftruncate(fd, 4 * kMiB);
    ::close(fd);
    return QByteArray(kMiB, '\0') + data + QByteArray(2 * kMiB, '\0');
}

// The chunks a source sends for a sparse file to a destination whose manifestAck says `ack`.
QList<Message> chunksSentTo(const MessageHeader& ack, QString* wholeHash)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("disk.img"));
    writeSparse(path);
    TransferManifest manifest = manifestFor(QStringLiteral("T-1"));
    add(manifest, fileItem(QStringLiteral("~/disk.img"), path, 4 * kMiB)).sparse = true;
    AckingDestination peer;
    peer.manifestAck = ack;
    SourceTransfer source(&peer.connection, QStringLiteral("T-1"), dir.path());
    source.setManifest(manifest);
    runTask(source.run());
    EXPECT_FALSE(source.progress()->error()) << source.progress()->error()->toStdString();
    *wholeHash = peer.connection.sentOfType(MessageType::fileComplete).value(0).header.chunkHash.value_or(QString());
    return peer.connection.sentOfType(MessageType::chunkData);
}

} // namespace

// Holes travel as a marker only to a destination that said it takes them; a
// peer built without them gets every byte, and the file hashes the same either way.
TEST(SparseSource, HoleMarkersOnlyForADestinationThatTakesThem)
{
    const QString expectedHash =
        FileHasher::sha256Hex(QByteArray(kMiB, '\0') + QByteArray(kMiB, 'd') + QByteArray(2 * kMiB, '\0'));
    MessageHeader plainAck = header(MessageType::manifestAck);
    QString hash;
    for (const Message& m : chunksSentTo(plainAck, &hash)) {
        EXPECT_EQ(m.payload.value_or(QByteArray()).size(), kMiB);
        EXPECT_FALSE(m.header.holeSize);
    }
    EXPECT_EQ(hash, expectedHash);

    MessageHeader ack = plainAck;
    ack.holeSize = std::uint32_t(kMiB);
    const QList<Message> chunks = chunksSentTo(ack, &hash);
    ASSERT_EQ(chunks.size(), 4);
    for (const Message& m : chunks) {
        const bool data = m.header.chunkIndex == 1u;
        EXPECT_EQ(m.payload.has_value(), data) << *m.header.chunkIndex;
        EXPECT_EQ(m.header.holeSize, data ? std::nullopt : std::optional<std::uint32_t>(kMiB));
        EXPECT_EQ(*m.header.chunkHash, data ? FileHasher::sha256Hex(QByteArray(kMiB, 'd')) : zeroBytesHash(kMiB));
    }
    EXPECT_EQ(hash, expectedHash);
}

// Holes arrive as markers and stay holes; the time and the user's attributes
// are set on the file, folders and links come at the end, and the manifest's
// acknowledgement says holes are welcome.
TEST_F(DestinationFixture, HolesTimesAttributesFoldersAndLinksArrive)
{
    const auto at = [&](const char* relative) { return native(home() + QString::fromLatin1(relative)); };
    const QByteArray logical = QByteArray(kMiB, '\0') + QByteArray(kMiB, 'd') + QByteArray(2 * kMiB, '\0');
    auto& disk = addItem(QStringLiteral("~/Documents/disk.img"), logical);
    disk.sparse = true;
    disk.sourceModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    disk.sourceModifiedNanoseconds = 123456789;
    disk.extendedAttributes = {{"user.comment", "kept"}, {"trusted.secret", "never set by a peer"}};
    auto folder = [](const char* path, std::optional<std::uint16_t> mode) {
        TransferManifest::Entry e;
        e.relativePath = QString::fromUtf8(path);
        e.categoryID = QStringLiteral("userFiles");
        e.mode = mode;
        e.sourceModified = QDateTime::fromSecsSinceEpoch(1500000000, Qt::UTC);
        e.sourceModifiedNanoseconds = 42;
        return e;
    };
    auto link = [&](const char* path, const QByteArray& target) {
        TransferManifest::Entry e = folder(path, std::nullopt);
        e.kind = TransferManifest::Entry::Kind::link;
        e.linkTarget = target;
        return e;
    };
    manifest.entries = {folder("~/Documents", 0750), folder("~/Documents/empty", 0700),
                        link("~/Documents/up", "../elsewhere"), link("~/Documents/empty/../../escape", "x"),
                        link("~/Documents/existing", "new text"),
                        // A folder that holds nothing but a link.
                        folder("~/Documents/links", 0755), link("~/Documents/links/only", "../disk.img")};
    QDir().mkpath(home() + QStringLiteral("/Documents"));
    ASSERT_EQ(::symlink("old text", at("/Documents/existing")), 0);

    pushManifest();
    peer.push(header(MessageType::categoryStart, QStringLiteral("userFiles")));
    for (std::uint32_t c = 0; c < 4; ++c) {
        if (c == 1) {
            pushChunk(disk.relativePath, c, logical.mid(kMiB, kMiB));
            continue;
        }
        MessageHeader h = header(MessageType::chunkData, disk.relativePath, c);
        h.chunkHash = zeroBytesHash(kMiB);
        h.holeSize = std::uint32_t(kMiB);
        peer.push(h);
    }
    MessageHeader done = header(MessageType::fileComplete, disk.relativePath);
    done.chunkHash = FileHasher::sha256Hex(logical);
    peer.push(done);
    peer.push(header(MessageType::categoryComplete, QStringLiteral("userFiles")));
    peer.push(header(MessageType::transferComplete));
    receive();

    EXPECT_EQ(peer.sentOfType(MessageType::manifestAck).value(0).header.holeSize, std::uint32_t(kMiB));
    for (const Message& m : repliesTo(disk.relativePath))
        EXPECT_EQ(m.header.type, MessageType::chunkAck);
    EXPECT_EQ(readBytes(home() + QStringLiteral("/Documents/disk.img")), logical);
    struct stat st {};
    // Mode, seconds and nanoseconds of a path, the path itself if it is a link.
    const auto meta = [&](const char* path) {
        EXPECT_EQ(::lstat(at(path), &st), 0) << path;
        return std::tuple(st.st_mode & 07777, std::int64_t(st.st_mtim.tv_sec), std::int64_t(st.st_mtim.tv_nsec));
    };
    const auto [mode, seconds, nanoseconds] = meta("/Documents/disk.img");
    EXPECT_EQ(std::pair(seconds, nanoseconds), std::pair(std::int64_t(1600000000), std::int64_t(123456789)));
    EXPECT_LE(st.st_blocks * 512, 2 * kMiB) << "the holes are not written";
    char value[16] = {};
    EXPECT_EQ(::getxattr(at("/Documents/disk.img"), "user.comment", value, sizeof value), 4);
    EXPECT_LT(::getxattr(at("/Documents/disk.img"), "trusted.secret", value, sizeof value), 0);

    EXPECT_EQ(meta("/Documents/empty"), std::tuple(0700u, 1500000000, 42));
    EXPECT_EQ(meta("/Documents"), std::tuple(0750u, 1500000000, 42)) << "set after everything inside it";
    EXPECT_EQ(std::get<1>(meta("/Documents/up")), 1500000000);
    char target[64] = {};
    EXPECT_EQ(QByteArray(target, int(::readlink(at("/Documents/up"), target, sizeof target))), "../elsewhere");
    EXPECT_EQ(QByteArray(target, int(::readlink(at("/Documents/links/only"), target, sizeof target))), "../disk.img");
    // The default policy keeps what was there; a path leading out is refused and reported.
    EXPECT_EQ(QByteArray(target, int(::readlink(at("/Documents/existing"), target, sizeof target))), "old text");
    EXPECT_NE(::lstat(native(dir.filePath(QStringLiteral("escape"))), &st), 0);
    EXPECT_EQ(errorsOf(*progress()), QStringList{QStringLiteral("~/Documents/empty/../../escape: Invalid path")});
    EXPECT_EQ(progress()->conflictsResolved().size(), 1);
}
