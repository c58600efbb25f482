// SPDX-License-Identifier: Apache-2.0
#include "platform/Json.h"
#include "platform/NameBytes.h"
#include "transfer/ItemsByPath.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferSupport.h"
#include "transfer/UserMapping.h"
#include "transfer/WireName.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

// What a whole-document parse makes of the text: the manifest, or no manifest.
std::optional<TransferManifest> reference(const QByteArray& text)
{
    try {
        return TransferManifest::fromJson(json::parseObject(text));
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

std::optional<TransferManifest> streamed(const QByteArray& text)
{
    try {
        return TransferManifest::decode(text);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

} // namespace

// The item-at-a-time decoder accepts exactly what a whole-document parse accepts,
// and yields the same manifest.
TEST(ManifestDecode, AgreesWithAWholeDocumentParse)
{
    TransferManifest m = manifestFor(u"T-1"_s);
    add(m, fileItem(u"~/a \"quoted\" {braced} [x].txt"_s, u"/Users/ann/a.txt"_s, 3)).mode = 0600;
    add(m, fileItem(u"~/b\\\\slash\u00e9.txt"_s, u"/Users/ann/b.txt"_s, 0)).sha256Hash = QString(64, u'c');
    const QByteArray pretty = m.encoded();
    const QByteArray head = R"({"transferID":"T-1","sourceHostname":"h","totalSize":0,"categoryIDs":[],"categoryOrder":[],"createdAt":"2026-01-01T00:00:00Z")";
    const QByteArray item = R"({"relativePath":"~/x","absolutePath":"/x","size":1,"categoryID":"c","isTransferred":false,"bytesTransferred":0,"transferStatus":"pending"})";
    // An unknown member nested `depth` deep inside an item: the parser's nesting limit
    // counts the manifest and its items around it.
    auto nested = [&](int depth) {
        return head + ",\"items\":[" + item.chopped(1) + ",\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + "}]}";
    };

    const QList<std::pair<const char*, QByteArray>> cases = {
        {"pretty", pretty},
        {"spaced", " \t\r\n" + head + " ,\n \"items\" : [ " + item + " , " + item + " ] \n}\n"},
        {"items first", "{\"items\":[" + item + "]," + head.mid(1) + "}"},
        {"escaped key", head + ",\"it\\u0065ms\":[" + item + "]}"},
        {"last items wins", head + ",\"items\":[" + item + "],\"items\":[]}"},
        {"earlier items hold no record", head + ",\"items\":[1],\"items\":[" + item + "]}"},
        {"unknown member", head + ",\"extra\":{\"items\":[1,2]},\"items\":[" + item + "]}"},
        {"missing items", head + "}"},
        {"item not an object", head + ",\"items\":[1]}"},
        {"item missing a field", head + ",\"items\":[{\"relativePath\":\"~/x\"}]}"},
        {"trailing comma in items", head + ",\"items\":[" + item + ",]}"},
        {"unterminated string", head + ",\"items\":[{\"relativePath\":\"~/x}]}"},
        {"unbalanced item", head + ",\"items\":[" + item.chopped(1) + "]}"},
        {"garbage after", head + ",\"items\":[]}x"},
        {"bad literal elsewhere", head + ",\"flag\":tru,\"items\":[]}"},
        {"not an object", "[]"},
        {"backslash at the end", head + ",\"items\":[\"\\"},
        {"nested within the limit", nested(1020)},
        {"nested past the limit", nested(1023)},
        {"earlier items nested past the limit", head + ",\"items\":" + QByteArray(1024, '[') + QByteArray(1024, ']') + ",\"items\":[]}"},
    };
    for (const auto& [name, text] : cases) {
        const std::optional<TransferManifest> expected = reference(text);
        EXPECT_EQ(streamed(text), expected) << name;
    }
    EXPECT_EQ(streamed(pretty), m);
}

