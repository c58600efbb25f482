#include "platform/NameBytes.h"
#include "transfer/ConflictResolver.h"
#include "transfer/SparseChunks.h"
#include "transfer/TransferManifest.h"
#include "transfer/WireName.h"
#include "transfer/WirePath.h"
#include "transfer/TransferSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
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
    // A component is measured in the bytes the file system gets.
    const MDMSafetyChecker safety(QStringLiteral("/nonexistent-root"));
    const auto check = [&](const QByteArray& name) {
        return checkWirePath(fs::nameFromBytes("~/" + name), QStringLiteral("/home/ann"), std::nullopt, safety).refusal;
    };
    EXPECT_EQ(check(QByteArray(255, '\xe9')), std::nullopt);
    EXPECT_EQ(check(QByteArray(256, '\xe9')), PathRefusal::tooLong);
    // A mark without two hex digits after it is not a spelling of ours.
    EXPECT_EQ(fromWireName(QStringLiteral("x\uFFFD")), std::nullopt);
    EXPECT_EQ(fromWireName(QStringLiteral("x\uFFFDzz")), std::nullopt);
}

TEST(Names, ManifestCarriesTheBytesAndRefusesBytesThatDoNotMatchThePath)
{
    TransferManifest m = manifestFor(QStringLiteral("T"));
    auto& item = add(m, fileItem(toWireName(fs::nameFromBytes("~/caf\xe9")), QStringLiteral("/h/x"), 1));
    item.rawName = true;
    item.absolutePath = fs::nameFromBytes("/home/ann/caf\xe9");
    item.destinationPath = fs::nameFromBytes("/home/bob/caf\xe9");
    const TransferManifest back = TransferManifest::decode(m.encoded());
    EXPECT_EQ(back, m);
    EXPECT_EQ(fs::nameToBytes(back.items[0].absolutePath), QByteArray("/home/ann/caf\xe9"));

    QJsonObject o = m.toJson();
    QJsonArray items = o.value(QStringLiteral("items")).toArray();
    QJsonObject forged = items[0].toObject();
    EXPECT_EQ(forged.value(QStringLiteral("relativePathBytes")).toString(), QByteArray("~/caf\xe9").toBase64());
    forged.insert(QStringLiteral("relativePathBytes"), QString::fromLatin1(QByteArray("~/../etc").toBase64()));
    items[0] = forged;
    o.insert(QStringLiteral("items"), items);
    EXPECT_THROW(TransferManifest::decode(QJsonDocument(o).toJson()), DecodingError);
}

TEST(Manifest, OwnFieldsRoundTripAndAreLeftOutWhenUnused)
{
    TransferManifest m = manifestFor(QStringLiteral("T"));
    auto& item = add(m, fileItem(QStringLiteral("~/a"), QStringLiteral("/h/a"), 5));
    const QByteArray plain = m.encoded();
    for (const char* key : {"sourceModifiedNanoseconds", "sparse", "relativePathBytes", "extendedAttributes", "entries"})
        EXPECT_FALSE(plain.contains(key)) << key;

    item.sourceModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    item.sourceModifiedNanoseconds = 999999999;
    item.sparse = true;
    item.extendedAttributes = {{"user.tag", QByteArray("\0\1", 2)}};
    TransferManifest::Entry folder;
    folder.relativePath = QStringLiteral("~/d");
    folder.categoryID = QStringLiteral("userFiles");
    folder.mode = 01777;
    folder.sourceModified = item.sourceModified;
    folder.sourceModifiedNanoseconds = 5;
    TransferManifest::Entry link = folder;
    link.kind = TransferManifest::Entry::Kind::link;
    link.mode.reset();
    link.relativePath = QStringLiteral("~/d/l");
    link.linkTarget = "/old/home/\xff";
    m.entries = {folder, link};
    m.skippedFolders = {{QStringLiteral("~/p"), QStringLiteral("userFiles"), QStringLiteral("a named pipe"), false}};
    const TransferManifest back = TransferManifest::decode(m.encoded());
    EXPECT_EQ(back, m);
    EXPECT_EQ(back.items[0].modifiedTime(), (fs::FileTime{1600000000, 999999999}));
    EXPECT_EQ(back.skippedFolders[0].text(), QStringLiteral("Not copied: a named pipe"));

    // Out-of-range fractions and link texts no file system takes are refused.
    QByteArray text = m.encoded();
    EXPECT_THROW(TransferManifest::decode(QByteArray(text).replace("999999999", "1000000000")), DecodingError);
    const QByteArray target = link.linkTarget.toBase64();
    EXPECT_THROW(TransferManifest::decode(text.replace(target, QByteArray("a\0b", 3).toBase64())), DecodingError);
}

// keepNewer compares at the precision both sides have.
TEST(ConflictTimes, KeepNewerComparesToTheNanosecondOnlyWhenTheSourceSentIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("existing"));
    writeBytes(path, "x");
    struct Case {
        std::int64_t destinationSecs;
        long destinationNanos;
        std::optional<std::uint32_t> sourceNanos;
        bool write;
    };
    const std::int64_t s = 1700000000;
    const Case cases[] = {
        {s, 500000000, 500000000u, true},  // equal, fraction included
        {s, 500000000, std::nullopt, true}, // equal to the second: the source knows no more
        {s, 500000001, 500000000u, false},  // a nanosecond newer
        {s, 0, 999999999u, true},           // source newer within the second
        {s + 1, 0, std::nullopt, false},    // a second newer
        {s + 1, 0, 999999999u, false},
        {s - 1, 999999999, std::nullopt, true},
    };
    for (const Case& c : cases) {
        const timespec times[2] = {{c.destinationSecs, c.destinationNanos}, {c.destinationSecs, c.destinationNanos}};
        ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        const ConflictDecision d = ConflictResolver::resolve(path, QDateTime::fromSecsSinceEpoch(s, Qt::UTC),
                                                             ConflictPolicy::keepNewer, c.sourceNanos);
        EXPECT_EQ(d.write, c.write) << c.destinationSecs - s << "s " << c.destinationNanos << "ns";
        EXPECT_EQ(d.reason, c.write ? QStringLiteral("source is newer or equal") : QStringLiteral("destination is newer"));
    }
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
