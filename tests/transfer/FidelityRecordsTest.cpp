// SPDX-License-Identifier: Apache-2.0
#include "platform/NameBytes.h"
#include "transfer/SparseChunks.h"
#include "transfer/TransferManifest.h"
#include "transfer/WireName.h"
#include "transfer/WirePath.h"
#include "transfer/TransferSupport.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;

// Any byte string a file system allows survives the program's names and the
// wire spelling unchanged, and different names never share a spelling.
TEST(Names, EveryByteStringComesBackAndSpellingsStayDistinct)
{
    const QList<QByteArray> names = {
        "plain.txt",
        "caf\xc3\xa9",          // UTF-8
        "caf\xe9",              // Latin-1
        "\xff\xfe",             // never UTF-8
        "\xef\xbf\xbd",         // U+FFFD itself
        "\xef\xbf\xbd" "E9",    // U+FFFD, then text that looks like an escape
        "\xed\xb2\x80",         // a surrogate encoded in UTF-8: not valid
        "\xc0\xaf",             // overlong '/'
        "\xf0\x9f\x8e\xb5 x",   // four-byte character
        "line\nbreak\\x",
        QByteArray(255, '\x80'),
    };
    QSet<QString> spellings;
    for (const QByteArray& bytes : names) {
        const QString held = fs::nameFromBytes(bytes);
        EXPECT_EQ(fs::nameToBytes(held), bytes) << bytes.toHex().constData();
        const QString wire = toWireName(held);
        EXPECT_EQ(QString::fromUtf8(wire.toUtf8()), wire) << "JSON-safe text";
        EXPECT_EQ(fromWireName(wire), held) << bytes.toHex().constData();
        EXPECT_EQ(needsEscaping(held), wire != held);
        spellings.insert(wire);
    }
    EXPECT_EQ(spellings.size(), names.size());
    EXPECT_EQ(toWireName(fs::nameFromBytes("caf\xe9")), QStringLiteral("caf\uFFFDE9"));
    // A component is measured in the bytes the file system gets, not in its escaped spelling.
    const MDMSafetyChecker safety(QStringLiteral("/nonexistent-root"));
    for (const int n : {255, 256})
        EXPECT_EQ(checkWirePath(fs::nameFromBytes("~/" + QByteArray(n, '\xe9')), QStringLiteral("/home/ann"), std::nullopt, safety).refusal,
                  n == 255 ? std::nullopt : std::optional(PathRefusal::tooLong));
    // A mark without two hex digits after it is not a spelling of ours.
    EXPECT_EQ(fromWireName(QStringLiteral("x\uFFFD")), std::nullopt);
    EXPECT_EQ(fromWireName(QStringLiteral("x\uFFFDzz")), std::nullopt);
}

TEST(HoleMap, AChunkIsAHoleOnlyWhenNoDataRegionTouchesIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sparse"));
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const QByteArray data(4096, 'd');
    ASSERT_EQ(::pwrite(fd, data.constData(), data.size(), 3 << 20), data.size()); // data at 3 MiB
    ASSERT_EQ(::ftruncate(fd, 6 << 20), 0);
    ::close(fd);
    const HoleMap map = HoleMap::read(path, 6 << 20);
    const std::int64_t mib = 1 << 20;
    EXPECT_TRUE(map.isHole(0, mib));
    EXPECT_TRUE(map.isHole(2 * mib, mib));
    EXPECT_FALSE(map.isHole(3 * mib, mib));
    EXPECT_FALSE(map.isHole(2 * mib + 1, mib)); // ends inside the data
    EXPECT_TRUE(map.isHole(5 * mib, mib));
    EXPECT_FALSE(HoleMap().isHole(0, mib)) << "unknown means data";
    EXPECT_TRUE(isAllZero(zeroBytes(mib)));
    EXPECT_FALSE(isAllZero(QByteArray(5000, '\0') + 'x'));
    EXPECT_EQ(zeroBytesHash(mib), FileHasher::sha256Hex(QByteArray(mib, '\0')));
}