namespace {

// A manifest using every field of its own, including names no encoding describes.
TransferManifest everyField()
{
    TransferManifest m = manifestFor(u"T-1"_s);
    m.sourceHomeFolder = u"/Users/ann"_s;
    m.conflictPolicy = ConflictPolicy::keepNewer;
    m.layout = u"linux"_s;
    m.userFolders = {{u"DOCUMENTS"_s, u"~/Dokumente"_s}, {u"MUSIC"_s, u"~/Música"_s}};
    m.skippedFolders.append({u"~/Locked"_s, u"userFiles"_s, u"Permission denied"_s, true});
    auto& raw = add(m, fileItem(toWireName(fs::nameFromBytes("~/caf\xe9")), fs::nameFromBytes("/Users/ann/caf\xe9"), 3));
    raw.rawName = true;
    raw.destinationPath = fs::nameFromBytes("/home/bob/caf\xe9");
    raw.mode = 0600;
    raw.sha256Hash = QString(64, u'c');
    raw.sourceModified = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    raw.sourceModifiedNanoseconds = 999999999;
    raw.sparse = true;
    raw.extendedAttributes = {{"user.tag", QByteArray("\0\1", 2)}};
    for (int i = 0; i < 3; ++i)
        add(m, fileItem(u"~/d/f%1 \"q\" ]\n"_s.arg(i), u"/Users/ann/d/f%1"_s.arg(i), std::uint64_t(i)));
    TransferManifest::Entry folder;
    folder.relativePath = u"~/d"_s;
    folder.categoryID = u"userFiles"_s;
    folder.mode = 01777;
    folder.sourceModified = m.items.first().sourceModified; // `raw` no longer points into the grown list
    folder.sourceModifiedNanoseconds = 5;
    TransferManifest::Entry link = folder;
    link.kind = TransferManifest::Entry::Kind::link;
    link.mode.reset();
    link.relativePath = u"~/d/l"_s;
    link.linkTarget = "/old/home/\xff \"q\" ]\n";
    m.entries = {folder, link};
    return m;
}

// Items the direct writer spells itself and those it leaves to the printer:
// every string and number the two might spell differently.
TransferManifest spellings()
{
    TransferManifest m = manifestFor(u"T-4"_s);
    const QString names[] = {u"plain"_s,         u"caf\u00e9"_s,    u"\u65e5\u672c"_s, u"emoji \U0001F600"_s, u"q\"uote"_s,
                             u"back\\slash"_s, u"tab\t"_s,        u"del\x7f"_s,      u"ctl\x01"_s,         u"a/b c"_s,
                             u"lone \xd800"_s,  u"nbsp\u00a0"_s};
    const std::uint64_t sizes[] = {0, 1, 1000000, 123456789012, (1ull << 53) - 1, 1ull << 53};
    int n = 0;
    for (const QString& name : names) {
        for (const std::uint64_t size : sizes) {
            auto& item = add(m, fileItem(u"~/"_s + name + QString::number(n), u"/h/"_s + name, size));
            if (n % 2)
                item.mode = std::uint16_t(n * 37 % 0777);
            if (n % 3) {
                item.sourceModified = QDateTime::fromSecsSinceEpoch(1600000000 + n, Qt::UTC);
                item.sourceModifiedNanoseconds = n % 5 ? std::optional<std::uint32_t>(n * 1000) : std::nullopt;
            }
            item.sparse = n % 4 == 0;
            item.isTransferred = n % 7 == 0;
            item.bytesTransferred = n % 6 ? 0 : size;
            ++n;
        }
    }
    m.totalSize = 0; // the sum is past what a JSON number holds exactly
    return m;
}

} // namespace

// Built one item at a time, the text is byte for byte the whole document pretty-printed,
// and every field comes back; fields of our own are left out when unused so older peers read it as before.
TEST(ManifestEncode, EveryFieldRoundTripsAndUnusedOnesAreLeftOut)
{
    TransferManifest none = manifestFor(u"T-0"_s);
    TransferManifest plain = manifestFor(u"T-1"_s);
    add(plain, fileItem(u"~/a"_s, u"/h/a"_s, 5));
    TransferManifest full = everyField();
    TransferManifest many = manifestFor(u"T-3"_s); // more items than one block of the writer holds
    for (int i = 0; i < 2500; ++i)
        add(many, fileItem(u"~/m%1"_s.arg(i), u"/h/m%1"_s.arg(i), std::uint64_t(i)));
    TransferManifest odd = spellings();
    for (const TransferManifest* m : {&none, &plain, &full, &many, &odd}) {
        EXPECT_EQ(m->encoded(), json::toFileBytes(m->toJson())) << m->items.size() << " items";
        EXPECT_EQ(TransferManifest::decode(m->encoded()), *m);
    }
    for (const char* key : {"sourceModifiedNanoseconds", "sparse", "relativePathBytes", "extendedAttributes", "entries",
                            "conflictPolicy", "skippedFolders", "sourceHomeFolder", "mode", "destinationPath", "layout",
                            "userFolders"})
        EXPECT_FALSE(plain.encoded().contains(key)) << key;
    const TransferManifest back = TransferManifest::decode(full.encoded());
    EXPECT_EQ(fs::nameToBytes(back.items[0].absolutePath()), QByteArray("/Users/ann/caf\xe9"));
    EXPECT_EQ(back.items[0].modifiedTime(), (fs::FileTime{1600000000, 999999999}));
}

