// SPDX-License-Identifier: Apache-2.0
#include "cli/AppsCommand.h"

#include "app/ReinstallOffer.h"
#include "cli/ArgumentParser.h"
#include "cli/CliOptions.h"
#include "cli/Reporter.h"
#include "postmigration/AppReinstaller.h"

#include <QDir>

namespace kivo::cli {

namespace {

std::optional<ReinstallList> readList(const QString& home, Reporter& out)
{
    std::variant<ReinstallList, QString> list = readReinstallList(home);
    if (const auto* problem = std::get_if<QString>(&list)) {
        out.error(*problem);
        return std::nullopt;
    }
    return std::get<ReinstallList>(std::move(list));
}

QJsonObject entryFields(const ReinstallEntry& e)
{
    QJsonObject o{{QStringLiteral("id"), e.id}, {QStringLiteral("kind"), toString(e.kind)}};
    if (e.kind == ReinstallEntry::Kind::flatpak) {
        o.insert(QStringLiteral("branch"), e.branch);
        o.insert(QStringLiteral("remote"), e.remote);
        o.insert(QStringLiteral("url"), e.remoteUrl);
        o.insert(QStringLiteral("hasKey"), !e.remoteKey.isEmpty());
    }
    return o;
}

QString entryLine(const ReinstallEntry& e)
{
    QString line = QStringLiteral("%1  %2").arg(toString(e.kind), -7).arg(e.id);
    if (e.kind == ReinstallEntry::Kind::flatpak)
        line += QStringLiteral("//%1 from %2 (%3)").arg(e.branch, e.remote, e.remoteUrl);
    return line;
}

void reportRefused(const ReinstallList& list, Reporter& out)
{
    for (const RefusedEntry& r : list.refused)
        out.event(QStringLiteral("appRefused"),
                  {{QStringLiteral("id"), r.id}, {QStringLiteral("kind"), r.kind}, {QStringLiteral("reason"), r.reason}},
                  QStringLiteral("refused  %1 %2: %3").arg(Reporter::shown(r.kind), Reporter::shown(r.id), r.reason));
}

int listApps(const ReinstallList& list, const PackageTools& tools, Reporter& out)
{
    const InstalledPackages installed = InstalledPackages::read(tools);
    for (const ReinstallEntry& e : list.entries) {
        const bool here = installed.contains(e);
        QJsonObject fields = entryFields(e);
        fields.insert(QStringLiteral("installed"), here);
        out.event(QStringLiteral("app"), fields, (here ? QStringLiteral("installed  ") : QStringLiteral("missing    ")) + entryLine(e));
    }
    reportRefused(list, out);
    if (list.entries.isEmpty() && !out.isJson())
        out.event(QStringLiteral("app"), {}, QStringLiteral("No applications to reinstall."));
    return exitSuccess;
}

int installApps(const ReinstallList& list, const AppsOptions& o, const PackageTools& tools, Reporter& out)
{
    const auto selected = selectEntries(list.entries, o.ids);
    if (const auto* unknown = std::get_if<QString>(&selected)) {
        out.error(QStringLiteral("%1 is not in the list of applications to reinstall").arg(*unknown));
        return exitBadInput;
    }
    const QList<ReinstallEntry>& chosen = std::get<QList<ReinstallEntry>>(selected);
    const InstalledPackages installed = InstalledPackages::read(tools);
    QList<ReinstallEntry> pending;
    for (const ReinstallEntry& e : chosen)
        if (!installed.contains(e))
            pending << e;
    AppReinstaller reinstaller(tools);
    if (const QString tool = reinstaller.missingTool(pending); !tool.isEmpty()) {
        out.error(QStringLiteral("%1 is not installed here; nothing was installed").arg(tool));
        return exitServiceUnavailable;
    }
    const bool debian = std::any_of(pending.cbegin(), pending.cend(),
                                    [](const ReinstallEntry& e) { return e.kind == ReinstallEntry::Kind::apt; });
    if (debian && !PackageTools::isRoot()) {
        out.error(QStringLiteral("Installing Debian packages needs root; run again with sudo, or name the others. Nothing was installed"));
        return exitRefused;
    }
    int done = 0;
    const AppReinstaller::Outcome outcome = reinstaller.run(chosen, installed, [&](const AppInstallEvent& ev) {
        QJsonObject fields{{QStringLiteral("id"), ev.entry.id},
                           {QStringLiteral("kind"), toString(ev.entry.kind)},
                           {QStringLiteral("state"), toString(ev.state)},
                           {QStringLiteral("percent"), ev.percent}};
        if (!ev.reason.isEmpty())
            fields.insert(QStringLiteral("reason"), ev.reason);
        QString line;
        if (ev.state == AppInstallState::installed || ev.state == AppInstallState::failed || ev.state == AppInstallState::skipped) {
            ++done;
            line = QStringLiteral("%1  %2").arg(toString(ev.state), -9).arg(ev.entry.qualifiedId());
            if (!ev.reason.isEmpty())
                line += QStringLiteral(": ") + ev.reason;
        }
        out.event(QStringLiteral("appInstall"), fields, line);
        out.steps(done, int(chosen.size()), ev.state == AppInstallState::installing ? ev.entry.id : QString());
    });
    out.event(QStringLiteral("appsInstalled"),
              {{QStringLiteral("installed"), outcome.installed}, {QStringLiteral("failed"), outcome.failed},
               {QStringLiteral("skipped"), outcome.skipped}},
              QStringLiteral("%1 installed, %2 failed, %3 already here").arg(outcome.installed).arg(outcome.failed).arg(outcome.skipped));
    return outcome.failed > 0 ? exitTransferFailed : exitSuccess;
}

} // namespace

AppsOptions parseApps(const QStringList& args)
{
    const auto [command, rest] = resolveSubcommand(QStringLiteral("apps"), args);
    const ParsedArguments p = parseArguments(*command, rest);
    AppsOptions o;
    o.action = args.first() == QLatin1String("install") ? AppsOptions::Action::install : AppsOptions::Action::list;
    o.home = QDir::cleanPath(QDir(p.isSet(QStringLiteral("home")) ? p.value(QStringLiteral("home")) : QDir::homePath()).absolutePath());
    o.json = p.isSet(QStringLiteral("json"));
    if (o.action == AppsOptions::Action::install) {
        for (const QString& word : p.positional())
            for (const QString& id : word.split(u',', Qt::SkipEmptyParts))
                o.ids << id.trimmed();
        const bool all = p.isSet(QStringLiteral("all"));
        if (all == !o.ids.isEmpty())
            throw UsageError(all ? QStringLiteral("--all or IDs, not both") : QStringLiteral("name the applications, or give --all"));
    }
    return o;
}

int runApps(const AppsOptions& o)
{
    Reporter out(Reporter::detect(o.json));
    const std::optional<ReinstallList> list = readList(o.home, out);
    if (!list)
        return exitBadInput;
    const PackageTools tools(PackageToolPaths::system(), o.home);
    if (o.action == AppsOptions::Action::list)
        return listApps(*list, tools, out);
    reportRefused(*list, out);
    return installApps(*list, o, tools, out);
}

} // namespace kivo::cli
