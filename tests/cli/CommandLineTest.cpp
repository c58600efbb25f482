// SPDX-License-Identifier: Apache-2.0
#include "cli/AppsCommand.h"
#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/DevtoolsCommand.h"
#include "cli/HelpText.h"
#include "cli/InspectCommand.h"
#include "cli/Invocation.h"
#include "cli/LogCommand.h"
#include "cli/Suggestion.h"
#include "cli/VaultCommand.h"

#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

#include <functional>

using namespace kivo::cli;
using namespace Qt::Literals::StringLiterals;

namespace {

// Parses a command line the way kivo-cli does up to running it; the usage
// error it would print, or "" when it would run.
QString refusal(const QStringList& args)
{
    const QHash<QString, std::function<void(const QStringList&)>> parsers = {
        {u"send"_s, [](const QStringList& a) { parseSend(a); }},
        {u"receive"_s, [](const QStringList& a) { parseReceive(a); }},
        {u"preflight"_s, [](const QStringList& a) { parsePreflight(a); }},
        {u"inspect"_s, [](const QStringList& a) { parseInspect(a); }},
        {u"demo"_s, [](const QStringList& a) { parseDemo(a); }},
        {u"devtools"_s, [](const QStringList& a) { parseDevtools(a); }},
        {u"log"_s, [](const QStringList& a) { parseLog(a); }},
        {u"profile"_s, [](const QStringList& a) { parseProfileCheck(a); }},
        {u"managed"_s, [](const QStringList& a) { parseManaged(a); }},
        {u"helper"_s, [](const QStringList& a) { parseHelper(a); }},
        {u"staged"_s, [](const QStringList& a) { parseStaged(a); }},
        {u"apps"_s, [](const QStringList& a) { parseApps(a); }},
        {u"vault"_s, [](const QStringList& a) { parseVault(a); }},
    };
    Invocation invocation;
    try {
        invocation = resolveInvocation(args);
        if (invocation.kind == Invocation::Kind::run)
            parsers.value(args.first())(invocation.args);
        return {};
    } catch (const UsageError& e) {
        return usageErrorText(e.context.isEmpty() ? invocation.command : e.context, QString::fromUtf8(e.what()));
    }
}

// The option names the "Options:" part of a help text lists.
QSet<QString> listedOptions(const QString& help)
{
    const QString options = help.section(u"\nOptions:\n"_s, 1).section(u"\nExamples:\n"_s, 0, 0);
    QSet<QString> names;
    static const QRegularExpression optionAtLineStart(u"^  (?:-h, )?(--[a-z-]+)"_s, QRegularExpression::MultilineOption);
    for (const auto& m : optionAtLineStart.globalMatch(options))
        names << m.captured(1);
    return names;
}

} // namespace

TEST(Suggestion, EditDistanceCountsSlipsAndSwaps)
{
    const std::tuple<const char*, const char*, int> cases[] = {
        {"", "", 0},           {"send", "send", 0}, {"sedn", "send", 1},       {"sen", "send", 1},
        {"sends", "send", 1},  {"sand", "send", 1}, {"receive", "recieve", 1}, {"", "log", 3},
        {"abc", "xyz", 3},     {"ca", "abc", 3},    {"Send", "send", 1},
    };
    for (const auto& [a, b, d] : cases) {
        EXPECT_EQ(editDistance(QString::fromUtf8(a), QString::fromUtf8(b)), d) << a << " / " << b;
        EXPECT_EQ(editDistance(QString::fromUtf8(b), QString::fromUtf8(a)), d) << b << " / " << a;
    }
}

TEST(Suggestion, GuessesOnlyWhenOneCandidateIsClearlyMeant)
{
    const QStringList commands = topLevelCommands();
    const QStringList sendOptions = {u"--folders"_s, u"--home"_s, u"--hostname"_s, u"--json"_s, u"--port"_s};
    const std::tuple<QString, QStringList, QString> cases[] = {
        {u"sedn"_s, commands, u"send"_s},
        {u"recieve"_s, commands, u"receive"_s},
        {u"prefligth"_s, commands, u"preflight"_s},
        {u"SEND"_s, commands, u"send"_s},
        {u"--folder"_s, sendOptions, u"--folders"_s},
        {u"--jsno"_s, sendOptions, u"--json"_s},
        {u"--prot"_s, sendOptions, u"--port"_s},
        {u"fly"_s, commands, {}},         // nothing near
        {u"xyzzy"_s, commands, {}},
        {u"--ho"_s, sendOptions, {}},     // --home and --hostname alike: no guess
        {u"keepnewer"_s, {u"skip"_s, u"overwrite"_s, u"keepNewer"_s, u"ask"_s}, u"keepNewer"_s},
    };
    for (const auto& [word, candidates, expected] : cases)
        EXPECT_EQ(closestMatch(word, candidates).value_or(QString()), expected) << word.toStdString();
}

