#include "cli/CliOptions.h"

#include <gtest/gtest.h>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

TEST(PostMigrationOptions, AdaptationHelperAndStagedFlagsParseAndBadOnesAreUsageErrors)
{
    const ReceiveOptions r = parseReceive({"--user", "bob", "--source-home", "/Users/ann", "--pref-restore", "manual",
                                           "--restore-window-days", "7"});
    EXPECT_EQ(r.user, u"bob"_s);
    EXPECT_EQ(r.sourceHome, u"/Users/ann"_s);
    EXPECT_EQ(r.prefRestore, u"manual"_s);
    EXPECT_EQ(r.restoreWindowDays, 7);
    EXPECT_FALSE(r.homeGiven);
    EXPECT_TRUE(parseReceive({"--home", "/tmp/x"}).homeGiven);

    const StagedOptions apply = parseStaged({"apply", "org.example.Tool", "--home", "/tmp/h"});
    EXPECT_EQ(apply.action, u"apply"_s);
    EXPECT_EQ(apply.key, u"org.example.Tool"_s);
    const StagedOptions watch = parseStaged({"watch", "--apps-dir", "/a", "--apps-dir", "/b", "--json"});
    EXPECT_EQ(watch.appsDirs, (QStringList{u"/a"_s, u"/b"_s}));
    EXPECT_TRUE(watch.json);
    const HelperOptions install = parseHelper({"install", "--unit-dir", "/tmp/u", "--socket", "/tmp/s", "--no-start"});
    EXPECT_EQ(install.unitDir, u"/tmp/u"_s);
    EXPECT_EQ(install.socket, u"/tmp/s"_s);
    EXPECT_FALSE(install.start);

    const QList<std::function<void()>> refused = {
        [] { parseReceive({"--pref-restore", "later"}); },
        [] { parseReceive({"--source-home", "relative/home"}); },
        [] { parseReceive({"--source-home", "/Users/../etc"}); },
        [] { parseReceive({"--restore-window-days", "0"}); },
        [] { parseStaged({"apply"}); },
        [] { parseStaged({"apply", "key", "--apps-dir", "/a"}); },
        [] { parseStaged({"peek"}); },
        [] { parseHelper({"status", "--no-start"}); },
        [] { parseHelper({}); },
    };
    for (qsizetype i = 0; i < refused.size(); ++i)
        EXPECT_THROW(refused[i](), UsageError) << "case " << i;
}
