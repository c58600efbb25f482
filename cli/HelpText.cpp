// SPDX-License-Identifier: Apache-2.0
#include "cli/HelpText.h"

#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/Suggestion.h"

namespace kivo::cli {

namespace {

// Where the right-hand text starts: after options, commands and exit codes.
constexpr int kOptionColumn = 30;
constexpr int kCommandColumn = 18;
constexpr int kCodeColumn = 6;

QString row(const QString& left, const QString& right, int column = kOptionColumn)
{
    const QString lead = QStringLiteral("  ") + left;
    if (lead.size() + 2 > column)
        return lead + u'\n' + wrapText(right, column);
    return lead.leftJustified(column) + wrapText(right, column).mid(column);
}

} // namespace

QString wrapText(const QString& text, int indent, int width)
{
    QString out;
    QString line;
    for (const QString& word : text.split(u' ', Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && indent + line.size() + 1 + word.size() > width) {
            out += QString(indent, u' ') + line + u'\n';
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out += QString(indent, u' ') + line + u'\n';
    return out;
}

QString optionDetails(const OptionSpec& o)
{
    QString text = o.description;
    if (!o.allowed.isEmpty())
        text += (o.list ? QStringLiteral(" Names: ") : QStringLiteral(" One of: ")) + o.allowed.join(QStringLiteral(", ")) + u'.';
    if (!o.defaultValue.isEmpty())
        text += QStringLiteral(" Default: ") + o.defaultValue + u'.';
    if (o.repeatable)
        text += QStringLiteral(" May be given more than once.");
    return text;
}

QString commandHelp(const CommandSpec& c)
{
    QString out = QStringLiteral("Usage: ") + c.synopsis() + QStringLiteral("\n\n") + c.summary + QStringLiteral(".\n");
    if (!c.description.isEmpty())
        out += wrapText(c.description, 0);
    if (!c.arguments.isEmpty()) {
        out += QStringLiteral("\nArguments:\n");
        for (const ArgumentSpec& a : c.arguments)
            out += row(a.name, a.description + (a.required ? QStringLiteral(".") : QStringLiteral(" (optional).")));
    }
    out += QStringLiteral("\nOptions:\n");
    for (const OptionSpec& o : c.options)
        out += row(o.usage(), optionDetails(o));
    out += row(QStringLiteral("-h, --help"), QStringLiteral("Show this help."));
    out += QStringLiteral("\nExamples:\n");
    for (const QString& e : c.examples)
        out += QStringLiteral("  ") + e + u'\n';
    out += QStringLiteral("\nExit codes:\n");
    for (const int code : c.exitCodes)
        out += row(QString::number(code), c.exitMeaning(code), kCodeColumn);
    return out;
}

QString groupHelp(const QString& group)
{
    QString out = QStringLiteral("Usage: kivo-cli %1 %2 ...\n\nCommands:\n").arg(group, subcommandsOf(group).join(u'|'));
    for (const QString& sub : subcommandsOf(group)) {
        const CommandSpec* c = findCommand(group + u' ' + sub);
        out += row(c->synopsis().mid(9), c->summary);
    }
    out += QStringLiteral("\nRun \"kivo-cli %1 COMMAND --help\" for a command's options.\n").arg(group);
    return out;
}

QString overviewHelp()
{
    QString out = QStringLiteral("kivo-cli moves one person's data from an old computer to a new one.\n\n"
                                 "Usage: kivo-cli COMMAND [OPTIONS]\n\nCommands:\n");
    for (const CommandSpec& c : commandTable())
        out += row(c.name, c.summary, kCommandColumn);
    out += row(QStringLiteral("--version"), QStringLiteral("Print the version"), kCommandColumn);
    out += u'\n' + wrapText(QStringLiteral("Run \"kivo-cli COMMAND --help\" or \"kivo-cli help COMMAND\" for a command's "
                                           "options, examples and exit codes."), 0);
    return out;
}

QString helpFor(const QStringList& words)
{
    if (words.isEmpty())
        return overviewHelp();
    const QString first = words.first();
    const QStringList commands = topLevelCommands();
    if (!commands.contains(first))
        throw UsageError(QStringLiteral("unknown command \"%1\"%2").arg(first, didYouMean(first, commands)), QStringLiteral("help"));
    if (subcommandsOf(first).isEmpty()) {
        if (words.size() > 1)
            throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(words.at(1)), QStringLiteral("help"));
        return commandHelp(*findCommand(first));
    }
    if (words.size() == 1)
        return groupHelp(first);
    if (words.size() > 2)
        throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(words.at(2)), QStringLiteral("help"));
    return commandHelp(*resolveSubcommand(first, words.mid(1)).first);
}

} // namespace kivo::cli
