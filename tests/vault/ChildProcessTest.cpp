// SPDX-License-Identifier: Apache-2.0
// The child-process runner the vault drives its engine with.
#include "platform/ChildProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::Literals::StringLiterals;

namespace {

ChildResult shell(const QString& script, QByteArrayList* lines, ChildOptions options = {})
{
    return runChild(u"sh"_s, {u"-c"_s, script}, options, [lines](const QByteArray& line) {
        if (lines)
            lines->append(line);
    });
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
}

// Waits for a file a child writes; false when it never came.
bool waitForFile(const QString& path, const QByteArray& expected)
{
    for (int i = 0; i < 200; ++i) {
        if (contents(path) == expected)
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

TEST(ChildProcess, LinesStreamWholeAndStandardErrorKeepsItsEnd)
{
    QByteArrayList lines;
    ChildOptions options;
    options.maxErrorBytes = 8;
    const ChildResult r = shell(u"printf 'one\\n\\ntwo\\nno newline'; printf 'early stuff, then why' >&2; exit 3"_s, &lines, options);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_FALSE(r.succeeded());
    EXPECT_EQ(lines, (QByteArrayList{"one", "", "two", "no newline"}));
    EXPECT_EQ(r.standardError, "then why");

    ChildOptions tight;
    tight.maxLineBytes = 1024;
    const ChildResult flood = shell(u"head -c 100000 /dev/zero | tr '\\0' x"_s, nullptr, tight);
    EXPECT_TRUE(flood.lineTooLong);

    ChildOptions env;
    env.environment = {{u"KIVO_TEST_SET"_s, u"given"_s}, {u"HOME"_s, QString()}};
    lines.clear();
    EXPECT_TRUE(shell(u"echo \"$KIVO_TEST_SET/${HOME:-unset}\""_s, &lines, env).succeeded());
    EXPECT_EQ(lines, QByteArrayList{"given/unset"});

    EXPECT_FALSE(runChild(u"/nonexistent/tool"_s, {}, {}, {}).started);
}

TEST(ChildProcess, PastItsDeadlineTheChildIsAskedToStopAndCleansUp)
{
    QTemporaryDir dir;
    const QString mark = dir.filePath(u"mark"_s);
    ChildOptions options;
    options.deadline = std::chrono::milliseconds(300);
    const ChildResult r = shell(u"trap 'echo cleaned > \"%1\"; exit 0' INT; while :; do sleep 0.05; done"_s.arg(mark), nullptr, options);
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(contents(mark), "cleaned");
}

// Started by the test below: runs a child that notes SIGINT, until killed.
TEST(ChildProcessChild, DISABLED_RunsAChildUntilKilled)
{
    const QString mark = qEnvironmentVariable("KIVO_TEST_MARK");
    shell(u"trap 'echo interrupted > \"%1\"; exit 0' INT; echo started > \"%1\"; while :; do sleep 0.05; done"_s.arg(mark),
          nullptr);
}

TEST(ChildProcess, WhenItsParentDiesTheChildGetsSigintToReleaseWhatItHolds)
{
    QTemporaryDir dir;
    const QString mark = dir.filePath(u"mark"_s);
    QProcess parent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"KIVO_TEST_MARK"_s, mark);
    parent.setProcessEnvironment(env);
    parent.start(QCoreApplication::applicationFilePath(),
                 {u"--gtest_also_run_disabled_tests"_s, u"--gtest_filter=ChildProcessChild.DISABLED_RunsAChildUntilKilled"_s});
    ASSERT_TRUE(parent.waitForStarted());
    ASSERT_TRUE(waitForFile(mark, "started"));
    parent.kill();
    parent.waitForFinished();
    EXPECT_TRUE(waitForFile(mark, "interrupted")) << contents(mark).toStdString();
}
