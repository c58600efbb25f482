// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AccountAdaptation.h"
#include "postmigration/PathRewriting.h"
#include "support/FileBytes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

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

TEST(HomePathRewriting, ReceivedSettingsFileIsReplacedInPlaceAndRoutedByName)
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

    EXPECT_EQ(rewriteKindFor(u"systemSettings"_s, u"/h/.config/kivo-settings/user.dconf"_s), RewriteKind::settings);
    EXPECT_EQ(rewriteKindFor(u"applicationData"_s, u"/h/.config/x/user.dconf"_s), RewriteKind::text);
    EXPECT_EQ(rewriteKindFor(u"systemSettings"_s, u"/h/.config/mimeapps.list"_s), RewriteKind::text);
}
