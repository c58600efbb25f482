// SPDX-License-Identifier: Apache-2.0
#include "platform/PropertyList.h"
#include "postmigration/AccountAdaptation.h"
#include "postmigration/PathRewriting.h"
#include "postmigration/UserAccountMapper.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kivo;
using namespace kivo::test;
using namespace Qt::StringLiterals;

namespace {

const QList<PathRewriteRule> kRules = UserMapping::make(u"ann"_s, u"/Users/ann"_s, u"bob"_s, u"/home/bob"_s).pathRewriteRules;

} // namespace

TEST(AccountAdaptation, SettingsAndNamedDeveloperFilesAreRewrittenSshKeysAndOtherCategoriesAreNot)
{
    struct Case {
        QString category, path;
        RewriteKind kind;
    };
    const QList<Case> cases = {
        {u"applicationData"_s, u"/h/Library/Preferences/com.vendor.app.plist"_s, RewriteKind::plist},
        {u"systemSettings"_s, u"/h/Library/Preferences/.GlobalPreferences.plist"_s, RewriteKind::plist},
        {u"applicationData"_s, u"/h/Library/Application Support/App/config.json"_s, RewriteKind::text},
        {u"applicationData"_s, u"/h/.ssh/config"_s, RewriteKind::text},
        {u"applicationData"_s, u"/h/.ssh/id_ed25519"_s, RewriteKind::none},
        {u"applicationData"_s, u"/h/.ssh/known_hosts.plist"_s, RewriteKind::none},
        {u"engineeringTools"_s, u"/h/.zshrc"_s, RewriteKind::text},
        {u"engineeringTools"_s, u"/h/.config/.gitconfig"_s, RewriteKind::text},
        {u"engineeringTools"_s, u"/h/Brewfile-migration-2026"_s, RewriteKind::text},
        {u"engineeringTools"_s, u"/h/.zshrc.bak"_s, RewriteKind::none},
        {u"engineeringTools"_s, u"/h/Library/Preferences/dev.plist"_s, RewriteKind::none},
        {u"userFiles"_s, u"/h/Documents/notes.txt"_s, RewriteKind::none},
        {u"browserData"_s, u"/h/Library/Safari/Bookmarks.plist"_s, RewriteKind::none},
        // The received settings file by its name; another one of that name is text.
        {u"systemSettings"_s, u"/h/.config/kivo-settings/user.dconf"_s, RewriteKind::settings},
        {u"applicationData"_s, u"/h/.config/x/user.dconf"_s, RewriteKind::text},
        {u"systemSettings"_s, u"/h/.config/mimeapps.list"_s, RewriteKind::text},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rewriteKindFor(c.category, c.path), c.kind) << c.path.toStdString();
}

TEST(PathRewriting, Utf8IsCheckedStrictlyAcrossPieces)
{
    struct Case {
        QByteArray bytes;
        bool valid;
    };
    const QList<Case> cases = {
        {"plain ascii text", true},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
        {"\xc0\xaf", false},             // overlong "/"
        {"\xed\xa0\x80", false},         // a surrogate
        {"\xf4\x90\x80\x80", false},     // past U+10FFFF
        {"cut \xe2\x82", false},         // cut off at the end
        {"\x80 lone continuation", false},
    };
    for (const Case& c : cases) {
        // Every split point: state must carry from one piece to the next.
        for (qsizetype split = 0; split <= c.bytes.size(); ++split) {
            Utf8Validator v;
            v.feed(QByteArrayView(c.bytes).first(split));
            v.feed(QByteArrayView(c.bytes).sliced(split));
            EXPECT_EQ(v.finish(), c.valid) << c.bytes.toHex().constData() << " split " << split;
        }
    }
}

TEST(PathRewriting, ReplacementFindsPatternsSplitBetweenPieces)
{
    const QByteArray input = "x/Users/ann/a /Users/ann/Users/ann y/Users/an";
    const QByteArray expected = "x/home/bob/a /home/bob/home/bob y/Users/an";
    for (qsizetype piece = 1; piece <= input.size(); ++piece) {
        StreamReplacer r("/Users/ann", "/home/bob");
        QByteArray out;
        for (qsizetype at = 0; at < input.size(); at += piece)
            r.feed(QByteArrayView(input).sliced(at, std::min(piece, input.size() - at)), out, false);
        r.feed({}, out, true);
        EXPECT_EQ(out, expected) << "piece " << piece;
        EXPECT_EQ(r.replacements(), 3);
    }
}

