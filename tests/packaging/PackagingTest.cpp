// SPDX-License-Identifier: Apache-2.0
// What the build installs and how it names its release: one version from the
// changelog everywhere, every file laid out, pages that cover every flag, and
// desktop metadata the validators accept.
#include "postmigration/HelperService.h"
#include "support/CliRun.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace kivo;
using namespace Qt::StringLiterals;

namespace {

QString buildDir() { return qEnvironmentVariable("KIVO_BUILD_DIR"); }
QString sourceDir() { return QStringLiteral(KIVO_SOURCE_DIR); }

QString readText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void writeText(const QString& path, const QString& text)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << qPrintable(path);
    f.write(text.toUtf8());
}

struct Release {
    QString version, date;
};

// The newest changelog entry, read here independently of the build's reading.
Release newestRelease()
{
    const QString changelog = readText(sourceDir() + u"/debian/changelog"_s);
    const QRegularExpressionMatch version = QRegularExpression(u"^kivo \\(([^)]+)\\)"_s).match(changelog);
    const QRegularExpressionMatch trailer = QRegularExpression(u"^ -- .*>  (.+)$"_s, QRegularExpression::MultilineOption).match(changelog);
    const QDateTime when = QDateTime::fromString(trailer.captured(1), Qt::RFC2822Date);
    return {version.captured(1), when.isValid() ? when.toUTC().toString(u"yyyy-MM-dd"_s) : QString()};
}

TEST(Release, EveryProgramPageAndRecordNamesTheChangelogsNewestEntry)
{
    const Release release = newestRelease();
    ASSERT_FALSE(release.version.isEmpty());
    ASSERT_FALSE(release.date.isEmpty());

    EXPECT_EQ(test::runProcess(buildDir() + u"/cli/kivo-cli"_s, {u"--version"_s}).out.trimmed(), "kivo-cli " + release.version.toUtf8());
    EXPECT_EQ(test::runProcess(buildDir() + u"/helper/kivo-helper"_s, {u"--version"_s}).out.trimmed(),
              "kivo-helper " + release.version.toUtf8());
    EXPECT_EQ(HelperService{}.handle({{u"method"_s, u"getVersion"_s}}).value(u"version"_s).toString(), release.version);

    for (const QString& page : {u"kivo.1"_s, u"kivo-helper.8"_s}) {
        const QString text = readText(buildDir() + u"/data/man/"_s + page);
        const qsizetype at = text.indexOf(u"\n.TH "_s) + 1;
        const QString th = text.mid(at, text.indexOf(u'\n', at) - at);
        EXPECT_TRUE(th.contains(u"\"%1\" \"kivo %2\""_s.arg(release.date, release.version))) << qPrintable(th);
    }
    const QString metainfo = readText(buildDir() + u"/data/com.kivo.Kivo.metainfo.xml"_s);
    const qsizetype first = metainfo.indexOf(u"<release "_s);
    EXPECT_EQ(metainfo.mid(first, metainfo.indexOf(u'>', first) - first + 1),
              u"<release version=\"%1\" date=\"%2\"/>"_s.arg(release.version, release.date));
}

// Runs the build's changelog reader over `changelog`; its output, or the failure.
test::CliRun readChangelog(const QString& changelog)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"changelog"_s);
    writeText(file, changelog);
    const QString script = dir.filePath(u"read.cmake"_s);
    writeText(script, u"include(\"%1/cmake/KivoChangelog.cmake\")\n"
                      "kivo_read_changelog(\"%2\")\n"
                      "message(NOTICE \"${KIVO_VERSION} ${KIVO_RELEASE_DATE} ${KIVO_RELEASES}\")\n"_s.arg(sourceDir(), file));
    return test::runProcess(u"cmake"_s, {u"-P"_s, script});
}

