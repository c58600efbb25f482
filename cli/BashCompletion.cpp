// SPDX-License-Identifier: Apache-2.0
#include "cli/BashCompletion.h"

#include "cli/CommandTable.h"

namespace kivo::cli {

namespace {

// What completes an option's value, as a bash command; empty when nothing can be offered.
QString valueCompletion(const OptionSpec& o)
{
    if (!o.allowed.isEmpty())
        return (o.list ? QStringLiteral("_kivo_cli_list \"%1\"") : QStringLiteral("_kivo_cli_words \"%1\""))
            .arg(o.allowed.join(u' '));
    if (o.valueName == QLatin1String("DIR"))
        return QStringLiteral("_kivo_cli_paths -d");
    if (o.valueName.contains(QLatin1String("FILE")) || o.valueName == QLatin1String("PATH"))
        return QStringLiteral("_kivo_cli_paths -f");
    return {};
}

QString optionWords(const CommandSpec& c)
{
    QStringList words;
    for (const OptionSpec& o : c.options)
        words << QStringLiteral("--") + o.name;
    words << QStringLiteral("--help");
    return words.join(u' ');
}

const char* const kHead = R"(# bash completion for kivo-cli                                 -*- shell-script -*-

_kivo_cli_words()
{
    COMPREPLY=($(compgen -W "$1" -- "$cur"))
}

# NAME,NAME,...: completes the name after the last comma.
_kivo_cli_list()
{
    local prefix=""
    [[ $cur == *,* ]] && prefix="${cur%,*},"
    COMPREPLY=($(compgen -W "$1" -P "$prefix" -- "${cur##*,}"))
    compopt -o nospace 2>/dev/null
}

_kivo_cli_paths()
{
    compopt -o filenames 2>/dev/null
    COMPREPLY=($(compgen "$1" -- "$cur"))
}

_kivo_cli()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    if ((COMP_CWORD == 1)); then
        _kivo_cli_words "%1 --help --version"
        return 0
    fi
    local cmd=${COMP_WORDS[1]}
    case $cmd in
%2    esac
    case "$cmd $prev" in
%3    esac
    case $cmd in
%4    esac
    return 0
}

complete -F _kivo_cli kivo-cli
)";

} // namespace

QString bashCompletion()
{
    const QStringList commands = topLevelCommands();
    QString groups, helpGroups, values, options;
    for (const QString& group : commands) {
        const QStringList subs = subcommandsOf(group);
        if (subs.isEmpty())
            continue;
        groups += QStringLiteral("        %1)\n"
                                 "            if ((COMP_CWORD == 2)); then _kivo_cli_words \"%2\"; return 0; fi\n"
                                 "            cmd=\"%1 ${COMP_WORDS[2]}\" ;;\n")
                      .arg(group, subs.join(u' '));
        helpGroups += QStringLiteral("                    %1) _kivo_cli_words \"%2\" ;;\n").arg(group, subs.join(u' '));
    }
    QStringList helpWords = commands;
    helpWords.removeAll(QStringLiteral("help"));
    // help COMMAND [SUBCOMMAND]
    groups += QStringLiteral("        help)\n"
                             "            if ((COMP_CWORD == 2)); then\n"
                             "                _kivo_cli_words \"%1\"\n"
                             "            elif ((COMP_CWORD == 3)); then\n"
                             "                case ${COMP_WORDS[2]} in\n%2                esac\n"
                             "            fi\n"
                             "            return 0 ;;\n")
                  .arg(helpWords.join(u' '), helpGroups);
    for (const CommandSpec& c : commandTable()) {
        for (const OptionSpec& o : c.options)
            if (o.takesValue()) {
                // A free value (a number, a name) has nothing to offer, and no option may stand in for it.
                const QString offer = valueCompletion(o);
                values += QStringLiteral("        \"%1 --%2\") %3return 0 ;;\n")
                              .arg(c.name, o.name, offer.isEmpty() ? QString() : offer + QStringLiteral("; "));
            }
        if (c.name != QLatin1String("help"))
            options += QStringLiteral("        \"%1\") _kivo_cli_words \"%2\" ;;\n").arg(c.name, optionWords(c));
    }
    return QString::fromUtf8(kHead).arg(commands.join(u' '), groups, values, options);
}

} // namespace kivo::cli