TEST(PathRewriting, TextFilesAreRewrittenInPlaceKeepingModeAndOthersStayByteIdentical)
{
    QTemporaryDir dir;
    const QString home = dir.path();
    const QString text = home + u"/Library/Application Support/App/config.json"_s;
    writeBytes(text, "{\"root\": \"/Users/ann/Documents\", \"other\": \"/Users/anna/x\"}\n");
    ::chmod(QFile::encodeName(text).constData(), 0640);
    const QList<PathRewriteLog> logs = rewriteTextFile(home, text, kRules);
    // The prefix also changes the longer name: no path-boundary check.
    EXPECT_EQ(readBytes(text), "{\"root\": \"/home/bob/Documents\", \"other\": \"/home/boba/x\"}\n");
    ASSERT_EQ(logs.size(), 1); // the second rule finds nothing left
    EXPECT_EQ(logs[0], (PathRewriteLog{text, u"/Users/ann"_s, u"/home/bob"_s, std::nullopt}));
    struct stat st {};
    ::stat(QFile::encodeName(text).constData(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Larger than one read, the only occurrence straddling the first boundary.
    const QString large = home + u"/large.txt"_s;
    QByteArray bytes((1 << 20) - 4, 'a');
    bytes += "/Users/ann/end";
    writeBytes(large, bytes);
    EXPECT_EQ(rewriteTextFile(home, large, kRules).size(), 1);
    EXPECT_EQ(readBytes(large), QByteArray((1 << 20) - 4, 'a') + "/home/bob/end");

    const QByteArray binary = QByteArray("\x00\xff/Users/ann\xfe", 14);
    const QString blob = home + u"/Library/Application Support/App/cache.bin"_s;
    writeBytes(blob, binary);
    EXPECT_TRUE(rewriteTextFile(home, blob, kRules).isEmpty());
    EXPECT_EQ(readBytes(blob), binary);

    // Never through a link: neither the file itself nor a folder on the way.
    QTemporaryDir outside;
    writeBytes(outside.path() + u"/target.txt"_s, "/Users/ann");
    QFile::link(outside.path() + u"/target.txt"_s, home + u"/link.txt"_s);
    QFile::link(outside.path(), home + u"/linked-folder"_s);
    EXPECT_TRUE(rewriteTextFile(home, home + u"/link.txt"_s, kRules).isEmpty());
    EXPECT_TRUE(rewriteTextFile(home, home + u"/linked-folder/target.txt"_s, kRules).isEmpty());
    EXPECT_EQ(readBytes(outside.path() + u"/target.txt"_s), "/Users/ann");
    // Nothing left behind beside the files.
    EXPECT_EQ(QDir(home + u"/Library/Application Support/App"_s).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST(PathRewriting, PropertyListsKeepTheirFormatAndLogEachStringWithItsKey)
{
    QTemporaryDir dir;
    const QString home = dir.path();
    const QVariantMap root{{u"Folder"_s, u"/Users/ann/Music"_s},
                           {u"Recent"_s, QVariantList{u"/Users/ann/a"_s, u"/tmp/b"_s}},
                           {u"Count"_s, qint64(3)}};
    for (const plist::Format format : {plist::Format::binary, plist::Format::xml}) {
        const QString path = home + (format == plist::Format::binary ? u"/bin.plist"_s : u"/xml.plist"_s);
        writeBytes(path, plist::serialize(root, format));
        const QList<PathRewriteLog> logs = rewritePlistFile(home, path, kRules);
        ASSERT_EQ(logs.size(), 2);
        EXPECT_EQ(logs[0], (PathRewriteLog{path, u"/Users/ann/Music"_s, u"/home/bob/Music"_s, u"Folder"_s}));
        EXPECT_EQ(logs[1], (PathRewriteLog{path, u"/Users/ann/a"_s, u"/home/bob/a"_s, u"Recent"_s}));
        const auto doc = plist::readFile(path);
        ASSERT_TRUE(doc.has_value());
        EXPECT_EQ(doc->format, format);
        EXPECT_EQ(doc->root.toMap().value(u"Recent"_s).toList().value(0).toString(), u"/home/bob/a"_s);
        EXPECT_EQ(doc->root.toMap().value(u"Count"_s).toLongLong(), 3); // other types survive the rewrite
    }
    writeBytes(home + u"/broken.plist"_s, "not a plist /Users/ann");
    EXPECT_TRUE(rewritePlistFile(home, home + u"/broken.plist"_s, kRules).isEmpty());
    EXPECT_EQ(readBytes(home + u"/broken.plist"_s), "not a plist /Users/ann");
}

TEST(HomePathRewriting, WholePathsPlainAndInsideUris)
{
    struct Case {
        QString from, to, text, expected;
        int count;
    };
    const QList<Case> cases = {
        {u"/home/ann"_s, u"/home/bob"_s, u"/home/ann/x"_s, u"/home/bob/x"_s, 1},
        {u"/home/ann"_s, u"/home/bob"_s, u"/home/ann"_s, u"/home/bob"_s, 1},
        // Not a path boundary: another account, another root.
        {u"/home/ann"_s, u"/home/bob"_s, u"/home/anna/x"_s, u"/home/anna/x"_s, 0},
        {u"/home/ann"_s, u"/home/bob"_s, u"/srv/home/ann/x"_s, u"/srv/home/ann/x"_s, 0},
        {u"/home/ann"_s, u"/home/bob"_s, u"/home/ann.old/x"_s, u"/home/ann.old/x"_s, 0},
        // Lists and command lines.
        {u"/home/ann"_s, u"/home/bob"_s, u"/home/ann/bin:/usr/bin:/home/ann/.local/bin"_s,
         u"/home/bob/bin:/usr/bin:/home/bob/.local/bin"_s, 2},
        {u"/home/ann"_s, u"/home/bob"_s, u"sh -c \"cd /home/ann && make\""_s, u"sh -c \"cd /home/bob && make\""_s, 1},
        // Spaces: plain in paths, %20 in URIs, in both directions.
        {u"/home/ann smith"_s, u"/home/bob"_s, u"file:///home/ann%20smith/Pictures/x.jpg"_s,
         u"file:///home/bob/Pictures/x.jpg"_s, 1},
        {u"/home/ann smith"_s, u"/home/bob"_s, u"/home/ann smith/Pictures/x.jpg"_s, u"/home/bob/Pictures/x.jpg"_s, 1},
        {u"/home/ann"_s, u"/home/bob jones"_s, u"file:///home/ann/a.png /home/ann/b"_s,
         u"file:///home/bob%20jones/a.png /home/bob jones/b"_s, 2},
        // Unicode is UTF-8 percent-encoded in URIs; a longer encoded name is another account.
        {u"/home/zoë"_s, u"/home/zoe"_s, u"file:///home/zo%C3%AB/f"_s, u"file:///home/zoe/f"_s, 1},
        {u"/home/zo"_s, u"/home/x"_s, u"file:///home/zo%C3%AB/f"_s, u"file:///home/zo%C3%AB/f"_s, 0},
        {u"/home/ann"_s, u"/home/bob"_s, u"file:///home/ann%20x/f"_s, u"file:///home/ann%20x/f"_s, 0},
        {u"/home/ann"_s, u"/home/bob"_s, u"file:///home/ann?q#f"_s, u"file:///home/bob?q#f"_s, 1},
        {u"/home/ann"_s, u"/home/ann"_s, u"/home/ann/x"_s, u"/home/ann/x"_s, 0},
        {u""_s, u"/home/bob"_s, u"/x"_s, u"/x"_s, 0},
    };
    for (const Case& c : cases) {
        QString text = c.text;
        EXPECT_EQ(rewriteHomePath(text, c.from, c.to), c.count) << c.text.toStdString();
        EXPECT_EQ(text, c.expected) << c.text.toStdString();
    }
    EXPECT_EQ(percentEncodedPath(u"/home/a b/ü@x"_s), u"/home/a%20b/%C3%BC@x"_s);
}

TEST(HomePathRewriting, SettingsKeyfileOnlyInsideQuotedValues)
{
    const QList<PathRewriteRule> rules = {{u"/home/ann smith"_s, u"/home/bob"_s}};
    const QString text = uR"([org/gnome/desktop/background]
picture-uri='file:///home/ann%20smith/Pictures/x.jpg'
picture-options='zoom'

[org/gnome/nautilus]
bookmarks=['/home/ann smith/a', "/home/ann smithers/b", '/home/ann smith/it\'s']
size=uint32 42
/home/ann smith=nothing
)"_s;
    QList<PathRewriteLog> logs;
    const QString out = rewriteSettingsText(text, u"/d/user.dconf"_s, rules, logs);
    EXPECT_EQ(out, uR"([org/gnome/desktop/background]
picture-uri='file:///home/bob/Pictures/x.jpg'
picture-options='zoom'

[org/gnome/nautilus]
bookmarks=['/home/bob/a', "/home/ann smithers/b", '/home/bob/it\'s']
size=uint32 42
/home/ann smith=nothing
)"_s);
    ASSERT_EQ(logs.size(), 2);
    EXPECT_EQ(logs[0].key, u"org/gnome/desktop/background/picture-uri"_s);
    EXPECT_EQ(logs[0].originalValue, u"'file:///home/ann%20smith/Pictures/x.jpg'"_s);
    EXPECT_EQ(logs[1].key, u"org/gnome/nautilus/bookmarks"_s);
}

TEST(HomePathRewriting, AReceivedSettingsFileIsReplacedInPlaceUnlessItIsNotUtf8)
{
    QTemporaryDir home;
    const QString path = home.path() + u"/user.dconf"_s;
    test::writeBytes(path, "[a]\nk='/home/ann/x'\n");
    const auto logs = rewriteSettingsFile(home.path(), path, {{u"/home/ann"_s, u"/home/bob"_s}});
    EXPECT_EQ(logs.size(), 1);
    EXPECT_EQ(test::readBytes(path), QByteArray("[a]\nk='/home/bob/x'\n"));
    // Not UTF-8: left alone.
    test::writeBytes(path, "[a]\nk='/home/ann/\xff'\n");
    EXPECT_TRUE(rewriteSettingsFile(home.path(), path, {{u"/home/ann"_s, u"/home/bob"_s}}).isEmpty());
}

TEST(AccountListing, LoginDefsDirectoryOutputAndPasswdAreReadAsWritten)
{
    EXPECT_EQ(humanUidRange("# comment\nUID_MIN\t 2000\nUID_MAX 3000\nGID_MIN 10\n"), std::make_pair(2000u, 3000u));
    EXPECT_EQ(passwdNames("root:x:0:0::/root:/bin/sh\n+nis\nann:x:1000:1000:Ann,,,:/home/ann:/bin/sh\n"),
              (QStringList{u"root"_s, u"ann"_s}));

    const QList<std::pair<QString, std::optional<QString>>> reads = {
        {u"RealName: Ann Smith\n"_s, u"Ann Smith"_s},
        {u"RealName:\n Ann Smith\n"_s, std::nullopt}, // the value on the next line is not consulted
        {u"No such key: RealName\n"_s, u"RealName"_s},
        {u"RealName\n  Ann\n"_s, u"Ann"_s},
    };
    for (const auto& [output, value] : reads)
        EXPECT_EQ(dsclAttributeValue(output), value) << output.toStdString();
    EXPECT_EQ(dsclUserNames(u"_www\ndaemon\nann\nnobody\nroot\nGuest\nbob\n"_s), (QStringList{u"ann"_s, u"bob"_s}));
}

TEST(AccountListing, ObviousSelectionPrefersTheCurrentUserThenTheOnlyManagedAccount)
{
    const UserAccount ann{u"ann"_s, u"Ann"_s, u"/home/ann"_s, false, false, false};
    const UserAccount bob{u"bob"_s, u"Bob"_s, u"/home/bob"_s, true, false, false};
    const UserAccount cy{u"cy"_s, u"Cy"_s, u"/home/cy"_s, false, false, false};
    UserAccountMapper mapper;
    mapper.setAccounts({ann, bob, cy});
    ASSERT_TRUE(mapper.autoSelectIfObvious());
    EXPECT_EQ(mapper.mapping()->destinationUsername, u"bob"_s);
    EXPECT_TRUE(mapper.mapping()->destinationIsMDMManaged);

    UserAccountMapper unmanaged;
    unmanaged.setAccounts({ann, cy});
    EXPECT_FALSE(unmanaged.autoSelectIfObvious());

    UserAccount me = cy;
    me.isCurrentUser = true;
    unmanaged.setAccounts({ann, bob, me});
    ASSERT_TRUE(unmanaged.autoSelectIfObvious());
    EXPECT_EQ(unmanaged.mapping()->destinationUsername, u"cy"_s);
    EXPECT_TRUE(unmanaged.mapping()->pathRewriteRules.isEmpty());
    EXPECT_TRUE(unmanaged.rewriteText(u"/home/cy/never-read"_s).isEmpty());
}