TEST(Release, ChangelogDatesBecomeIsoDatesAndEveryEntryARelease)
{
    const auto entry = [](const QString& version, const QString& date) {
        return u"kivo (%1) unstable; urgency=medium\n\n  * Change.\n\n -- A B <a@b.c>  %2 10:00:00 +0000\n\n"_s.arg(version, date);
    };
    const struct {
        QString changelog;
        QByteArray expected; // empty: the build stops
    } cases[] = {
        {entry(u"1.2.3"_s, u"Mon, 05 Jan 2026"_s), "1.2.3 2026-01-05 1.2.3|2026-01-05"},
        {entry(u"0.9"_s, u"Thu, 1 Oct 2026"_s), "0.9 2026-10-01 0.9|2026-10-01"},
        {entry(u"2.0.0"_s, u"Sun, 31 Dec 2028"_s) + entry(u"1.0.0"_s, u"Sat, 15 Feb 2025"_s),
         "2.0.0 2028-12-31 2.0.0|2028-12-31;1.0.0|2025-02-15"},
        {entry(u"1.0~rc1"_s, u"Mon, 05 Jan 2026"_s), ""},        // not a version CMake can hold
        {entry(u"1.0.0"_s, u"Mon, 05 Foo 2026"_s), ""},
        {u"kivo (1.0.0) unstable; urgency=medium\n\n  * An entry never signed.\n"_s, ""},
    };
    for (const auto& c : cases) {
        const test::CliRun run = readChangelog(c.changelog);
        if (c.expected.isEmpty()) {
            EXPECT_NE(run.exitCode, 0) << run.err.constData();
            continue;
        }
        EXPECT_EQ(run.exitCode, 0) << run.err.constData();
        EXPECT_EQ(run.err.trimmed(), c.expected);
    }
}

// Every --flag a program's usage names, and whether its manual page names it too.
QStringList flagsMissingFromPage(const QString& program, const QString& page)
{
    const QString usage = QString::fromUtf8(test::runProcess(program, {u"--help"_s}).out);
    const QString roff = readText(page).replace(u"\\-"_s, u"-"_s);
    QStringList missing;
    QRegularExpressionMatchIterator it = QRegularExpression(u"--[a-z][a-z-]*"_s).globalMatch(usage);
    while (it.hasNext()) {
        const QString flag = it.next().captured();
        if (!QRegularExpression(QRegularExpression::escape(flag) + u"(?![a-z-])"_s).match(roff).hasMatch())
            missing << flag;
    }
    missing.removeDuplicates();
    return usage.isEmpty() ? QStringList{u"(no usage)"_s} : missing;
}

TEST(ManualPages, NameEveryFlagTheProgramsAccept)
{
    EXPECT_EQ(flagsMissingFromPage(buildDir() + u"/helper/kivo-helper"_s, buildDir() + u"/data/man/kivo-helper.8"_s), QStringList{});
    EXPECT_EQ(flagsMissingFromPage(buildDir() + u"/gui/kivo"_s, buildDir() + u"/data/man/kivo.1"_s), QStringList{});
}

// Width and height from a PNG's header.
std::pair<int, int> pngSize(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {0, 0};
    const QByteArray head = f.read(24);
    if (head.size() < 24 || !head.startsWith("\x89PNG\r\n\x1a\n"))
        return {0, 0};
    const auto be32 = [&head](int at) { return (uchar(head[at]) << 24) | (uchar(head[at + 1]) << 16) | (uchar(head[at + 2]) << 8) | uchar(head[at + 3]); };
    return {be32(16), be32(20)};
}