TEST(CommandLine, EveryCommandsHelpListsExactlyItsOptionsAnExampleAndExitCodes)
{
    for (const CommandSpec& c : commandTable()) {
        const QStringList words = c.name.split(u' ');
        EXPECT_EQ(resolveInvocation(QStringList{u"help"_s} + words).text, resolveInvocation(words + QStringList{u"-h"_s}).text);
        for (const QStringList& asked : {QStringList{u"help"_s} + words, words + QStringList{u"--help"_s}}) {
            const Invocation i = resolveInvocation(asked);
            ASSERT_EQ(i.kind, Invocation::Kind::help) << asked.join(u' ').toStdString();
            const QString help = i.text;
            EXPECT_TRUE(help.startsWith(u"Usage: kivo-cli "_s + c.name)) << help.toStdString();
            QSet<QString> expected{u"--help"_s};
            for (const OptionSpec& o : c.options)
                expected << u"--"_s + o.name;
            EXPECT_EQ(listedOptions(help), expected) << c.name.toStdString();
            const QString examples = help.section(u"\nExamples:\n"_s, 1).section(u"\nExit codes:\n"_s, 0, 0);
            EXPECT_TRUE(examples.startsWith(u"  kivo-cli "_s + c.name)) << c.name.toStdString();
            for (const int code : c.exitCodes)
                EXPECT_TRUE(help.section(u"\nExit codes:\n"_s, 1).contains(u"\n  %1 "_s.arg(code).mid(1)))
                    << c.name.toStdString() << " " << code;
        }
        EXPECT_FALSE(c.exitCodes.isEmpty() || c.examples.isEmpty() || c.examples.size() > 3) << c.name.toStdString();
        for (const int code : c.exitNotes.keys())
            EXPECT_TRUE(c.exitCodes.contains(code)) << c.name.toStdString() << " explains " << code << " but never returns it";
        // Each row says what the code means for this command: only the migrations move files, and only
        // a command that is given a snapshot can miss one.
        if (c.exitCodes.contains(1) && !QStringList{u"send"_s, u"receive"_s, u"managed"_s}.contains(c.name)) {
            EXPECT_NE(c.exitMeaning(1), exitCodeMeaning(1)) << c.name.toStdString();
        }
        const bool givenSnapshot =
            std::any_of(c.arguments.cbegin(), c.arguments.cend(), [](const ArgumentSpec& a) { return a.name.startsWith(u"SNAP"_s); })
            || std::any_of(c.options.cbegin(), c.options.cend(), [](const OptionSpec& o) { return o.valueName.startsWith(u"SNAP"_s); });
        EXPECT_EQ(c.exitMeaning(6).contains(u"no such snapshot"_s), givenSnapshot) << c.name.toStdString();
    }
    const QString helpArgument = helpFor({u"help"_s}).section(u"\n  COMMAND"_s, 1).section(u"\nOptions:"_s, 0, 0).simplified();
    for (const QString& group : topLevelCommands()) {
        if (!subcommandsOf(group).isEmpty()) {
            EXPECT_TRUE(helpArgument.contains(u' ' + group)) << group.toStdString() << " is missing from " << helpArgument.toStdString();
        }
    }
}

