// SPDX-License-Identifier: Apache-2.0
#include "preflight/GitRefFiles.h"
#include "preflight/GitRepositoryCheck.h"
#include "../categories/TreeFixture.h"

#include <QProcess>

#include <functional>

using namespace kivo;

namespace {

class GitRefFilesTest : public kivo::test::TreeFixture {
public:
    QByteArray git(const QString& folder, const QStringList& args)
    {
        QProcess p;
        p.setWorkingDirectory(at(folder));
        p.start(QStringLiteral("git"), QStringList{"-c", "user.name=t", "-c", "user.email=t@example.com"} + args);
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << args.join(u' ').toStdString() << p.readAllStandardError().constData();
        return p.readAllStandardOutput();
    }
    void commit(const QString& folder, const char* message)
    {
        makeFile(folder + QStringLiteral("/f-") + QLatin1String(message), 3);
        git(folder, {"add", "."});
        git(folder, {"commit", "-qm", message});
    }
    void clone(const QString& name) { git({}, {"clone", "-q", at(QStringLiteral("origin")), name}); }
    // What git itself answers, the way the check asks it.
    std::optional<QString> gitsAnswer(const QString& folder)
    {
        return unsharedWorkFromRefs(QString::fromUtf8(git(folder, {"for-each-ref", "--format=%(refname)%09%(upstream)%09%(upstream:track)",
                                                                   "refs/heads", "refs/stash"})));
    }
};

} // namespace

// The files are read only when they say plainly what git would: every shortcut
// taken agrees with git, and the clean clones, the common case, take it.
TEST_F(GitRefFilesTest, TheFilesAnswerOnlyWhenTheyAgreeWithGit)
{
    makeDir(QStringLiteral("origin"));
    git(QStringLiteral("origin"), {"init", "-q", "-b", "main"});
    commit(QStringLiteral("origin"), "first");

    struct Case {
        const char* name;
        std::function<void(const QString&)> make;
        bool answeredFromFiles;
    };
    const QList<Case> cases{
        {"a fresh clone", [&](const QString& c) { clone(c); }, true},
        {"packed refs", [&](const QString& c) { clone(c); git(c, {"pack-refs", "--all"}); }, true},
        {"a commit of its own", [&](const QString& c) { clone(c); commit(c, "local"); }, false},
        {"a branch without upstream", [&](const QString& c) { clone(c); git(c, {"branch", "topic"}); }, false},
        {"a stash", [&](const QString& c) {
             clone(c);
             makeFile(c + QStringLiteral("/f-first"), 9);
             git(c, {"stash", "-q"});
         }, false},
        {"behind its upstream", [&](const QString& c) {
             clone(c);
             commit(QStringLiteral("origin"), "later");
             git(c, {"fetch", "-q"});
         }, false},
        {"the origin, with no remote", [&](const QString& c) { git({}, {"clone", "-q", "--no-local", at(QStringLiteral("origin")), c}); git(c, {"remote", "remove", "origin"}); }, false},
        {"included configuration", [&](const QString& c) {
             clone(c);
             git(c, {"config", "include.path", "/dev/null"});
         }, false},
        {"no commits yet", [&](const QString& c) { makeDir(c); git(c, {"init", "-q"}); }, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = QStringLiteral("c%1").arg(++n);
        c.make(folder);
        const bool fromFiles = refsShowNothingUnshared(at(folder + QStringLiteral("/.git")));
        EXPECT_EQ(fromFiles, c.answeredFromFiles);
        if (fromFiles)
            EXPECT_EQ(gitsAnswer(folder), std::nullopt);
        EXPECT_EQ(unsharedWorkIn(at(folder + QStringLiteral("/.git"))).has_value(), gitsAnswer(folder).has_value());
    }
}