TEST(Install, LaysOutEveryFileWhereTheSystemLooksForIt)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DESTDIR"_s, root.path());
    const test::CliRun install = test::runProcess(u"cmake"_s, {u"--install"_s, buildDir()}, env);
    ASSERT_EQ(install.exitCode, 0) << install.err.constData();

    QStringList files;
    for (QDirIterator it(root.path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
        files << it.next().mid(root.path().size());
    const auto installed = [&files](const QString& suffix) {
        for (const QString& f : files)
            if (f.endsWith(suffix))
                return f;
        return QString();
    };
    const QString unit = installed(u"/systemd/system/kivo-helper.service"_s);
    ASSERT_FALSE(unit.isEmpty()) << qPrintable(files.join(u' '));
    // The unit starts the helper where the same install put it.
    const QRegularExpressionMatch exec = QRegularExpression(u"^ExecStart=(\\S+)$"_s, QRegularExpression::MultilineOption)
                                             .match(readText(root.path() + unit));
    ASSERT_TRUE(exec.hasMatch());
    EXPECT_TRUE(QFileInfo(root.path() + exec.captured(1)).isExecutable()) << qPrintable(exec.captured(1));
    const QString prefix = exec.captured(1).chopped(u"/sbin/kivo-helper"_s.size());

    for (const QString& f : {u"/bin/kivo-cli"_s, u"/bin/kivo"_s, u"/share/man/man1/kivo.1"_s, u"/share/man/man8/kivo-helper.8"_s,
                             u"/share/applications/com.kivo.Kivo.desktop"_s, u"/share/metainfo/com.kivo.Kivo.metainfo.xml"_s,
                             u"/share/icons/hicolor/scalable/apps/com.kivo.Kivo.svg"_s})
        EXPECT_TRUE(files.contains(prefix + f)) << qPrintable(prefix + f);
    for (const int size : {48, 128, 256}) {
        const QString png = u"%1/share/icons/hicolor/%2x%2/apps/com.kivo.Kivo.png"_s.arg(prefix).arg(size);
        EXPECT_EQ(pngSize(root.path() + png), std::pair(size, size)) << qPrintable(png);
    }
    // The build leaves no path of its own in what it ships.
    for (const QString& f : files) {
        if (f.contains(u"/bin/"_s) || f.contains(u"/sbin/"_s) || f.endsWith(u".png"_s))
            continue;
        EXPECT_FALSE(readText(root.path() + f).contains(buildDir())) << qPrintable(f);
    }
}

// What a validator said, when it says more than that all is well.
QString validatorComplaints(const QString& tool, const QStringList& args)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return u"skip"_s;
    const test::CliRun run = test::runProcess(program, args);
    QString said = QString::fromUtf8(run.out + run.err);
    // The reverse-domain identifier keeps its capital on purpose; only pedantic mode minds.
    said.remove(QRegularExpression(u"^P: .*cid-contains-uppercase-letter.*$\\n?"_s, QRegularExpression::MultilineOption));
    said.remove(QRegularExpression(u"^\\s*✔ Validation was successful.*$\\n?"_s, QRegularExpression::MultilineOption));
    return run.exitCode == 0 ? said.trimmed() : u"exit %1: %2"_s.arg(run.exitCode).arg(said);
}

TEST(DesktopMetadata, ValidatorsFindNothingToSay)
{
    const QString desktop = validatorComplaints(u"desktop-file-validate"_s, {sourceDir() + u"/data/com.kivo.Kivo.desktop"_s});
    const QString metainfo = validatorComplaints(u"appstreamcli"_s, {u"validate"_s, u"--no-net"_s, u"--pedantic"_s,
                                                                     buildDir() + u"/data/com.kivo.Kivo.metainfo.xml"_s});
    if (desktop == u"skip"_s || metainfo == u"skip"_s)
        GTEST_SKIP() << "desktop-file-validate or appstreamcli is not installed";
    EXPECT_EQ(desktop, QString());
    EXPECT_EQ(metainfo, QString());

    // The entry starts the program this build installs, under the icon it installs.
    const QString entry = readText(sourceDir() + u"/data/com.kivo.Kivo.desktop"_s);
    EXPECT_TRUE(entry.contains(u"\nExec=kivo\n"_s));
    EXPECT_TRUE(entry.contains(u"\nIcon=com.kivo.Kivo\n"_s));
    EXPECT_TRUE(QFileInfo::exists(sourceDir() + u"/data/icons/com.kivo.Kivo.svg"_s));
}

} // namespace