TEST(CommandLine, ValuesDefaultsAndGroupsShowInTheHelp)
{
    const QString send = helpFor({u"send"_s}).simplified();
    EXPECT_TRUE(send.contains(u"--conflict-policy POLICY"_s));
    EXPECT_TRUE(send.contains(u"One of: skip, overwrite, keepNewer, ask. Default: skip."_s));
    EXPECT_TRUE(send.contains(u"ask decides as skip does"_s)) << "nobody is asked at the command line";
    EXPECT_TRUE(send.contains(u"One of: auto, linux, macos. Default: auto."_s));
    const QString log = resolveInvocation({u"log"_s, u"--help"_s}).text;
    for (const char* sub : {"log list", "log show ID|latest", "log export", "log post [ID|latest] [URL]"})
        EXPECT_TRUE(log.contains(QString::fromUtf8(sub))) << log.toStdString();
    const QString overview = resolveInvocation({u"--help"_s}).text;
    for (const CommandSpec& c : commandTable()) {
        const QString line = overview.section(u"\n  "_s + c.name + u' ', 1).section(u'\n', 0, 0);
        EXPECT_TRUE(line.trimmed() == c.summary) << c.name.toStdString() << ": one line each";
    }
    EXPECT_FALSE(overview.contains(QString::fromUtf8(kManPageCommand)));
    EXPECT_EQ(resolveInvocation({u"help"_s}).text, overview);
}

// Every example in the help is a command line kivo-cli accepts.
TEST(CommandLine, EveryExampleParses)
{
    for (const CommandSpec& c : commandTable())
        for (const QString& example : c.examples)
            EXPECT_EQ(refusal(example.split(u' ').mid(1)), QString()) << example.toStdString();
}

