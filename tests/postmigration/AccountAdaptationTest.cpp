#include "postmigration/AccountAdaptation.h"
#include "support/CoroTest.h"

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

class RecordingRewriter : public AccountPathRewriter {
public:
    std::optional<UserMapping> mapping() const override { return value; }
    void rewritePlistPaths(const QString& path) override { plists.append(path); }
    void rewriteTextFilePaths(const QString& path) override { texts.append(path); }
    std::optional<UserMapping> value;
    QStringList plists, texts;
};

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
    };
    for (const Case& c : cases)
        EXPECT_EQ(rewriteKindFor(c.category, c.path), c.kind) << c.path.toStdString();
}

TEST(AccountAdaptation, RewritesOnlyWhenTheMappingMovesTheHomeFolder)
{
    auto rewriter = std::make_shared<RecordingRewriter>();
    AccountAdaptation adaptation(rewriter);
    const QStringList files = {u"/home/new/a.plist"_s, u"/home/new/b.json"_s, u"/home/new/.ssh/id_rsa"_s};

    test::runTask(adaptation.adaptCategory(u"applicationData"_s, files));
    rewriter->value = UserMapping::make(u"ana"_s, u"/home/ana"_s, u"ana"_s, u"/home/ana"_s);
    test::runTask(adaptation.adaptCategory(u"applicationData"_s, files));
    EXPECT_TRUE(rewriter->plists.isEmpty() && rewriter->texts.isEmpty()) << "no mapping, or the same home";

    rewriter->value = UserMapping::make(u"old"_s, u"/Users/old"_s, u"new"_s, u"/home/new"_s);
    test::runTask(adaptation.adaptCategory(u"applicationData"_s, files));
    EXPECT_EQ(rewriter->plists, QStringList{files[0]});
    EXPECT_EQ(rewriter->texts, QStringList{files[1]});
}
