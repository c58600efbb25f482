#include "support/CliRun.h"
#include "support/CoroTest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

// Eight SIGKILLs of either peer process, at random instants, during verification
// and, where timing allows, at the first chunk of an empty or small file, over a tree of empty, tiny,
// 1 MiB +/- 1 and few-MiB files with mixed modes; every run resumes the last.
// The soak script of the benchmarks does the killing; this is its short form.
TEST(ResumeSoak, EightKillsOfEitherSideEndInAnIdenticalCopyWithoutConflicts)
{
    const QString build = qEnvironmentVariable("KIVO_BUILD_DIR");
    const QString sources = QStringLiteral(KIVO_SOURCE_DIR);
    if (build.isEmpty())
        KIVO_SKIP_OR_FAIL("KIVO_BUILD_DIR unset");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SOAK_TREE"), QStringLiteral("small"));
    const kivo::test::CliRun soak = kivo::test::runProcess(
        QStringLiteral("/bin/bash"), {sources + QStringLiteral("/bench/resume-soak.sh"), build, QStringLiteral("8"), QStringLiteral("12")},
        env, std::chrono::minutes(5));
    const QByteArray out = soak.out.trimmed();
    const QJsonObject result = QJsonDocument::fromJson(out.split('\n').last()).object();
    ASSERT_FALSE(result.isEmpty()) << out.constData() << soak.err.constData();
    SCOPED_TRACE(out.toStdString());
    EXPECT_GE(result.value(QStringLiteral("kills")).toInt(), 8);
    EXPECT_GE(result.value(QStringLiteral("killsInVerification")).toInt(), 1);
    // Whether a kill lands on a small file's first chunk depends on timing in a
    // tree this small; the full soak in bench/ shows those kills.
    EXPECT_EQ(result.value(QStringLiteral("crashes")).toInt(), 0);
    EXPECT_EQ(result.value(QStringLiteral("hangs")).toInt(), 0);
    EXPECT_EQ(result.value(QStringLiteral("conflicts")).toInt(), 0);
    EXPECT_TRUE(result.value(QStringLiteral("failures")).toArray().isEmpty());
    EXPECT_TRUE(result.value(QStringLiteral("identical")).toBool());
    EXPECT_EQ(soak.exitCode, 0);
}
