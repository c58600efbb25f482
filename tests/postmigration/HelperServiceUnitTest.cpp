// SPDX-License-Identifier: Apache-2.0
// The helper's service unit, where the programs find each other once
// installed, and the folder its socket lives in.
#include "postmigration/HelperDaemon.h"
#include "postmigration/HelperServiceUnit.h"
#include "support/CliRun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

using Step = HelperServiceUnit::Step;

// The steps of a plan in one line each, to compare against a table.
QStringList describe(const HelperServiceUnit::Plan& plan)
{
    QStringList out;
    for (const Step& s : plan.steps)
        out << (s.kind == Step::Kind::writeUnit ? u"write "_s + s.path : u"systemctl "_s + s.arguments.join(u' '));
    if (!plan.problem.isEmpty())
        out << u"problem"_s;
    return out;
}

TEST(HelperServiceUnit, ExecWordsReadBackAsSystemdSplitsThem)
{
    const struct {
        QString word, expected;
    } cases[] = {
        {u"/usr/sbin/kivo-helper"_s, u"/usr/sbin/kivo-helper"_s},
        {u"/opt/my tools/kivo-helper"_s, u"\"/opt/my tools/kivo-helper\""_s},
        {u"/srv/100%/h"_s, u"/srv/100%%/h"_s},       // not a specifier
        {u"/srv/$HOME/h"_s, u"/srv/$$HOME/h"_s},     // not a variable
        {u"/srv/a\"b\\c"_s, u"/srv/a\\\"b\\\\c"_s},
        {u"/srv/x;y"_s, u"\"/srv/x;y\""_s},          // not a command separator
        {QString(), u"\"\""_s},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HelperServiceUnit::execWord(c.word), c.expected) << qPrintable(c.word);
}

TEST(HelperServiceUnit, TextRunsTheHelperOnItsSocketInsideTheHardening)
{
    const QString packaged = HelperServiceUnit::text(u"/usr/sbin/kivo-helper"_s);
    EXPECT_TRUE(packaged.contains(u"\nExecStart=/usr/sbin/kivo-helper\n"_s)) << qPrintable(packaged);
    EXPECT_EQ(HelperServiceUnit::text(u"/usr/sbin/kivo-helper"_s, u"/run/kivo/helper.sock"_s), packaged);
    for (const char* line : {"RuntimeDirectory=kivo", "RuntimeDirectoryMode=0755", "NoNewPrivileges=yes", "ProtectSystem=full",
                             "RestrictAddressFamilies=AF_UNIX", "SystemCallFilter=@system-service",
                             "CapabilityBoundingSet=CAP_CHOWN CAP_FOWNER CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_SYS_PTRACE"})
        EXPECT_TRUE(packaged.contains(u'\n' + QLatin1String(line) + u'\n')) << line;
    EXPECT_FALSE(packaged.contains(u"@KIVO"_s)) << "a placeholder was left";

    const QString elsewhere = HelperServiceUnit::text(u"/home/dev/kivo build/helper/kivo-helper"_s, u"/run/kivo-test/h.sock"_s);
    EXPECT_TRUE(elsewhere.contains(u"\nExecStart=\"/home/dev/kivo build/helper/kivo-helper\" --socket /run/kivo-test/h.sock\n"_s));
}

