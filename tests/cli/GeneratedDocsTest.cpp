// SPDX-License-Identifier: Apache-2.0
#include "cli/BashCompletion.h"
#include "cli/CommandTable.h"
#include "cli/ManPage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

namespace {

QString roffOption(const QString& name) { return u"\\fB\\-\\-"_s + roffEscape(name) + u"\\fR"_s; }

// The text of one top-level section of a manual page.
QString manSection(const QString& page, const QString& name)
{
    return page.section(u".SH "_s + name + u'\n', 1).section(u"\n.SH "_s, 0, 0);
}

// The event names the commands print with --json, read from their sources.
QSet<QString> eventsInSources()
{
    QSet<QString> names;
    static const QRegularExpression emitted(u"(?:event\\(|\\{QStringLiteral\\(\"event\"\\), )QStringLiteral\\(\"([A-Za-z.]+)\"\\)"_s);
    for (QDirIterator it(QStringLiteral(KIVO_SOURCE_DIR "/cli"), {u"*.cpp"_s}); it.hasNext();) {
        QFile f(it.next());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(f.readAll());
        for (const auto& m : emitted.globalMatch(text))
            names << m.captured(1);
    }
    return names;
}

// What bash offers for the words typed so far (the last one being completed).
QStringList complete(const QString& script, const QStringList& words)
{
    QProcess bash;
    QStringList quoted;
    for (const QString& w : words)
        quoted << u"'"_s + w + u"'"_s;
    const QString program = script + u"\nCOMP_WORDS=(kivo-cli %1)\nCOMP_CWORD=%2\n_kivo_cli\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n"_s
                                         .arg(quoted.join(u' '))
                                         .arg(words.size());
    bash.start(u"bash"_s, {u"--norc"_s, u"-c"_s, program});
    bash.waitForFinished();
    QStringList offered = QString::fromUtf8(bash.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
    offered.sort();
    return offered;
}

} // namespace

TEST(ManPage, HasTheHeaderAndEverySection)
{
    const QString page = manPage(u"1.2.3"_s, u"2026-12-01"_s);
    EXPECT_TRUE(page.startsWith(u".TH KIVO-CLI 1 \"2026-12-01\" \"kivo 1.2.3\""_s)) << page.left(80).toStdString();
    for (const char* name : {"NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "JSON EVENTS", "EXIT STATUS", "ENVIRONMENT",
                             "FILES", "EXAMPLES"})
        EXPECT_FALSE(manSection(page, QString::fromUtf8(name)).trimmed().isEmpty()) << name;
    for (int code = 0; code <= 7; ++code)
        EXPECT_TRUE(manSection(page, u"EXIT STATUS"_s).contains(u"\\fB%1\\fR"_s.arg(code))) << code;
    // No line may start with a control character it did not mean.
    for (const QString& line : page.split(u'\n'))
        EXPECT_FALSE(line.startsWith(u'\'') || (line.startsWith(u'.') && !QRegularExpression(u"^\\.[A-Za-z]"_s).match(line).hasMatch()))
            << line.toStdString();
}

TEST(ManPage, DocumentsEveryJsonEventTheCommandsPrint)
{
    const QString events = manSection(manPage(u"1"_s, u"2026-12-01"_s), u"JSON EVENTS"_s);
    const QSet<QString> printed = eventsInSources();
    ASSERT_GT(printed.size(), 20) << "the sources were not found";
    for (const QString& name : printed)
        EXPECT_TRUE(events.contains(u"\\fB"_s + name + u"\\fR"_s)) << name.toStdString();
    // And nothing is documented that no command prints.
    for (const JsonEventSpec& e : jsonEvents())
        EXPECT_TRUE(printed.contains(e.name)) << e.name.toStdString();
}

// The manual page documents every command's options and their values; the
// completion offers exactly the options of each command.
TEST(GeneratedDocs, ManPageAndCompletionCoverEveryOptionOfEveryCommand)
{
    const QString commands = manSection(manPage(u"1"_s, u"2026-12-01"_s), u"COMMANDS"_s);
    const QString script = bashCompletion();
    for (const CommandSpec& c : commandTable()) {
        SCOPED_TRACE(c.name.toStdString());
        const QString heading = u".SS \""_s + roffEscape(c.synopsis()) + u"\"\n"_s;
        ASSERT_TRUE(commands.contains(heading));
        const QString part = commands.section(heading, 1).section(u"\n.SS "_s, 0, 0);
        QStringList expected{u"--help"_s};
        for (const OptionSpec& o : c.options) {
            expected << u"--"_s + o.name;
            EXPECT_TRUE(part.contains(roffOption(o.name))) << " --" << o.name.toStdString();
            for (const QString& v : o.allowed)
                EXPECT_TRUE(part.contains(roffEscape(v))) << v.toStdString();
        }
        if (c.name == u"help"_s)
            continue;
        QStringList listed = script.section(u"        \""_s + c.name + u"\") _kivo_cli_words \""_s, 1).section(u'"', 0, 0).split(u' ');
        listed.sort();
        expected.sort();
        EXPECT_EQ(listed, expected);
    }
}

TEST(BashCompletion, BashOffersCommandsFlagsValuesAndPaths)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"reports"_s));
    QFile(dir.path() + u"/report.txt"_s).open(QIODevice::WriteOnly);
    const QString script = bashCompletion();
    const std::pair<QStringList, QStringList> cases[] = {
        {{u"se"_s}, {u"send"_s}},
        {{u"st"_s}, {u"staged"_s}},
        {{u"log"_s, u"p"_s}, {u"post"_s}},
        {{u"staged"_s, u""_s}, {u"apply"_s, u"discard"_s, u"list"_s, u"watch"_s}},
        {{u"help"_s, u"re"_s}, {u"receive"_s}},
        {{u"help"_s, u"helper"_s, u""_s}, {u"install"_s, u"status"_s}},
        {{u"help"_s, u"send"_s, u""_s}, {}},
        {{u"send"_s, u"--conf"_s}, {u"--confirm-sensitive"_s, u"--conflict-policy"_s}},
        {{u"log"_s, u"post"_s, u"--"_s}, {u"--help"_s, u"--home"_s, u"--pending"_s}},
        {{u"send"_s, u"--conflict-policy"_s, u""_s}, {u"ask"_s, u"keepNewer"_s, u"overwrite"_s, u"skip"_s}},
        {{u"receive"_s, u"--pref-restore"_s, u"s"_s}, {u"staged"_s}},
        {{u"devtools"_s, u"--dest-arch"_s, u"a"_s}, {u"arm64"_s}},
        {{u"preflight"_s, u"--connection"_s, u"t"_s}, {u"thunderbolt"_s}},
        {{u"inspect"_s, u"--layout"_s, u"m"_s}, {u"macos"_s}},
        {{u"send"_s, u"--categories"_s, u"userFiles,key"_s}, {u"userFiles,keychain"_s}},
        {{u"send"_s, u"--home"_s, dir.path() + u"/rep"_s}, {dir.path() + u"/reports"_s}},
        {{u"preflight"_s, u"--export"_s, dir.path() + u"/rep"_s}, {dir.path() + u"/report.txt"_s, dir.path() + u"/reports"_s}},
        {{u"send"_s, u"--port"_s, u""_s}, {}},
    };
    for (const auto& [words, expected] : cases)
        EXPECT_EQ(complete(script, words), expected) << words.join(u' ').toStdString();
}