// Every refusal is two lines: the problem, then the help to read (named in full where it is not the command's own).
TEST(CommandLine, UsageErrorsNameTheProblemAndTheHelpToReadInTwoLines)
{
    const std::pair<QStringList, const char*> cases[] = {
        {{u"send"_s, u"--folder"_s, u"Documents"_s},
         "kivo-cli send: unknown option \"--folder\" (did you mean \"--folders\"?)\nTry \"kivo-cli send --help\".\n"},
        {{u"sedn"_s}, "kivo-cli: unknown command \"sedn\" (did you mean \"send\"?)\nTry \"kivo-cli --help\".\n"},
        {{u"send"_s, u"--conflict-policy"_s, u"newest"_s}, "--conflict-policy must be one of skip, overwrite, keepNewer, ask\n"},
        {{}, "kivo-cli: missing command\nTry \"kivo-cli --help\".\n"},
        {{u"log"_s}, "kivo-cli log: missing subcommand (one of list, show, export, post)\nTry \"kivo-cli log --help\".\n"},
        {{u"log"_s, u"pots"_s}, "kivo-cli log: unknown subcommand \"pots\" (did you mean \"post\"?)\n"},
        {{u"log"_s, u"show"_s}, "kivo-cli log show: missing ID|latest\nTry \"kivo-cli log show --help\".\n"},
        {{u"help"_s, u"sned"_s}, "kivo-cli help: unknown command \"sned\" (did you mean \"send\"?)\nTry \"kivo-cli --help\".\n"},
        {{u"--verison"_s}, "kivo-cli: unknown option \"--verison\" (did you mean \"--version\"?)\n"},
        {{u"send"_s, u"--port"_s}, "--port needs a value"},
        {{u"send"_s, u"--port"_s, u"--json"_s}, "--port needs a value"},
        {{u"send"_s, u"--port"_s, u"0"_s}, "--port takes a whole number from 1 to 65535, not \"0\""},
        {{u"send"_s, u"--json=yes"_s}, "--json takes no value"},
        {{u"send"_s, u"--categories"_s, u" , "_s}, "--categories needs at least one name"},
        {{u"send"_s, u"--categories"_s, u"userFiles,keychan"_s}, "\"keychan\" is not one (did you mean \"keychain\"?)"},
        {{u"send"_s, u"--layout"_s, u"windows"_s}, "--layout must be one of auto, linux, macos"},
        {{u"preflight"_s, u"--layout"_s, u"windows"_s}, "--layout must be one of auto, linux, macos"},
        {{u"send"_s, u"--hostname"_s, u"a|b"_s}, "cannot contain \"|\""},
        {{u"send"_s, u"stray"_s}, "kivo-cli send: unexpected argument \"stray\""},
        {{u"preflight"_s, u"--offline"_s, u"--store-url"_s, u"http://x"_s}, "--store-url and --offline exclude each other"},
        {{u"preflight"_s, u"--connection"_s, u"modem"_s}, "--connection must be one of wifi, ethernet, thunderbolt"},
        {{u"inspect"_s, u"--categories"_s, u"engineeringTools"_s}, "kivo-cli inspect: --categories takes names from"},
        {{u"inspect"_s, u"--layout"_s, u"mac"_s}, "(did you mean \"macos\"?)"},
        {{u"receive"_s, u"--code"_s, u"12345a"_s}, "--code takes the six digits shown on the source"},
        {{u"receive"_s, u"--connect"_s, u"host"_s}, "--connect takes HOST:PORT, not \"host\""},
        {{u"receive"_s, u"--connect"_s, u"host:99999"_s}, "--connect takes a whole number from 1 to 65535"},
        {{u"receive"_s, u"--pref-restore"_s, u"later"_s}, "--pref-restore must be one of immediate, staged, manual"},
        {{u"receive"_s, u"--source-home"_s, u"/Users/../etc"_s}, "--source-home takes an absolute folder"},
        {{u"receive"_s, u"--source-home"_s, u"relative/home"_s}, "--source-home takes an absolute folder"},
        {{u"receive"_s, u"--restore-window-days"_s, u"0"_s}, "--restore-window-days takes a whole number"},
        {{u"devtools"_s, u"--dest-arch"_s, u"ppc"_s}, "--dest-arch must be one of arm64, x86_64"},
        {{u"demo"_s, u"--files"_s, u"many"_s}, "--files takes a whole number"},
        {{u"staged"_s, u"apply"_s}, "kivo-cli staged apply: missing KEY"},
        {{u"staged"_s, u"apply"_s, u"key"_s, u"--apps-dir"_s, u"/a"_s}, "unknown option \"--apps-dir\""},
        {{u"staged"_s, u"peek"_s}, "kivo-cli staged: unknown subcommand \"peek\""},
        {{u"apps"_s, u"install"_s}, "kivo-cli apps install: name the applications, or give --all"},
        {{u"apps"_s, u"install"_s, u"vim"_s, u"--all"_s}, "--all or IDs, not both"},
        {{u"apps"_s, u"list"_s, u"vim"_s}, "unexpected argument \"vim\""},
        {{u"helper"_s, u"status"_s, u"--no-start"_s}, "kivo-cli helper status: unknown option \"--no-start\""},
        {{u"helper"_s}, "kivo-cli helper: missing subcommand (one of status, install)"},
        {{u"profile"_s, u"check"_s, u"a"_s, u"b"_s}, "unexpected argument \"b\""},
        {{u"log"_s, u"post"_s}, "missing ID|latest (or --pending)"},
        {{u"log"_s, u"list"_s, u"--out"_s, u"x"_s}, "kivo-cli log list: unknown option \"--out\""},
        {{u"managed"_s, u"--pairing-timeout"_s, u"-1"_s}, "--pairing-timeout takes a whole number from 1 to 86400"},
        {{u"help"_s, u"log"_s, u"peek"_s}, "unknown subcommand \"peek\""},
        {{u"--version"_s, u"now"_s}, "unexpected argument \"now\""},
    };
    for (const auto& [args, reason] : cases) {
        const QString text = refusal(args);
        EXPECT_TRUE(text.contains(QString::fromUtf8(reason))) << args.join(u' ').toStdString() << " -> " << text.toStdString();
        EXPECT_EQ(text.count(u'\n'), 2) << text.toStdString();
        EXPECT_TRUE(text.contains(u"\nTry \"kivo-cli "_s)) << text.toStdString();
    }
}

