// SPDX-License-Identifier: Apache-2.0
#include "cli/ArgumentParser.h"

#include "cli/CliOptions.h"
#include "cli/Suggestion.h"

#include <QCommandLineParser>

#include <utility>

namespace kivo::cli {

namespace {

// The option a word names: "--port=1" and "-port" name "port".
QString optionNameOf(const QString& word)
{
    QString name = word;
    while (name.startsWith(u'-'))
        name.remove(0, 1);
    return name.section(u'=', 0, 0);
}

QStringList optionWords(const CommandSpec& command)
{
    QStringList words;
    for (const OptionSpec& o : command.options)
        words << QStringLiteral("--") + o.name;
    words << QStringLiteral("--help");
    return words;
}

[[noreturn]] void refuseParse(const CommandSpec& command, const QCommandLineParser& parser, const QStringList& args)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        QString given = QStringLiteral("--") + unknown.first();
        for (const QString& a : args)
            if (a.startsWith(u'-') && optionNameOf(a) == unknown.first())
                given = a.section(u'=', 0, 0);
        throw UsageError(QStringLiteral("unknown option \"%1\"%2").arg(given, didYouMean(given, optionWords(command))));
    }
    for (const QString& a : args) {
        const OptionSpec* o = a.startsWith(u'-') ? command.option(optionNameOf(a)) : nullptr;
        if (o && o->takesValue() && a == args.last() && !a.contains(u'='))
            throw UsageError(QStringLiteral("--%1 needs a value").arg(o->name));
        if (o && !o->takesValue() && a.contains(u'='))
            throw UsageError(QStringLiteral("--%1 takes no value").arg(o->name));
    }
    throw UsageError(parser.errorText());
}

// The values one option was given, checked against its row.
QStringList checkedValues(const OptionSpec& o, QStringList given)
{
    for (const QString& v : std::as_const(given))
        if (v.startsWith(QLatin1String("--")) || v.isEmpty())
            throw UsageError(QStringLiteral("--%1 needs a value").arg(o.name));
    if (!o.repeatable)
        given = QStringList{given.last()};
    QStringList values;
    for (const QString& v : std::as_const(given)) {
        if (!o.list) {
            values << v;
            continue;
        }
        QStringList names;
        for (const QString& part : v.split(u','))
            if (!part.trimmed().isEmpty())
                names << part.trimmed();
        if (names.isEmpty())
            throw UsageError(QStringLiteral("--%1 needs at least one name").arg(o.name));
        values << names;
    }
    for (const QString& v : std::as_const(values)) {
        if (o.allowed.isEmpty() || o.allowed.contains(v))
            continue;
        const QString names = o.allowed.join(QStringLiteral(", "));
        if (o.list)
            throw UsageError(QStringLiteral("--%1 takes names from %2; \"%3\" is not one%4")
                                 .arg(o.name, names, v, didYouMean(v, o.allowed)));
        throw UsageError(QStringLiteral("--%1 must be one of %2%3").arg(o.name, names, didYouMean(v, o.allowed)));
    }
    return values;
}

} // namespace

QString ParsedArguments::value(const QString& option) const
{
    const QStringList all = m_values.value(option);
    return all.isEmpty() ? QString() : all.last();
}

ParsedArguments parseArguments(const CommandSpec& command, const QStringList& args)
{
    QCommandLineParser parser;
    // "-json" is taken as "--json": there are no one-letter options to bundle.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const OptionSpec& o : command.options) {
        QCommandLineOption option(o.name, o.description);
        if (o.takesValue())
            option.setValueName(o.valueName);
        parser.addOption(option);
    }
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    if (!parser.parse(QStringList{QStringLiteral("kivo-cli")} + args))
        refuseParse(command, parser, args);

    ParsedArguments parsed;
    for (const OptionSpec& o : command.options) {
        if (!parser.isSet(o.name))
            continue;
        parsed.m_values.insert(o.name, o.takesValue() ? checkedValues(o, parser.values(o.name)) : QStringList{});
    }
    parsed.m_positional = parser.positionalArguments();
    qsizetype required = 0;
    for (const ArgumentSpec& a : command.arguments)
        required += a.required ? 1 : 0;
    if (parsed.m_positional.size() > command.arguments.size())
        throw UsageError(QStringLiteral("unexpected argument \"%1\"").arg(parsed.m_positional.at(command.arguments.size())));
    if (parsed.m_positional.size() < required)
        throw UsageError(QStringLiteral("missing %1").arg(command.arguments.at(parsed.m_positional.size()).name));
    return parsed;
}

// The words after a group's name ("log post ..."): the subcommand's spec and its arguments.
std::pair<const CommandSpec*, QStringList> resolveSubcommand(const QString& group, const QStringList& args)
{
    const QStringList known = subcommandsOf(group);
    if (args.isEmpty() || args.first().startsWith(u'-'))
        throw UsageError(QStringLiteral("missing subcommand (one of %1)").arg(known.join(QStringLiteral(", "))), group);
    if (!known.contains(args.first()))
        throw UsageError(QStringLiteral("unknown subcommand \"%1\"%2").arg(args.first(), didYouMean(args.first(), known)),
                         group);
    return {findCommand(group + u' ' + args.first()), args.mid(1)};
}

bool asksForHelp(const QStringList& args)
{
    for (const QString& a : args) {
        if (a == QLatin1String("--"))
            return false;
        if (a == QLatin1String("--help") || a == QLatin1String("-h") || a == QLatin1String("-help"))
            return true;
    }
    return false;
}

} // namespace kivo::cli
