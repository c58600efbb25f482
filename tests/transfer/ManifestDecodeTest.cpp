#include "platform/Json.h"
#include "transfer/TransferManifest.h"
#include "transfer/TransferSupport.h"

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
    QByteArray compact = pretty;
    compact.replace("\n", "").replace("    ", "");
    const QByteArray head = R"({"transferID":"T-1","sourceHostname":"h","totalSize":0,"categoryIDs":[],"categoryOrder":[],"createdAt":"2026-01-01T00:00:00Z")";
    const QByteArray item = R"({"relativePath":"~/x","absolutePath":"/x","size":1,"categoryID":"c","isTransferred":false,"bytesTransferred":0,"transferStatus":"pending"})";

    const QList<std::pair<const char*, QByteArray>> cases = {
        {"pretty", pretty},
        {"compact", compact},
        {"no items", head + ",\"items\":[]}"},
        {"spaced", " \t\r\n" + head + " ,\n \"items\" : [ " + item + " , " + item + " ] \n}\n"},
        {"items first", "{\"items\":[" + item + "]," + head.mid(1) + "}"},
        {"escaped key", head + ",\"it\\u0065ms\":[" + item + "]}"},
        {"last items wins", head + ",\"items\":[" + item + "],\"items\":[]}"},
        {"earlier items hold no record", head + ",\"items\":[1],\"items\":[" + item + "]}"},
        {"earlier items malformed", head + ",\"items\":[{],\"items\":[]}"},
        {"unknown member", head + ",\"extra\":{\"items\":[1,2]},\"items\":[" + item + "]}"},
        {"missing items", head + "}"},
        {"items not an array", head + ",\"items\":{}}"},
        {"item not an object", head + ",\"items\":[1]}"},
        {"item missing a field", head + ",\"items\":[{\"relativePath\":\"~/x\"}]}"},
        {"trailing comma in items", head + ",\"items\":[" + item + ",]}"},
        {"trailing comma", head + ",\"items\":[],}"},
        {"unterminated string", head + ",\"items\":[{\"relativePath\":\"~/x}]}"},
        {"unbalanced item", head + ",\"items\":[" + item.chopped(1) + "]}"},
        {"garbage after", head + ",\"items\":[]}x"},
        {"two documents", head + ",\"items\":[]}{}"},
        {"bad literal elsewhere", head + ",\"flag\":tru,\"items\":[]}"},
        {"missing colon", head + ",\"items\"[]}"},
        {"not an object", "[]"},
        {"empty", ""},
        {"backslash at the end", head + ",\"items\":[\"\\"},
    };
    for (const auto& [name, text] : cases) {
        const std::optional<TransferManifest> expected = reference(text);
        EXPECT_EQ(streamed(text), expected) << name;
    }
    EXPECT_EQ(streamed(pretty), m);
}

// Built one item at a time, the text is byte for byte the whole document pretty-printed.
TEST(ManifestEncode, IsTheWholeDocumentPrettyPrinted)
{
    TransferManifest none = manifestFor(u"T-0"_s);
    TransferManifest one = manifestFor(u"T-1"_s);
    add(one, fileItem(u"~/a \"q\" ]\n.txt"_s, u"/Users/ann/a.txt"_s, 3)).mode = 0600;
    TransferManifest many = one;
    many.sourceHomeFolder = u"/Users/ann"_s;
    many.conflictPolicy = ConflictPolicy::overwrite;
    many.skippedFolders.append({u"~/Locked"_s, u"userFiles"_s, u"Permission denied"_s, true});
    TransferManifest::Entry link;
    link.relativePath = u"~/l"_s;
    link.categoryID = u"userFiles"_s;
    link.kind = TransferManifest::Entry::Kind::link;
    link.linkTarget = "a \"q\" ]\n.txt";
    many.entries.append(link);
    for (int i = 0; i < 3; ++i) {
        auto& item = add(many, fileItem(u"~/d/f%1"_s.arg(i), u"/Users/ann/d/f%1"_s.arg(i), std::uint64_t(i)));
        item.extendedAttributes.append({"user.k", QByteArray(i, 'v')});
        item.rawName = i == 1;
    }
    for (const TransferManifest* m : {&none, &one, &many}) {
        EXPECT_EQ(m->encoded(), json::toFileBytes(m->toJson())) << m->items.size() << " items";
        EXPECT_EQ(TransferManifest::decode(m->encoded()), *m);
    }
}