// A source path under the home keeps only the home, shared between items; any
// other is kept whole. Either way it reads back, and travels, exactly as set.
TEST(ManifestItem, SourcePathReadsBackAsSetWhetherSharedOrWhole)
{
    const QString raw = fs::nameFromBytes("/home/ann/caf\xe9");
    const struct {
        QString relative;
        QString absolute;
        std::optional<QString> home;
        bool rawName = false;
    } cases[] = {
        {u"~/Documents/a.txt"_s, u"/home/ann/Documents/a.txt"_s, u"/home/ann"_s},
        {u"~/b.txt"_s, u"/home/ann/b.txt"_s, u"/home/ann"_s},
        {u"~/b.txt"_s, u"/srv/other home/b.txt"_s, u"/srv/other home"_s},
        {u"~/x"_s, u"/elsewhere/y"_s, std::nullopt},
        {u"/etc/hosts"_s, u"/etc/hosts"_s, std::nullopt},
        {u"~/x"_s, u"/x"_s, std::nullopt}, // nothing before the tail: no home
        {u"~/"_s, u"/home/ann/"_s, std::nullopt},
        {toWireName(fs::nameFromBytes("~/caf\xe9")), raw, std::nullopt, true}, // its bytes are not its wire spelling
        {u"~/empty"_s, QString(), std::nullopt},
    };
    TransferManifest m = manifestFor(u"T-2"_s);
    for (const auto& c : cases) {
        TransferManifest::FileItem& item = add(m, fileItem(c.relative, c.absolute, 1));
        item.rawName = c.rawName;
        EXPECT_EQ(item.absolutePath(), c.absolute) << c.relative.toStdString();
        EXPECT_EQ(item.homeShown(), c.home) << c.relative.toStdString();
    }
    EXPECT_EQ(m.items[0].homeShown()->constData(), m.items[1].homeShown()->constData()) << "one home, one string";
    const TransferManifest back = TransferManifest::decode(m.encoded());
    EXPECT_EQ(back, m);
    for (qsizetype i = 0; i < m.items.size(); ++i)
        EXPECT_EQ(back.items[i].absolutePath(), m.items[i].absolutePath()) << i;
}

// Items are found by path in any order of asking; of a path listed twice, the first.
TEST(ItemsByPath, FindsTheFirstItemOfAPathInAnyOrderOfAsking)
{
    const struct {
        QStringList paths;
        QList<std::pair<QString, qsizetype>> asked;
    } cases[] = {
        {{u"~/x"_s, u"~/y"_s, u"~/z"_s}, {{u"~/z"_s, 2}, {u"~/x"_s, 0}, {u"~/y"_s, 1}, {u"~/y"_s, 1}, {u"~/w"_s, -1}}},
        {{u"~/b"_s, u"~/a"_s, u"~/c"_s, u"~/a"_s}, {{u"~/c"_s, 2}, {u"~/a"_s, 1}, {u"~/a"_s, 1}, {u"~/b"_s, 0}}},
        {{}, {{u"~/a"_s, -1}}},
    };
    for (const auto& c : cases) {
        TransferManifest m = manifestFor(u"T-4"_s);
        for (const QString& path : c.paths)
            add(m, fileItem(path, path, 1));
        const ItemsByPath index(m.items);
        for (const auto& [path, expected] : c.asked)
            EXPECT_EQ(index.find(m.items, path), expected) << path.toStdString() << " of " << c.paths.join(u' ').toStdString();
    }
}

// Values out of range, and raw name bytes that do not spell the path they travel with, are refused.
TEST(ManifestDecode, RefusesValuesOutOfRangeAndBytesThatDoNotMatchThePath)
{
    const QByteArray text = everyField().encoded();
    const QByteArray rawName = QByteArray("~/caf\xe9").toBase64(), linkTarget = everyField().entries[1].linkTarget.toBase64();
    const QList<std::pair<QByteArray, QByteArray>> edits = {
        {"\"pending\"", "\"paused\""},
        {"999999999", "1000000000"},
        {linkTarget, QByteArray("a\0b", 3).toBase64()},
        {"\"keepNewer\"", "\"shred\""},
        {"\"~/Locked\"", "7"},
        {rawName, QByteArray("~/../etc").toBase64()},
    };
    for (const auto& [from, to] : edits) {
        ASSERT_TRUE(text.contains(from)) << from.constData();
        EXPECT_THROW(TransferManifest::decode(QByteArray(text).replace(from, to)), DecodingError) << to.constData();
    }
}

TEST(TransferManifest, MappingRewritesOnlyWhenHomesDiffer)
{
    TransferManifest m;
    m.items = {fileItem(u"~/Documents/ana.txt"_s, u"/Users/ana/Documents/ana.txt"_s, 5)};
    m.applyUserMapping(UserMapping::make(u"ana"_s, u"/Users/ana"_s, u"ana"_s, u"/Users/ana"_s));
    EXPECT_FALSE(m.items[0].destinationPath);
    m.applyUserMapping(UserMapping::make(u"ana"_s, u"/Users/ana"_s, u"anab"_s, u"/Users/anab"_s));
    EXPECT_EQ(m.items[0].destinationPath, u"/Users/anab/Documents/ana.txt"_s);
    // The source's home travels with the manifest for the destination's mapping.
    EXPECT_EQ(m.sourceHomeFolder, u"/Users/ana"_s);
}

// The source's user folders arrive as an object of strings or not at all.
TEST(ManifestDecode, UserFoldersThatAreNotAnObjectOfStringsAreRefused)
{
    TransferManifest m = manifestFor(u"T-5"_s);
    for (const char* folders : {"[\"~/Docs\"]", "{\"DOCUMENTS\": 3}", "\"~/Docs\""}) {
        QByteArray text = m.encoded();
        text.insert(text.indexOf('{') + 1, QByteArray("\"userFolders\": ") + folders + ",");
        EXPECT_THROW(TransferManifest::decode(text), DecodingError) << folders;
    }
}