TEST(HelperServiceUnit, PackagedUnitIsTheSameTemplateRenderedForTheInstalledHelper)
{
    // What the build installs for the package and what `helper install` writes must not drift apart.
    QFile built(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/data/kivo-helper.service"_s);
    ASSERT_TRUE(built.open(QIODevice::ReadOnly)) << qPrintable(built.fileName());
    const QString text = QString::fromUtf8(built.readAll());
    const qsizetype start = text.indexOf(u"\nExecStart="_s) + 11;
    const QString helper = text.mid(start, text.indexOf(u'\n', start) - start);
    EXPECT_TRUE(helper.startsWith(u'/') && helper.endsWith(u"/sbin/kivo-helper"_s)) << qPrintable(helper);
    EXPECT_EQ(text, HelperServiceUnit::text(helper));
}

TEST(HelperServiceUnit, SystemdFindsTheUnitSoundAndConfined)
{
    const QString analyze = QStandardPaths::findExecutable(u"systemd-analyze"_s);
    if (analyze.isEmpty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Rendered for the helper of this build, so that verify can check the command exists.
    const QString unit = dir.filePath(u"kivo-helper.service"_s);
    QFile file(unit);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(HelperServiceUnit::text(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/helper/kivo-helper"_s).toUtf8());
    file.close();

    const test::CliRun verify = test::runProcess(analyze, {u"verify"_s, u"--man=no"_s, unit});
    EXPECT_EQ(verify.exitCode, 0) << verify.err.constData();
    EXPECT_TRUE(verify.err.trimmed().isEmpty()) << verify.err.constData();
    // 3.0 or less on systemd's exposure scale of 0 (confined) to 10 (exposed).
    const test::CliRun security = test::runProcess(analyze, {u"security"_s, u"--offline=true"_s, u"--threshold=30"_s, unit});
    EXPECT_EQ(security.exitCode, 0) << security.out.right(400).constData();
}

TEST(HelperServiceUnit, InstallPlansFollowWhatThePackageAndTheSystemProvide)
{
    const QString packaged = u"/lib/systemd/system/kivo-helper.service"_s;
    const QString written = u"/etc/systemd/system/kivo-helper.service"_s;
    const struct {
        const char* name;
        std::optional<QString> packagedUnit;
        QString helper, socket;
        bool systemd, start;
        QStringList expected;
    } cases[] = {
        {"packaged, systemd: enabled and started, nothing written", packaged, u"/usr/sbin/kivo-helper"_s, {}, true, true,
         {u"systemctl enable --now kivo-helper.service"_s}},
        {"packaged, --no-start: nothing at all", packaged, u"/usr/sbin/kivo-helper"_s, {}, true, false, {}},
        {"packaged, no systemd: nothing at all", packaged, u"/usr/sbin/kivo-helper"_s, {}, false, true, {}},
        {"packaged, the default socket named", packaged, {}, u"/run/kivo/helper.sock"_s, true, true,
         {u"systemctl enable --now kivo-helper.service"_s}},
        {"packaged, another socket: refused", packaged, u"/usr/sbin/kivo-helper"_s, u"/run/other.sock"_s, true, true, {u"problem"_s}},
        {"written, systemd: loaded and started", std::nullopt, u"/opt/k/sbin/kivo-helper"_s, {}, true, true,
         {u"write "_s + written, u"systemctl daemon-reload"_s, u"systemctl enable --now kivo-helper.service"_s}},
        {"written, --no-start: loaded only", std::nullopt, u"/opt/k/sbin/kivo-helper"_s, {}, true, false,
         {u"write "_s + written, u"systemctl daemon-reload"_s}},
        {"written, no systemd: the file only", std::nullopt, u"/opt/k/sbin/kivo-helper"_s, {}, false, true, {u"write "_s + written}},
        {"no helper to run: refused", std::nullopt, {}, {}, true, true, {u"problem"_s}},
    };
    for (const auto& c : cases) {
        HelperServiceUnit::Request request;
        request.packagedUnit = c.packagedUnit;
        request.helperExecutable = c.helper;
        request.socketPath = c.socket;
        request.unitDir = u"/etc/systemd/system"_s;
        request.systemdRunning = c.systemd;
        request.start = c.start;
        const HelperServiceUnit::Plan plan = HelperServiceUnit::plan(request);
        EXPECT_EQ(describe(plan), c.expected) << c.name;
        EXPECT_EQ(plan.writes, !c.packagedUnit && !c.helper.isEmpty()) << c.name;
    }
}

TEST(HelperServiceUnit, ProgramsFindEachOtherInstalledAndInTheBuildTree)
{
    EXPECT_EQ(HelperServiceUnit::helperCandidates(u"/usr/bin"_s).first(), u"/usr/sbin/kivo-helper"_s);
    EXPECT_TRUE(HelperServiceUnit::helperCandidates(u"/work/build/cli"_s).contains(u"/work/build/helper/kivo-helper"_s));
    EXPECT_EQ(HelperServiceUnit::findHelper(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/cli"_s),
              QFileInfo(qEnvironmentVariable("KIVO_BUILD_DIR") + u"/helper/kivo-helper"_s).canonicalFilePath());

    const struct {
        QString helperDir;
        QStringList callers;
    } cases[] = {
        {u"/usr/sbin"_s, {u"/usr/bin/kivo-cli"_s, u"/usr/bin/kivo"_s}},
        {u"/usr/local/sbin/"_s, {u"/usr/local/bin/kivo-cli"_s, u"/usr/local/bin/kivo"_s}},
        {u"/work/build/helper"_s, {u"/work/build/helper/kivo-cli"_s, u"/work/build/helper/kivo"_s}},
        {u"/opt/sbin-tools"_s, {u"/opt/sbin-tools/kivo-cli"_s, u"/opt/sbin-tools/kivo"_s}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HelperDaemon::defaultCallers(c.helperDir), c.callers) << qPrintable(c.helperDir);
}

TEST(HelperServiceUnit, PackagedUnitIsFoundInAnyUnitFolder)
{
    QTemporaryDir a, b;
    ASSERT_TRUE(a.isValid() && b.isValid());
    EXPECT_EQ(HelperServiceUnit::packagedUnit({a.path(), b.path()}), std::nullopt);
    QFile unit(b.filePath(u"kivo-helper.service"_s));
    ASSERT_TRUE(unit.open(QIODevice::WriteOnly));
    unit.close();
    EXPECT_EQ(HelperServiceUnit::packagedUnit({a.path(), b.path()}), unit.fileName());
}

unsigned modeOf(const QString& path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : ~0u;
}

TEST(HelperSocketFolder, MadeForEveryoneToReachButOnlyItsOwnerToChange)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const unsigned me = ::geteuid();
    const mode_t previous = ::umask(077); // a strict umask must not hide the socket from callers
    const QString made = dir.filePath(u"run/kivo"_s);
    EXPECT_EQ(HelperDaemon::prepareSocketFolder(made, me), std::nullopt);
    ::umask(previous);
    EXPECT_EQ(modeOf(made), 0755u);
    EXPECT_EQ(HelperDaemon::prepareSocketFolder(made, me), std::nullopt) << "an existing good folder is kept";

    const QString open = dir.filePath(u"open"_s);
    ASSERT_TRUE(QDir().mkdir(open));
    for (const mode_t mode : {0777, 0775, 01777}) {
        ::chmod(QFile::encodeName(open).constData(), mode);
        EXPECT_NE(HelperDaemon::prepareSocketFolder(open, me), std::nullopt) << std::oct << mode;
    }
    const QString link = dir.filePath(u"link"_s);
    ASSERT_TRUE(QFile::link(made, link));
    EXPECT_NE(HelperDaemon::prepareSocketFolder(link, me), std::nullopt) << "a link could be turned elsewhere";
    EXPECT_NE(HelperDaemon::prepareSocketFolder(made, me + 1), std::nullopt) << "owned by someone else";

    const QString file = dir.filePath(u"file"_s);
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_NE(HelperDaemon::prepareSocketFolder(file, me), std::nullopt);
}

} // namespace
