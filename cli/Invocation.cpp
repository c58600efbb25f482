// SPDX-License-Identifier: Apache-2.0
#include "cli/Invocation.h"

#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/CommandTable.h"
#include "cli/HelpText.h"
#include "cli/Suggestion.h"

namespace kivo::cli {

namespace {

bool isHelpOption(const QString& word) { return word == QLatin1String("--help") || word == QLatin1String("-h"); }

Invocation help(const QString& command, const QString& text) { return {Invocation::Kind::help, command, {}, text}; }

// `words` follow "help" or "--help"; "help --help" is about help itself.
Invocation resolveHelp(const QString& asked, const QStringList& words)
{
    QStringList named;
    for (const QString& w : words)
        if (!isHelpOption(w))
            named << w;
    if (named.isEmpty() && !words.isEmpty() && asked == QLatin1String("help"))
        named << asked;
    for (const QString& w : std::as_const(named))
        if (w.startsWith(u'-'))
            throw UsageError(QStringLiteral("unknown option \"%1\"").arg(w), QStringLiteral("help"));
    return help(named.join(u' '), helpFor(named));
}

} // namespace

Invocation resolveInvocation(const QStringList& args)
{
    if (args.isEmpty())
        throw UsageError(QStringLiteral("missing command"));
    const QString first = args.first();
    const QStringList rest = args.mid(1);
    if (isHelpOption(first) || first == QLatin1String("help"))
        return resolveHelp(first, rest);
    if (first == QLatin1String("--version")) {
        if (!rest.isEmpty())
            throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(rest.first()));
        return {Invocation::Kind::version, {}, {}, {}};
    }
    if (first == QLatin1String(kManPageCommand))
        return {Invocation::Kind::manPage, {}, rest, {}};
    if (first == QLatin1String(kCompletionCommand))
        return {Invocation::Kind::completion, {}, rest, {}};
    if (first.startsWith(u'-'))
        throw UsageError(QStringLiteral("unknown option \"%1\"%2")
                             .arg(first, didYouMean(first, {QStringLiteral("--help"), QStringLiteral("--version")})));
    const QStringList commands = topLevelCommands();
    if (!commands.contains(first))
        throw UsageError(QStringLiteral("unknown command \"%1\"%2").arg(first, didYouMean(first, commands)));
    QString command = first;
    if (!subcommandsOf(first).isEmpty()) {
        if ((rest.isEmpty() || rest.first().startsWith(u'-')) && asksForHelp(rest))
            return help(first, groupHelp(first));
        command += u' ' + resolveSubcommand(first, rest).first->name.section(u' ', 1);
    }
    if (asksForHelp(rest))
        return help(command, commandHelp(*findCommand(command)));
    return {Invocation::Kind::run, command, rest, {}};
}

QString usageErrorText(const QString& context, const QString& message)
{
    const QString who = context.isEmpty() ? QStringLiteral("kivo-cli") : QStringLiteral("kivo-cli ") + context;
    const QString helpCommand = context.isEmpty() || context == QLatin1String("help") ? QStringLiteral("kivo-cli --help")
                                                                                      : who + QStringLiteral(" --help");
    return QStringLiteral("%1: %2\nTry \"%3\".\n").arg(who, message, helpCommand);
}

} // namespace kivo::cli
