// SPDX-License-Identifier: Apache-2.0
#include "postmigration/AccountAdaptation.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

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
    };
    for (const Case& c : cases)
        EXPECT_EQ(rewriteKindFor(c.category, c.path), c.kind) << c.path.toStdString();
}