TEST(CommandLine, OptionsParseIntoTheCommandsChoices)
{
    const SendOptions send = parseSend({u"--home"_s, u"/tmp/h/../home"_s, u"--categories"_s, u"userFiles, browserData"_s,
                                        u"--folders"_s, u"Documents,Pictures"_s, u"--hostname"_s, u"old-box"_s,
                                        u"--username"_s, u"ann"_s, u"--port=4711"_s, u"--conflict-policy"_s, u"keepNewer"_s,
                                        u"--max-mbps"_s, u"50"_s, u"--allow-unverified-pairing"_s, u"--json"_s,
                                        u"--dev-include"_s, u".ssh"_s, u"--dev-include"_s, u"Projects,.aws"_s,
                                        u"--layout"_s, u"linux"_s, u"--offline"_s, u"--connection"_s, u"ethernet"_s});
    EXPECT_EQ(std::tuple(send.home, send.categories, send.folders, send.hostname, send.username, send.port,
                         send.conflictPolicy, send.maxMbps, send.devInclude, send.layout),
              std::tuple(u"/tmp/home"_s, QStringList{u"userFiles"_s, u"browserData"_s},
                         QStringList{u"Documents"_s, u"Pictures"_s}, u"old-box"_s, u"ann"_s, 4711, u"keepNewer"_s, 50,
                         QStringList{u".ssh"_s, u"Projects"_s, u".aws"_s}, u"linux"_s));
    EXPECT_TRUE(send.allowUnverifiedPairing && send.json && send.preflight.offline);
    EXPECT_EQ(send.preflight.connection, u"ethernet"_s);
    const SendOptions plain = parseSend({});
    EXPECT_FALSE(plain.allowUnverifiedPairing || plain.json || plain.categories || plain.conflictPolicy);

    const ReceiveOptions receive = parseReceive({u"--connect"_s, u"[::1]:9000"_s, u"--code"_s, u"012345"_s, u"--timeout"_s,
                                                 u"5"_s, u"--pref-restore"_s, u"manual"_s, u"--user"_s, u"bob"_s,
                                                 u"--source-home"_s, u"/Users/ann"_s, u"--restore-window-days"_s, u"7"_s});
    EXPECT_EQ(std::tuple(receive.connectHost, receive.connectPort, receive.code, receive.timeoutSeconds, receive.prefRestore,
                         receive.user, receive.sourceHome, receive.restoreWindowDays, receive.homeGiven),
              std::tuple(u"::1"_s, 9000, u"012345"_s, 5, u"manual"_s, u"bob"_s, u"/Users/ann"_s, 7, false));
    EXPECT_TRUE(parseReceive({u"--home"_s, u"/tmp/x"_s}).homeGiven);
    const StagedOptions apply = parseStaged({u"apply"_s, u"org.example.Tool"_s, u"--home"_s, u"/tmp/h"_s});
    EXPECT_EQ(std::pair(apply.action, apply.key), std::pair(u"apply"_s, u"org.example.Tool"_s));
    const StagedOptions watch = parseStaged({u"watch"_s, u"--apps-dir"_s, u"/a"_s, u"--apps-dir"_s, u"/b"_s, u"--json"_s});
    EXPECT_EQ(std::pair(watch.appsDirs, watch.json), std::pair(QStringList{u"/a"_s, u"/b"_s}, true));
    const HelperOptions install = parseHelper({u"install"_s, u"--unit-dir"_s, u"/tmp/u"_s, u"--socket"_s, u"/tmp/s"_s, u"--no-start"_s});
    EXPECT_EQ(std::tuple(install.unitDir, install.socket, install.start), std::tuple(u"/tmp/u"_s, u"/tmp/s"_s, false));

    EXPECT_EQ(parseInspect({u"--layout"_s, u"macos"_s, u"--categories"_s, u"keychain"_s}).layout, u"macos"_s);
    EXPECT_EQ(parsePreflight({u"--layout"_s, u"linux"_s}).layout, u"linux"_s);
    const LogOptions post = parseLog({u"post"_s, u"--pending"_s, u"https://logs.example.org/m"_s});
    EXPECT_TRUE(post.pending);
    EXPECT_EQ(post.url, u"https://logs.example.org/m"_s);
    EXPECT_EQ(parseLog({u"post"_s, u"latest"_s}).id, u"latest"_s);
    const AppsOptions apps = parseApps({u"install"_s, u"org.gimp.GIMP, snap:vlc"_s, u"--home"_s, u"/tmp/h/../home"_s});
    EXPECT_EQ(std::tuple(apps.action, apps.ids, apps.home, apps.json),
              std::tuple(AppsOptions::Action::install, QStringList{u"org.gimp.GIMP"_s, u"snap:vlc"_s}, u"/tmp/home"_s, false));
    EXPECT_TRUE(parseApps({u"install"_s, u"--all"_s}).ids.isEmpty());
    EXPECT_EQ(parseProfileCheck({u"check"_s, u"/etc/p.plist"_s, u"--json"_s}).file, u"/etc/p.plist"_s);
    const DevtoolsOptions dev = parseDevtools({u"--include"_s, u".ssh"_s, u"--include"_s, u"Projects"_s, u"--dest-arch"_s, u"arm64"_s});
    EXPECT_EQ(dev.include, (QStringList{u".ssh"_s, u"Projects"_s}));
}
