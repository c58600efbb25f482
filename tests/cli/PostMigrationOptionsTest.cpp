// SPDX-License-Identifier: Apache-2.0
#include "cli/CliOptions.h"

#include <gtest/gtest.h>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

TEST(PostMigrationOptions, AdaptationHelperAndStagedFlagsParseAndBadOnesAreUsageErrors)
{
    const ReceiveOptions r = parseReceive({"--user", "bob", "--source-home", "/Users/ann", "--pref-restore", "manual",
                                           "--restore-window-days", "7"});
    EXPECT_EQ(std::tuple(r.user, r.sourceHome, r.prefRestore, r.restoreWindowDays),
              std::tuple(u"bob"_s, u"/Users/ann"_s, u"manual"_s, 7));
    EXPECT_FALSE(r.homeGiven);
    EXPECT_TRUE(parseReceive({"--home", "/tmp/x"}).homeGiven);

    const StagedOptions apply = parseStaged({"apply", "org.example.Tool", "--home", "/tmp/h"});
    EXPECT_EQ(std::pair(apply.action, apply.key), std::pair(u"apply"_s, u"org.example.Tool"_s));
    const StagedOptions watch = parseStaged({"watch", "--apps-dir", "/a", "--apps-dir", "/b", "--json"});
    EXPECT_EQ(watch.appsDirs, (QStringList{u"/a"_s, u"/b"_s}));
    EXPECT_TRUE(watch.json);
    const HelperOptions install = parseHelper({"install", "--unit-dir", "/tmp/u", "--socket", "/tmp/s", "--no-start"});
    EXPECT_EQ(std::tuple(install.unitDir, install.socket, install.start), std::tuple(u"/tmp/u"_s, u"/tmp/s"_s, false));

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
